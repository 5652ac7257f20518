// What goes out for the followed files: their bytes as they are into a pipe
// or a file, their chunks as a console shows them, and the status texts.
//
// With several files, each file's output is told apart (shown/labels.h):
// into a pipe by a header whenever the bytes come from another file than
// the last, on a console by a label on every line. A file's turn takes one
// read block of it (or, just opened, everything up to the end it had), so
// that a file written flat out cannot hold up the others; small outputs of
// many files are gathered into fewer writes.
#include "follower/follower.h"

namespace {

const char waiting_message[] = "Waiting for file to be created ...\r";
// Three spaces more than the message is long, then back to the line start.
const char blanking_line[] = "                                     \r";
// Among several files, for one that is waited for while others are shown.
const char waited_for_text[] = "Waiting for file to be created ...\r\n";

// Into a pipe, writes that gather past this go out at once.
const std::size_t gathered_most = 64 * 1024;

// To a pipe or a file nothing may be lost: a failed write is tried again
// until it goes through or the program ends.
void write_everything(const follow_state& state, const char* bytes, std::size_t length) {
    for (;;) {
        std::size_t written = console_write(state.console_out, bytes, length);
        bytes += written;
        length -= written;
        if (length == 0) return;
        pause_ms(100);
    }
}

void write_gathered(follow_state& state) {
    if (state.pending_output.empty()) return;
    write_everything(state, state.pending_output.data(), state.pending_output.size());
    state.pending_output.clear();
}

void write_status(const follow_state& state, const char* text, std::size_t length) {
    if (state.status_out != no_handle) console_write(state.status_out, text, length);
}

// Into a pipe: what can be read now, all in one write (nothing is added to
// the bytes), after the file's header among several files.
std::size_t serve_into_pipe(follow_state& state, followed_file& file) {
    const char* bytes = nullptr;
    std::size_t length = read_available(state, file, bytes);
    if (!state.several) {
        if (length > 0) write_everything(state, bytes, length);
        return length;
    }
    if (length > 0 || file.header_due) add_header(state.headers, file.key, file.name, file.header_due, state.pending_output);
    file.header_due = false;
    if (state.pending_output.size() + length > gathered_most) {
        write_gathered(state);
        write_everything(state, bytes, length);
    } else {
        state.pending_output.append(bytes, length);
    }
    return length;
}

// On a console each chunk is ended as a line: the chunks there are go out
// together, each shown as on its own, in batches of about 32 KiB (on
// Windows a write is a round trip to the console host). Among several
// files each line begins with its file's label.
std::size_t serve_on_console(follow_state& state, followed_file& file, shown_batch& batch) {
    std::size_t taken = 0;
    console_side& console = *file.console;
    const file_label* label = state.several ? &console.label : nullptr;
    while (batch_has_room(batch)) {
        // Whole lines of plain text show as they are: copied together, not
        // a chunk at a time.
        shown_text& text = console.shown;
        if (!label && file.reading.encoding == encoding_bytes && text.pending_length == 0) {
            const char* bytes = nullptr;
            std::size_t held = read_ahead_held(state, file, bytes);
            std::size_t room = batch_room(batch);
            std::size_t plain = show_plain_lines(text, batch, bytes, held < room ? held : room, chunk_max);
            if (plain > 0) {
                take_read_ahead(file, plain);
                taken += plain;
                continue;
            }
        }
        const char* chunk = nullptr;
        std::size_t length = next_chunk(state, file, chunk);
        if (length == 0) break;
        taken += length;
        // A chunk at offset 0 starts the file's text (a new file, or the
        // same one after a truncation).
        bool starts_file = read_position(state, file) == static_cast<std::int64_t>(length);
        show_chunk(console.shown, file.reading.encoding, starts_file, chunk, length, batch, label);
    }
    // One file's batch goes out as it is; among several, lines of other
    // files may join it until it is full or the follower waits.
    if (!state.several || !batch_has_room(batch)) write_batch(state.console_out, batch);
    return taken;
}

}  // namespace

std::size_t serve_file(follow_state& state, followed_file& file, shown_batch& batch) {
    state.turn_limited = state.files.size() > 1;
    state.turn_reads = 0;
    state.turn_over = false;
    std::size_t taken = 0;
    for (;;) {
        std::size_t got = state.raw_output ? serve_into_pipe(state, file) : serve_on_console(state, file, batch);
        if (got == 0) {
            // Read to the end there is now: nothing more until it changes.
            if (!state.turn_over) file.ready = false;
            break;
        }
        taken += got;
        after_data(state, file);
        // One file alone: back to the loop after each batch, as it reads on.
        if (!state.turn_limited || file.watched_file == no_handle) break;
    }
    return taken;
}

void flush_output(follow_state& state, shown_batch& batch) {
    if (state.raw_output) {
        write_gathered(state);
    } else {
        write_batch(state.console_out, batch);
    }
}

void show_waiting_message(follow_state& state, shown_batch& batch) {
    flush_output(state, batch);
    write_status(state, waiting_message, sizeof waiting_message - 1);
}

void show_blanking_line(follow_state& state, shown_batch& batch) {
    flush_output(state, batch);
    write_status(state, blanking_line, sizeof blanking_line - 1);
}

void show_file_waited_for(follow_state& state, followed_file& file, shown_batch& batch) {
    if (state.raw_output) {
        // Kept off the output: on standard error, when that is a console.
        if (state.status_out == no_handle) return;
        std::size_t width;
        std::string line = "==> " + shown_form(file.name, width) + " <== " + waited_for_text;
        write_gathered(state);
        write_status(state, line.data(), line.size());
        return;
    }
    shown_text plain;
    plain.highlight = state.highlight;
    plain.wide_console = state.wide_console;
    if (!batch_has_room(batch)) write_batch(state.console_out, batch);
    show_chunk(plain, encoding_bytes, false, waited_for_text, sizeof waited_for_text - 1, batch, &file.console->label);
}

void name_changed(follow_state& state) {
    if (!state.several || state.raw_output) return;
    std::vector<label_request> requests;
    requests.reserve(state.files.size());
    for (followed_file& file : state.files) {
        if (file.duplicate) continue;
        std::size_t last = static_cast<std::size_t>(last_part(file.name.c_str()) - file.name.c_str());
        requests.push_back(label_request{&file.name, last, &file.console->label});
    }
    make_labels(requests, state.highlight && state.label_colours);
}
