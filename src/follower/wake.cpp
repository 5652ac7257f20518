// When the follower looks at its files again.
//
// With nothing to read, trail sleeps until a file or the folder of its name
// may have changed. Where the kernel tells of every change (inotify,
// kqueue, on a local file system) that is the moment the writer writes,
// with a look at every file each second all the same for what
// notifications cannot see (writes through a memory mapping, a file system
// mounted over the folder). Where it cannot tell (network and user-space
// file systems, pipes and devices, Windows, notifications refused), trail
// looks at that file every 100 ms, as it always has. A notification only
// wakes trail and tells it which file to look at: what changed is found by
// the same look either way.
//
// One watch serves every file, each known to it by its key. Watches are
// taken before the look, and the look reads to the end before the wait:
// whatever is written after the look wakes the wait that follows.
#include "follower/follower.h"

namespace {

// Where notifications serve, a look at least this often catches what they
// miss; where they do not, a watch refused is asked for again this often.
const int safety_look_ms = 1000;

void ready_watch(follow_state& state) {
    if (state.watch_opened) return;
    state.watch_opened = true;
    state.watch = open_change_watch();
    state.next_safety_look_ms = clock_ms() + safety_look_ms;
}

// Looked at every 100 ms: a file whose changes are not told, one being read
// out after it was replaced or deleted (its quiet second is kept to that
// pace), and every file waited for while no file is open (the waiting line
// is rewritten at that pace).
bool polled(const follow_state& state, const followed_file& file) {
    if (file.duplicate) return false;
    if (file.watched_file == no_handle) return !file.wake.trusted || state.open_count == 0;
    return !writes_are_told(file);
}

// The folder's record, made at its first watch; folders are told apart by
// the path given.
int folder_of(follow_state& state, const std::string& path) {
    for (std::size_t i = state.folders.size(); i-- > 0;) {
        if (state.folders[i].path == path) return static_cast<int>(i);
    }
    folder_seen folder;
    folder.path = path;
    entry_facts facts;
    if (look_at_entry(path.c_str(), facts)) {
        folder.identity = facts.identity;
        folder.modified_ns = facts.modified_ns;
    }
    state.folders.push_back(folder);
    return static_cast<int>(state.folders.size()) - 1;
}

// Whether the folder has changed since the last safety look (or is
// another folder now), looked at once per safety look.
bool folder_changed(follow_state& state, int index) {
    folder_seen& folder = state.folders[static_cast<std::size_t>(index)];
    if (folder.last_look == state.safety_looks) return folder.changed;
    folder.last_look = state.safety_looks;
    entry_facts facts;
    bool there = look_at_entry(folder.path.c_str(), facts);
    folder.changed = !there || !same_file(facts.identity, folder.identity) || facts.modified_ns != folder.modified_ns;
    folder.identity = facts.identity;
    folder.modified_ns = facts.modified_ns;
    return folder.changed;
}

// The safety look at a file whose changes are told: a full look only where
// the file or its folder changed without a word. A file read at offsets
// is asked its size alone, the cheapest question: what trail shows of it
// grows only with its size, and what befalls its name (a rename, a delete)
// changes its folder.
bool safety_look_finds_news(follow_state& state, const followed_file& file) {
    if (folder_changed(state, file.wake.folder_index)) return true;
    if (file.watched_file == no_handle) return false;
    if (file.reading.regular_file) return size_of_file(file.watched_file) != file.name_seen.open_size;
    return changed_since_look(file);
}

}  // namespace

bool writes_are_told(const followed_file& file) {
    bool moving_on = !file.name_seen.later.empty() || !file.name_seen.open_named;
    return file.wake.trusted && !moving_on;
}

void watch_followed(follow_state& state, followed_file& file, const file_facts* facts) {
    ready_watch(state);
    wake_up& wake = file.wake;
    if (!wake.watched) {
        wake.watched = true;
        wake.folder_index = folder_of(state, std::string(file.given, last_part(file.given)));
    }
    watch_target target;
    target.file = file.watched_file;
    target.file_path = file.pattern.active ? file.name.c_str() : file.given;
    target.facts = facts;
    target.folder = state.folders[static_cast<std::size_t>(wake.folder_index)].path.c_str();
    // A pattern's folder is watched whole: any entry may come to match.
    target.entry = file.pattern.active ? nullptr : last_part(file.given);
    wake.trusted = watch_changes(state.watch, file.key, target);
    wake.next_watch_ms = clock_ms() + safety_look_ms;
    state.polled_stale = true;
}

bool watch_if_due(follow_state& state, followed_file& file) {
    if (file.wake.watched && (file.wake.trusted || clock_ms() < file.wake.next_watch_ms)) return false;
    watch_followed(state, file);
    return true;
}

void mark_due(follow_state& state, followed_file& file) {
    if (file.wake.look || file.duplicate) return;
    file.wake.look = true;
    state.due.push_back(file.key);
}

void mark_ready(follow_state& state, followed_file& file) {
    file.ready = true;
    if (file.serving) return;
    file.serving = true;
    state.serving.push_back(file.key);
}

void wait_for_news(follow_state& state, bool at_once) {
    ready_watch(state);
    std::int64_t now = clock_ms();
    // Which files are looked at on time alone: found again only when
    // something may have changed that (every file is looked at each second
    // all the same), so that a wake for one file costs no more with many.
    if (state.polled_stale) {
        state.polled_stale = false;
        state.polled.clear();
        for (followed_file& file : state.files) {
            if (polled(state, file)) state.polled.push_back(file.key);
        }
    }
    std::int64_t until = state.next_safety_look_ms;
    for (int key : state.polled) {
        const followed_file& file = state.files[static_cast<std::size_t>(key)];
        if (file.wake.next_poll_ms < until) until = file.wake.next_poll_ms;
    }
    if (state.open_count == 0 && state.next_message_ms < until) until = state.next_message_ms;
    std::int64_t left = at_once ? 0 : until - now;
    wait_for_change(state.watch, static_cast<int>(left < 0 ? 0 : left > safety_look_ms ? safety_look_ms : left),
                    state.news);

    now = clock_ms();
    for (int key : state.news.lost) {
        // Its folder went or moved: watched again by its path at once.
        followed_file& file = state.files[static_cast<std::size_t>(key)];
        file.wake.trusted = false;
        file.wake.next_watch_ms = now;
        state.polled_stale = true;
    }
    for (int key : state.news.keys) mark_due(state, state.files[static_cast<std::size_t>(key)]);
    bool safety_look = now >= state.next_safety_look_ms;
    if (safety_look) {
        state.next_safety_look_ms = now + safety_look_ms;
        ++state.safety_looks;
        state.polled_stale = true;
    }
    if (safety_look || state.news.everything) {
        for (followed_file& file : state.files) {
            if (state.news.everything || (file.wake.watched && safety_look_finds_news(state, file))) {
                mark_due(state, file);
            }
        }
    }
    for (int key : state.polled) {
        followed_file& file = state.files[static_cast<std::size_t>(key)];
        if (now >= file.wake.next_poll_ms) {
            mark_due(state, file);
            file.wake.next_poll_ms = now + poll_ms;
        }
    }
    for (int key : state.due) watch_if_due(state, state.files[static_cast<std::size_t>(key)]);
}
