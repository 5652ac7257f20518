// The follower thread: wait for the watched file, show its last lines, then
// show whatever is appended, sleeping until it may have changed when there
// is nothing new (wake.cpp).
#include "follower/follower.h"

follow_state shared_follow_state;

namespace {

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

// On a console, the chunks there are go out together, each shown as on its
// own: one write for a burst of lines instead of one per line (on Windows a
// round trip to the console host each). A batch holds about 32 KiB, so
// the screen never lags far behind the file.
//
// Shows the chunks that can be read now, up to a batch of them, and
// returns how many bytes of the file they held.
std::size_t show_chunks(follow_state& state, shown_batch& batch) {
    std::size_t taken = 0;
    while (batch_has_room(batch)) {
        const char* chunk = nullptr;
        std::size_t length = next_chunk(state, chunk);
        if (length == 0) break;
        taken += length;
        // A chunk at offset 0 starts the file's text (a new file, or the
        // same one after a truncation).
        bool starts_file = read_position(state) == static_cast<std::int64_t>(length);
        show_chunk(state.shown, state.reading.encoding, starts_file, chunk, length, batch);
    }
    write_batch(state.console_out, batch);
    return taken;
}

}  // namespace

void follow_file() {
    follow_state& state = shared_follow_state;
    decide_pattern(state);
    wait_for_file(state);

    static shown_batch batch;
    locate_last_lines(state, batch.bytes);

    for (;;) {
        std::size_t length;
        if (state.raw_output) {
            // Nothing is added to the bytes, so all that is there goes out
            // in one write.
            const char* bytes = nullptr;
            length = read_available(state, bytes);
            if (length > 0) write_everything(state, bytes, length);
        } else {
            // On a console each chunk is ended as a line.
            length = show_chunks(state, batch);
        }
        if (length > 0) {
            after_data(state);
            continue;
        }
        do {
            wait_for_news(state);
        } while (!may_have_new_data(state));
    }
}
