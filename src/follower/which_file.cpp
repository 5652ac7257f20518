// Which file trail reads, and from where.
//
// A log's life, as trail follows it:
// - The name may hold no file yet: trail waits for it, saying so on the
//   console, and shows the file from its last lines once it opens.
// - The writer may truncate the file (rotation by copy and truncate, a
//   program restarting its log): trail reads it again from its start. A
//   truncation the writer has already written past is caught by the read
//   itself (read_chunk.cpp); one that has not is caught here by the size.
// - The file may be renamed and a new one created at the name (rotation by
//   rename), or a symbolic link pointed at another file: the name then
//   stands for a different file. Its writer may go on writing the old one
//   until it reopens its log, so trail reads the old file until it has been
//   quiet for about a second, then moves on to the next, from its first
//   byte. Every file seen at the name meanwhile is opened at once and kept:
//   rotations may come faster than that second, and each generation is
//   still shown in its turn.
// - The file may be deleted: once it is quiet, trail lets it go (on Windows
//   the writer cannot create the name again while a handle is open) and
//   waits for the name as at start-up; the next file is shown from its
//   first byte.
// - Renamed away with nothing at the name: trail goes on reading it where
//   it is, since its writer may still be writing to it.
// Whenever a file is read from its start, its first bytes tell again
// whether it is UTF-16 (read_chunk.cpp). A name with a wildcard stands for
// the newest file that matches it, and each file that comes to match later
// is the next generation (pattern.cpp).
#include "follower/follower.h"

namespace {

const char waiting_message[] = "Waiting for file to be created ...\r";
// Three spaces more than the message is long, then back to the line start.
const char blanking_line[] = "                                     \r";

// How long a replaced or deleted file must stay quiet before trail moves
// on: long enough for a writer to notice that it should reopen its log.
const std::int64_t quiet_ms = 1000;

void write_status(const follow_state& state, const char* text, std::size_t length) {
    if (state.status_out != no_handle) console_write(state.status_out, text, length);
}

const char* watched_name(const follow_state& state) { return state.arg_list[state.file_arg_index]; }

// Notes when a file's size was last seen to change.
void note_size(std::int64_t size, std::int64_t now, std::int64_t& seen, std::int64_t& changed_ms) {
    if (size == seen) return;
    seen = size;
    changed_ms = now;
}

// Keeps the file now at the name if trail does not hold it yet, and notes
// how the files kept earlier grow. While a file is held its number cannot
// go to another, so the identities compared here are unambiguous.
void look_at_watched_name(follow_state& state) {
    name_watch& name = state.name;
    std::int64_t now = clock_ms();
    name.next_look_ms = now + poll_ms;
    for (int i = 0; i < name.later_count; ++i) {
        later_file& later = name.later[i];
        file_facts facts;
        if (look_at_file(later.file, facts)) note_size(facts.size, now, later.size, later.changed_ms);
    }
    if (state.pattern.active) {
        look_at_pattern(state);
        return;
    }
    // Full: the files at the name after these are looked for again once the
    // first of these has had its turn.
    if (name.later_count == most_later_files) return;
    file_identity identity;
    if (!look_at_name(watched_name(state), identity) || holds_file(name, identity)) return;
    file_ref file = open_for_reading(watched_name(state));
    if (file == no_handle) return;
    // The name may have moved on between the look and the open: what counts
    // is the file that opened.
    file_facts facts;
    if (!look_at_file(file, facts) || holds_file(name, facts.identity) || !keep_for_later(name, file, facts, now)) {
        close_file(file);
    }
}

// A file let go may lend its number to the next new file: a pattern's
// folder is read again at once, and what is known of its files is then what
// is there.
void forget_closed_file(follow_state& state) { state.pattern.read_again = true; }

void move_on_to_next_file(follow_state& state) {
    name_watch& name = state.name;
    later_file next = name.later[0];
    for (int i = 1; i < name.later_count; ++i) name.later[i - 1] = name.later[i];
    --name.later_count;
    close_file(state.watched_file);
    forget_closed_file(state);
    state.watched_file = next.file;
    begin_file(state);
    // It may have had its last write long ago (rotations faster than the
    // quiet time): that counts towards moving on from it in turn.
    name.open_size = next.size;
    name.open_changed_ms = next.changed_ms;
}

// The open file was deleted and nothing has come at the name: let it go and
// wait. Whatever opens at the name afterwards is a new file, even if it got
// the released file's number.
void release_and_wait(follow_state& state) {
    close_file(state.watched_file);
    state.watched_file = no_handle;
    forget_closed_file(state);
    wait_for_file(state);
    begin_file(state);
}

}  // namespace

bool holds_file(const name_watch& name, const file_identity& identity) {
    if (same_file(name.open_identity, identity)) return true;
    for (int i = 0; i < name.later_count; ++i) {
        if (same_file(name.later[i].identity, identity)) return true;
    }
    return false;
}

bool keep_for_later(name_watch& name, file_ref file, const file_facts& facts, std::int64_t now) {
    if (name.later_count == most_later_files) return false;
    later_file& later = name.later[name.later_count++];
    later.file = file;
    later.identity = facts.identity;
    later.size = facts.size;
    later.changed_ms = now;
    return true;
}

void wait_for_file(follow_state& state) {
    // Every failure to open (missing file or folder, no access, a
    // directory) counts as "not there yet"; so does a pattern that nothing
    // new matches.
    // The message is written again every 100 ms; a change in the folder
    // brings the next try forward, not the next message.
    std::int64_t next_message_ms = 0;
    for (;;) {
        watch_followed(state);
        state.watched_file = state.pattern.active ? open_next_match(state) : open_for_reading(watched_name(state));
        if (state.watched_file != no_handle) break;
        if (clock_ms() >= next_message_ms) {
            write_status(state, waiting_message, sizeof waiting_message - 1);
            next_message_ms = clock_ms() + poll_ms;
        }
        wait_for_name(state, next_message_ms);
    }
    write_status(state, blanking_line, sizeof blanking_line - 1);
}

void begin_file(follow_state& state) {
    read_ahead& reading = state.reading;
    // Watched before the first read: nothing written from now on is missed.
    watch_followed(state);
    move_to(state, 0);
    file_facts facts;
    bool known = look_at_file(state.watched_file, facts);
    state.name.open_identity = known ? facts.identity : file_identity();
    state.name.open_named = facts.named;
    state.name.open_size = facts.size;
    state.name.open_changed_ms = clock_ms();
    state.name.next_look_ms = state.name.open_changed_ms + poll_ms;
    reading.modified_seen = facts.modified;
    reading.regular_file = known && facts.size >= 0;
    reading.size_says_nothing = false;
    if (reading.regular_file && facts.size == 0) {
        // Empty, or a kernel's pseudo-file whose size reads 0 whatever it
        // holds. Such a file would look truncated at every look, so it is
        // read as a stream. Asked twice: a log written between the two is
        // no longer of size 0.
        char probe;
        file_facts again;
        if (read_file_at(state.watched_file, 0, &probe, 1) == 1 && look_at_file(state.watched_file, again) &&
            again.size == 0) {
            reading.size_says_nothing = true;
            reading.regular_file = false;
        }
    }
    // Each file is looked at afresh: a UTF-16 log may be rotated away for a
    // UTF-8 one, or back. (A stream's first bytes tell as they are read.)
    if (reading.regular_file) {
        char first[2];
        std::int64_t got = read_file_at(state.watched_file, 0, first, sizeof first);
        reading.encoding = encoding_of_start(first, got > 0 ? static_cast<std::size_t>(got) : 0, true);
    }
}

void after_data(follow_state& state) {
    std::int64_t now = clock_ms();
    // A stream's growth shows only in what is read from it.
    if (!state.reading.regular_file) state.name.open_changed_ms = now;
    if (now >= state.name.next_look_ms) look_at_watched_name(state);
}

bool may_have_new_data(follow_state& state) {
    look_at_watched_name(state);
    read_ahead& reading = state.reading;
    name_watch& name = state.name;
    std::int64_t now = clock_ms();

    file_facts facts;
    bool known = look_at_file(state.watched_file, facts);
    if (known) name.open_named = facts.named;
    bool stream = !known || facts.size < 0 || reading.size_says_nothing;
    if (!stream) {
        note_size(facts.size, now, name.open_size, name.open_changed_ms);
        std::int64_t position = read_position(state);
        if (facts.size < position) {
            move_to(state, 0);
            return true;
        }
        // Asking the size is cheaper than a read that finds nothing. A file
        // written but no longer than before may have been truncated and
        // written again: the next read finds out.
        bool written = facts.modified != reading.modified_seen;
        reading.modified_seen = facts.modified;
        if (written) name.open_changed_ms = now;
        if (facts.size > position || written) return true;
    }

    // Read to its end: once it has been replaced at the name or deleted, and
    // has stayed quiet, its writer has moved on and so does trail.
    if (now - name.open_changed_ms >= quiet_ms) {
        if (name.later_count > 0) {
            move_on_to_next_file(state);
            return true;
        }
        if (known && !facts.named) {
            release_and_wait(state);
            return true;
        }
    }
    // A pipe or device: only a read can tell.
    return stream;
}
