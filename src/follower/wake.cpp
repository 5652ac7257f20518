// When the follower looks at the file again.
//
// With nothing to read, trail sleeps until the file or the folder of its
// name may have changed. Where the kernel tells of every change (inotify,
// kqueue, on a local file system) that is the moment the writer writes,
// with a look every second all the same for what notifications cannot see
// (writes through a memory mapping, a file system mounted over the folder).
// Where it cannot tell (network and user-space file systems, pipes and
// devices, Windows, notifications refused), trail looks every 100 ms, as
// it always has. A notification only wakes trail: what changed is found by
// the same look either way.
//
// Watches are taken before the look, and the look reads to the end before
// the wait: whatever is written after the look wakes the wait that follows.
#include "follower/follower.h"

namespace {

// Where notifications serve, a look at least this often catches what they
// miss.
const int safety_look_ms = 1000;

wake_up& ready_wake(follow_state& state) {
    wake_up& wake = state.wake;
    if (!wake.opened) {
        wake.opened = true;
        wake.watch = open_change_watch();
        const char* name = state.arg_list[state.file_arg_index];
        wake.folder.assign(name, last_part(name));
    }
    return wake;
}

}  // namespace

void watch_followed(follow_state& state) {
    wake_up& wake = ready_wake(state);
    wake.trusted = watch_changes(wake.watch, state.watched_file, wake.folder.c_str());
}

void wait_for_news(follow_state& state) {
    wake_up& wake = ready_wake(state);
    // A file replaced at its name, or deleted, is let go once it has been
    // quiet for a second: that second is kept to the 100 ms, as is every
    // look where notifications do not serve.
    bool moving_on = state.name.later_count > 0 || !state.name.open_named;
    wait_for_change(wake.watch, wake.trusted && !moving_on ? safety_look_ms : poll_ms);
    watch_followed(state);
}

void wait_for_name(follow_state& state, std::int64_t until_ms) {
    std::int64_t left = until_ms - clock_ms();
    if (left > 0) wait_for_change(ready_wake(state).watch, static_cast<int>(left < poll_ms ? left : poll_ms));
}
