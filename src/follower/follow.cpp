// The follower thread: wait for the followed files, show their last lines,
// then show whatever is appended to any of them, sleeping until one may
// have changed when there is nothing new (wake.cpp).
//
// Every file is served by the one loop, a turn each: a file waited for is
// tried when its name may have come, an open one is read when it may have
// grown, and nothing waits on any one file. While no file at all is open,
// the waiting line is shown and rewritten every 100 ms, as for one file.
#include <unordered_set>

#include "follower/follower.h"

follow_state shared_follow_state;

namespace {

// The locator's scratch space for a forward pass.
char scratch[chunk_buffer_size];

// Whether another file open now is the same file (two names of one file).
// At the start, those opened before it in the order given.
bool followed_already(const follow_state& state, const followed_file& file) {
    const file_identity& identity = file.name_seen.open_identity;
    for (const followed_file& other : state.files) {
        if (&other != &file && other.watched_file != no_handle && same_file(other.name_seen.open_identity, identity)) {
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
    file.ready = false;
    watch_changes(state.watch, file.key, watch_target());
    name_changed(state);
}

// Opens the files waited for that are due a try (all of them at the start,
// in the order given); a file that opens shows its last lines at once.
void open_files_due(follow_state& state, shown_batch& batch, bool at_start) {
    for (followed_file& file : state.files) {
        if (file.duplicate || file.watched_file != no_handle || (!at_start && !file.wake.look)) continue;
        file.wake.look = false;
        if (!try_to_open(state, file)) continue;
        file.said_waiting = false;
        locate_last_lines(state, file, scratch);
        if (followed_already(state, file)) {
            drop_duplicate(state, file);
            continue;
        }
        if (state.none_open) {
            state.none_open = false;
            show_blanking_line(state, batch);
        }
        // Into a pipe every file open at the start has its header, an empty
        // one too.
        file.header_due = at_start && state.several;
        serve_file(state, file, batch);
    }
}

// Says which files are waited for: the waiting line while none is open,
// else a line for each, once, among several.
void show_waiting(follow_state& state, shown_batch& batch) {
    bool none_open = true;
    for (const followed_file& file : state.files) {
        if (file.watched_file != no_handle) none_open = false;
    }
    state.none_open = none_open;
    if (none_open) {
        if (clock_ms() >= state.next_message_ms) {
            show_waiting_message(state, batch);
            state.next_message_ms = clock_ms() + poll_ms;
        }
        return;
    }
    if (!state.several) return;
    for (followed_file& file : state.files) {
        if (file.watched_file == no_handle && !file.said_waiting && !file.duplicate) {
            file.said_waiting = true;
            show_file_waited_for(state, file, batch);
        }
    }
}

// Serves a turn of every file that may have data; true when any had some.
bool serve_ready_files(follow_state& state, shown_batch& batch) {
    bool any = false;
    for (followed_file& file : state.files) {
        if (file.watched_file == no_handle || !file.ready) continue;
        if (serve_file(state, file, batch) > 0) any = true;
    }
    return any;
}

// Looks at the open files due a look: whether they may have data now.
void look_at_files_due(follow_state& state) {
    for (followed_file& file : state.files) {
        if (file.watched_file == no_handle || !file.wake.look) continue;
        file.wake.look = false;
        if (may_have_new_data(state, file)) file.ready = true;
        // Deleted and let go: its name is tried again at once.
        if (file.watched_file == no_handle) file.wake.look = true;
    }
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
    std::unordered_set<std::string> names;
    // Two names of one file are told apart as they open.
    for (int i = state.file_arg_index; i < state.arg_count; ++i) {
        const char* name = state.arg_list[i];
        if (names.insert(name).second) add_followed_file(state, name);
    }
    name_changed(state);
}

void follow_file() {
    follow_state& state = shared_follow_state;
    static shown_batch batch;
    add_followed_files(state);
    open_files_due(state, batch, true);
    show_waiting(state, batch);

    for (;;) {
        bool any = serve_ready_files(state, batch);
        // One file alone reads on while data keeps coming; among several,
        // the others are looked at between rounds.
        if (any && state.files.size() == 1) continue;
        if (!any) flush_output(state, batch);
        wait_for_news(state, any);
        look_at_files_due(state);
        open_files_due(state, batch, false);
        show_waiting(state, batch);
    }
}
