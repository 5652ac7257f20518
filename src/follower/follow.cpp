// The follower thread: wait for the followed files, show their last lines,
// then show whatever is appended to any of them, sleeping until one may
// have changed when there is nothing new (wake.cpp).
//
// Every file is served by the one loop, a turn each: a file waited for is
// tried when its name may have come, an open one is read when it may have
// grown, and nothing waits on any one file. While no file at all is open,
// the waiting line is shown and rewritten every 100 ms, as for one file.
#include "follower/follower.h"

follow_state shared_follow_state;

namespace {

// The locator's scratch space for a forward pass.
char scratch[chunk_buffer_size];

// Marks hash in a table of bits, one per hash seen, and says whether it
// was marked already. A clear bit means never seen: that spares most of a
// thousand files named at the start a comparison with every other.
bool seen_before(std::vector<std::uint64_t>& bits, std::uint64_t hash) {
    // Mixed first, so that every bit of it counts: inode numbers of files
    // made one after another differ only in their low bits.
    hash = (hash ^ (hash >> 30)) * 0xBF58476D1CE4E5B9u;
    hash = (hash ^ (hash >> 27)) * 0x94D049BB133111EBu;
    hash ^= hash >> 31;
    std::uint64_t& word = bits[(hash >> 6) % bits.size()];
    std::uint64_t bit = std::uint64_t{1} << (hash % 64);
    bool seen = (word & bit) != 0;
    word |= bit;
    return seen;
}

// Whether another name open now stands for the same file (two names of one
// file); at the start, those opened before it in the order given. A
// pattern stands for the files to come as well, and is kept.
bool followed_already(follow_state& state, const followed_file& file) {
    if (file.pattern.active) return false;
    const file_identity& identity = file.name_seen.open_identity;
    if (!seen_before(state.opened_bits, identity.index ^ (identity.volume * 0x9E3779B97F4A7C15u))) {
        return false;
    }
    for (const followed_file& other : state.files) {
        if (&other != &file && other.watched_file != no_handle && !other.pattern.active &&
            same_file(other.name_seen.open_identity, identity)) {
            return true;
        }
    }
    return false;
}

// Lets a file go for good: it is the same as one followed already.
void drop_duplicate(follow_state& state, followed_file& file) {
    close_file(file.watched_file);
    file.watched_file = no_handle;
    file.duplicate = true;
    watch_changes(state.watch, file.key, watch_target());
    name_changed(state);
}

// One try to open a file waited for; one that opens shows its last lines at
// once (into a pipe, at the start, under its header even when empty).
void open_file(follow_state& state, followed_file& file, shown_batch& batch, bool at_start) {
    file_facts facts;
    if (!try_to_open(state, file, facts)) return;
    file.said_waiting = false;
    locate_last_lines(state, file, scratch, &facts);
    if (followed_already(state, file)) {
        drop_duplicate(state, file);
        return;
    }
    if (state.open_count++ == 0) {
        show_blanking_line(state, batch);
        state.waiting_changed = true;  // the others are now said to be waited for
    }
    file.header_due = at_start && state.several;
    serve_file(state, file, batch);
}

// Says which files are waited for: the waiting line while none is open,
// else a line for each, once, among several.
void show_waiting(follow_state& state, shown_batch& batch) {
    if (state.open_count == 0) {
        if (clock_ms() >= state.next_message_ms) {
            show_waiting_message(state, batch);
            state.next_message_ms = clock_ms() + poll_ms;
        }
        return;
    }
    if (!state.several || !state.waiting_changed) return;
    state.waiting_changed = false;
    for (followed_file& file : state.files) {
        if (file.watched_file == no_handle && !file.said_waiting && !file.duplicate) {
            file.said_waiting = true;
            show_file_waited_for(state, file, batch);
        }
    }
}

// Serves a turn of every file that may have data; true when any had some.
// A file stays in the round while it may have more.
bool serve_ready_files(follow_state& state, shown_batch& batch) {
    bool any = false;
    std::vector<int>& keys = state.serving;
    std::size_t kept = 0;
    // Files made ready meanwhile join the end of the round.
    for (std::size_t i = 0; i < keys.size(); ++i) {
        followed_file& file = state.files[static_cast<std::size_t>(keys[i])];
        if (file.ready && file.watched_file != no_handle && serve_file(state, file, batch) > 0) any = true;
        if (file.ready && file.watched_file != no_handle) {
            keys[kept++] = keys[i];
        } else {
            file.serving = false;
        }
    }
    keys.resize(kept);
    return any;
}

// Looks at the files due a look: whether an open one may have data now,
// and whether one waited for opens.
void look_at_files_due(follow_state& state, shown_batch& batch) {
    for (std::size_t i = 0; i < state.due.size(); ++i) {
        followed_file& file = state.files[static_cast<std::size_t>(state.due[i])];
        file.wake.look = false;
        if (file.duplicate) continue;
        if (file.watched_file != no_handle && may_have_new_data(state, file)) mark_ready(state, file);
        // Waited for, or just let go: its name is tried at once.
        if (file.watched_file == no_handle) open_file(state, file, batch, false);
    }
    state.due.clear();
}

}  // namespace

followed_file& add_followed_file(follow_state& state, const char* name) {
    state.files.emplace_back();
    followed_file& file = state.files.back();
    file.key = static_cast<int>(state.files.size()) - 1;
    file.given = name;
    file.name = name;
    if (!state.raw_output) {
        file.console.reset(new console_side);
        file.console->shown.highlight = state.highlight;
        file.console->shown.wide_console = state.wide_console;
    }
    decide_pattern(file);
    return file;
}

void add_followed_files(follow_state& state) {
    int count = state.arg_count - state.file_arg_index;
    state.several = count > 1;
    // Records stay where they are from here on: the read block's owner
    // points at one.
    state.files.reserve(static_cast<std::size_t>(count));
    // A name given again is found by a bit per hash of the names seen (64
    // bits a name: a false hit is rare), looked into only on a hit. Two
    // names of one file are told apart as they open.
    std::vector<std::uint64_t> seen(static_cast<std::size_t>(count) + 1);
    state.opened_bits.assign(seen.size(), 0);
    for (int i = state.file_arg_index; i < state.arg_count; ++i) {
        const char* name = state.arg_list[i];
        std::uint64_t hash = 1469598103934665603u;  // FNV-1a
        for (const char* at = name; *at; ++at) hash = (hash ^ static_cast<unsigned char>(*at)) * 1099511628211u;
        bool again = false;
        if (seen_before(seen, hash)) {
            for (std::size_t j = 0; j < state.files.size() && !again; ++j) again = state.files[j].name == name;
        }
        if (!again) add_followed_file(state, name);
    }
    name_changed(state);
}

void follow_file() {
    follow_state& state = shared_follow_state;
    static shown_batch batch;
    add_followed_files(state);
    for (followed_file& file : state.files) {
        if (!file.duplicate) open_file(state, file, batch, true);
    }
    show_waiting(state, batch);

    for (;;) {
        bool any = serve_ready_files(state, batch);
        // One file alone reads on while data keeps coming; among several,
        // the others are looked at between rounds.
        if (any && state.files.size() == 1) continue;
        bool more = any && !state.serving.empty();
        if (!more) flush_output(state, batch);
        wait_for_news(state, more);
        look_at_files_due(state, batch);
        show_waiting(state, batch);
    }
}
