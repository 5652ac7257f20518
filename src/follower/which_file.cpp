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
//   waits for the name as at start-up (follow.cpp); the next file is shown
//   from its first byte.
// - Renamed away with nothing at the name: trail goes on reading it where
//   it is, since its writer may still be writing to it.
// Each followed file of the command line has all of this to itself.
// Whenever a file is read from its start, its first bytes tell again
// whether it is UTF-16 (read_chunk.cpp). A name with a wildcard stands for
// the newest file that matches it, and each file that comes to match later
// is the next generation (pattern.cpp).
#include "follower/follower.h"

namespace {

// How long a replaced or deleted file must stay quiet before trail moves
// on: long enough for a writer to notice that it should reopen its log.
const std::int64_t quiet_ms = 1000;

// Notes when a file's size was last seen to change.
void note_size(std::int64_t size, std::int64_t now, std::int64_t& seen, std::int64_t& changed_ms) {
    if (size == seen) return;
    seen = size;
    changed_ms = now;
}

// Keeps the file now at the name if trail does not hold it yet, and notes
// how the files kept earlier grow. While a file is held its number cannot
// go to another, so the identities compared here are unambiguous.
void look_at_followed_name(followed_file& file) {
    name_watch& name = file.name_seen;
    std::int64_t now = clock_ms();
    name.next_look_ms = now + poll_ms;
    for (later_file& later : name.later) {
        file_facts facts;
        if (look_at_file(later.file, facts)) note_size(facts.size, now, later.size, later.changed_ms);
    }
    if (file.pattern.active) {
        look_at_pattern(file);
        return;
    }
    // Full: the files at the name after these are looked for again once the
    // first of these has had its turn.
    if (name.later.size() == static_cast<std::size_t>(most_later_files)) return;
    file_identity identity;
    if (!look_at_name(file.given, identity) || holds_file(file, identity)) return;
    // The name may have moved on between the look and the open: what counts
    // is the file that opened.
    file_facts facts;
    file_ref opened = open_for_reading(file.given, &facts);
    if (opened == no_handle) return;
    if (holds_file(file, facts.identity) || !keep_for_later(file, opened, facts, now, file.given)) {
        close_file(opened);
    }
}

// A file let go may lend its number to the next new file: a pattern's
// folder is read again at once, and what is known of its files is then what
// is there.
void forget_closed_file(followed_file& file) { file.pattern.read_again = true; }

void move_on_to_next_file(follow_state& state, followed_file& file) {
    name_watch& name = file.name_seen;
    later_file next = name.later.front();
    name.later.erase(name.later.begin());
    close_file(file.watched_file);
    forget_closed_file(file);
    file.watched_file = next.file;
    if (next.name != file.name) {
        file.name = next.name;
        name_changed(state);
    }
    begin_file(state, file);
    // It may have had its last write long ago (rotations faster than the
    // quiet time): that counts towards moving on from it in turn.
    name.open_size = next.size;
    name.open_changed_ms = next.changed_ms;
}

// The open file was deleted and nothing has come at the name: let it go and
// wait for the name again. Whatever opens there afterwards is a new file,
// even if it got the released file's number.
void release_file(follow_state& state, followed_file& file) {
    close_file(file.watched_file);
    file.watched_file = no_handle;
    file.ready = false;
    file.said_waiting = false;
    --state.open_count;
    state.waiting_changed = true;
    forget_closed_file(file);
    watch_followed(state, file);
}

}  // namespace

bool holds_file(const followed_file& file, const file_identity& identity) {
    if (file.watched_file != no_handle && same_file(file.name_seen.open_identity, identity)) return true;
    for (const later_file& later : file.name_seen.later) {
        if (same_file(later.identity, identity)) return true;
    }
    return false;
}

bool keep_for_later(followed_file& file, file_ref opened, const file_facts& facts, std::int64_t now,
                    const std::string& name) {
    if (file.name_seen.later.size() == static_cast<std::size_t>(most_later_files)) return false;
    later_file later;
    later.file = opened;
    later.identity = facts.identity;
    later.size = facts.size;
    later.changed_ms = now;
    later.name = name;
    file.name_seen.later.push_back(later);
    return true;
}

bool try_to_open(follow_state& state, followed_file& file, file_facts& facts) {
    // Every failure to open (missing file or folder, no access, a
    // directory, no descriptor left) counts as "not there yet"; so does a
    // pattern that nothing new matches. The folder is watched before the
    // try: whatever comes at the name after it wakes the follower.
    watch_if_due(state, file);
    std::string match;
    file.watched_file =
        file.pattern.active ? open_next_match(file, match, facts) : open_for_reading(file.given, &facts);
    if (file.watched_file == no_handle) return false;
    if (file.pattern.active && match != file.name) {
        file.name = match;
        name_changed(state);
    }
    return true;
}

void begin_file(follow_state& state, followed_file& file, bool tell_encoding, const file_facts* opened) {
    read_ahead& reading = file.reading;
    file_facts facts;
    bool known = true;
    if (opened) {
        facts = *opened;
    } else {
        known = look_at_file(file.watched_file, facts);
    }
    name_watch& name = file.name_seen;
    name.open_identity = known ? facts.identity : file_identity();
    name.open_named = facts.named;
    name.open_size = facts.size;
    name.open_changed_ms = clock_ms();
    name.next_look_ms = name.open_changed_ms + poll_ms;
    reading.modified_seen = facts.modified;
    reading.regular_file = known && facts.size >= 0;
    reading.size_says_nothing = false;
    // Watched before the first read: nothing written from now on is missed.
    watch_followed(state, file, known ? &facts : nullptr);
    if (reading.regular_file && facts.size == 0) {
        // Empty, or a kernel's pseudo-file whose size reads 0 whatever it
        // holds. Such a file would look truncated at every look, so it is
        // read as a stream. Asked twice: a log written between the two is
        // no longer of size 0.
        char probe;
        file_facts again;
        if (read_file_at(file.watched_file, 0, &probe, 1) == 1 && look_at_file(file.watched_file, again) &&
            again.size == 0) {
            reading.size_says_nothing = true;
            reading.regular_file = false;
        }
    }
    move_to(state, file, 0);
    reading.first_end = 0;
    // Each file is looked at afresh: a UTF-16 log may be rotated away for a
    // UTF-8 one, or back. (A stream's first bytes tell as they are read.)
    if (reading.regular_file && tell_encoding) {
        char first[2];
        std::int64_t got = read_file_at(file.watched_file, 0, first, sizeof first);
        reading.encoding = encoding_of_start(first, got > 0 ? static_cast<std::size_t>(got) : 0, true);
    }
    mark_ready(state, file);
}

void after_data(follow_state& state, followed_file& file) {
    std::int64_t now = clock_ms();
    // A stream's growth shows only in what is read from it.
    if (!file.reading.regular_file) file.name_seen.open_changed_ms = now;
    if (now >= file.name_seen.next_look_ms) {
        look_at_followed_name(file);
        if (!file.name_seen.later.empty()) state.polled_stale = true;  // read out on time
    }
}

bool changed_since_look(const followed_file& file) {
    file_facts facts;
    if (!look_at_file(file.watched_file, facts)) return true;
    return facts.size != file.name_seen.open_size || facts.modified != file.reading.modified_seen ||
           facts.named != file.name_seen.open_named;
}

bool may_have_new_data(follow_state& state, followed_file& file) {
    look_at_followed_name(file);
    read_ahead& reading = file.reading;
    name_watch& name = file.name_seen;
    std::int64_t now = clock_ms();

    file_facts facts;
    bool known = look_at_file(file.watched_file, facts);
    if (known) name.open_named = facts.named;
    bool stream = !known || facts.size < 0 || reading.size_says_nothing;
    if (!stream) {
        note_size(facts.size, now, name.open_size, name.open_changed_ms);
        std::int64_t position = read_position(state, file);
        if (facts.size < position) {
            move_to(state, file, 0);
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
        if (!name.later.empty()) {
            move_on_to_next_file(state, file);
            return true;
        }
        if (known && !facts.named) {
            release_file(state, file);
            return false;
        }
    }
    // A pipe or device: only a read can tell.
    if (!name.later.empty() || !name.open_named) state.polled_stale = true;  // read out on time
    return stream;
}
