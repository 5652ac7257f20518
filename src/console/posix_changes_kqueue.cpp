// The macOS and BSD backend of console.h's change notifications: kqueue.
//
// The open file is registered as it is; the folder is held open (for
// events only, where the system has that) so that it can be registered
// too. A descriptor's registration goes with it when it is closed.
//
// kqueue reports what this kernel does to a file: notifications are
// trusted only on local mounts (MNT_LOCAL), never on NFS or SMB, where
// another machine writes behind its back.
#include "console/console.h"

#include <cerrno>
#include <new>

#include <fcntl.h>
#include <sys/types.h>
#include <sys/event.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#ifndef O_EVTONLY
#define O_EVTONLY O_RDONLY
#endif

namespace {

const unsigned vnode_events = NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE;

struct kqueue_watch {
    int queue = -1;
    int folder_fd = -1;  // held open while it is watched
    dev_t folder_device = 0;
    ino_t folder_inode = 0;
    bool folder_trusted = false;
};

kqueue_watch& as_watch(change_ref watch) { return *reinterpret_cast<kqueue_watch*>(watch); }

bool is_local(int fd) {
    struct statfs where;
    return fstatfs(fd, &where) == 0 && (where.f_flags & MNT_LOCAL) != 0;
}

bool add_vnode_watch(int queue, int fd) {
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_VNODE, EV_ADD | EV_CLEAR, vnode_events, 0, nullptr);
    return kevent(queue, &change, 1, nullptr, 0, nullptr) == 0;
}

void drop_folder(kqueue_watch& watch) {
    if (watch.folder_fd != -1) close(watch.folder_fd);
    watch.folder_fd = -1;
    watch.folder_trusted = false;
}

// Watches the folder at path, unless the one held is still what the path
// names.
bool watch_folder(kqueue_watch& watch, const char* path) {
    struct stat info;
    if (!path || stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
        drop_folder(watch);
        return false;
    }
    if (watch.folder_fd != -1 && info.st_dev == watch.folder_device && info.st_ino == watch.folder_inode) {
        return watch.folder_trusted;
    }
    drop_folder(watch);
    watch.folder_fd = open(path, O_EVTONLY | O_DIRECTORY | O_CLOEXEC);
    if (watch.folder_fd == -1) return false;
    watch.folder_device = info.st_dev;
    watch.folder_inode = info.st_ino;
    watch.folder_trusted = add_vnode_watch(watch.queue, watch.folder_fd) && is_local(watch.folder_fd);
    return watch.folder_trusted;
}

}  // namespace

change_ref open_change_watch() {
    int queue = kqueue();
    if (queue == -1) return no_handle;
    fcntl(queue, F_SETFD, FD_CLOEXEC);
    kqueue_watch* watch = new (std::nothrow) kqueue_watch;
    if (!watch) {
        close(queue);
        return no_handle;
    }
    watch->queue = queue;
    return reinterpret_cast<change_ref>(watch);
}

bool watch_changes(change_ref handle, file_ref file, const char* folder) {
    if (handle == no_handle) return false;
    kqueue_watch& watch = as_watch(handle);
    // A file closed since took its registration with it; adding again is
    // harmless for one still registered.
    bool file_trusted = false;
    if (file != no_handle) {
        int fd = static_cast<int>(file);
        struct stat info;
        file_trusted = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && add_vnode_watch(watch.queue, fd) && is_local(fd);
    }
    bool folder_trusted = watch_folder(watch, folder && !*folder ? "." : folder);
    return (file == no_handle || file_trusted) && (!folder || folder_trusted) && (file != no_handle || folder);
}

void close_change_watch(change_ref handle) {
    if (handle == no_handle) return;
    kqueue_watch& watch = as_watch(handle);
    drop_folder(watch);
    close(watch.queue);
    delete &watch;
}

void wait_for_change(change_ref handle, int milliseconds) {
    if (handle == no_handle) {
        pause_ms(milliseconds);
        return;
    }
    kqueue_watch& watch = as_watch(handle);
    struct kevent events[8];
    struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    // Registered with EV_CLEAR: each event is taken in by being returned.
    // The rest are taken without waiting.
    int got = kevent(watch.queue, nullptr, 0, events, 8, &wait);
    const struct timespec now = {0, 0};
    while (got == 8) got = kevent(watch.queue, nullptr, 0, events, 8, &now);
}
