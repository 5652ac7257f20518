// The macOS and BSD backend of console.h's change notifications: kqueue.
//
// One kqueue serves every followed file. An open file is registered as it
// is; a folder is held open (for events only, where the system has that)
// so that it can be registered too, once for all the keys in it. A
// descriptor's registration goes with it when it is closed.
//
// kqueue reports what this kernel does to a file: notifications are
// trusted only on local mounts (MNT_LOCAL), never on NFS or SMB, where
// another machine writes behind its back.
#include "console/console.h"

#include <cerrno>
#include <new>
#include <string>
#include <vector>

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

// A folder held open for its events, shared by the keys watching it. Its
// events tell no entry's name: each wakes every key of the folder.
struct folder_watch {
    std::string path;
    int fd = -1;  // -1: a free slot
    dev_t device = 0;
    ino_t inode = 0;
    bool trusted = false;
    std::vector<int> keys;
};

// What a key watches: its file's descriptor (registered as it is) and its
// folder's slot, -1 for none.
struct key_watch {
    int file = -1;
    bool file_trusted = false;
    int folder = -1;
};

struct kqueue_watch {
    int queue = -1;
    std::vector<key_watch> keys;
    std::vector<folder_watch> folders;
};

kqueue_watch& as_watch(change_ref watch) { return *reinterpret_cast<kqueue_watch*>(watch); }

bool is_local(int fd) {
    struct statfs where;
    return fstatfs(fd, &where) == 0 && (where.f_flags & MNT_LOCAL) != 0;
}

// An event's udata tells what it is for: a key's file (even) or a folder
// slot (odd).
bool add_vnode_watch(int queue, int fd, std::intptr_t tag) {
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_VNODE, EV_ADD | EV_CLEAR, vnode_events, 0,
           reinterpret_cast<void*>(tag));
    return kevent(queue, &change, 1, nullptr, 0, nullptr) == 0;
}

void remove_key(std::vector<int>& keys, int key) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) {
            keys[i] = keys.back();
            keys.pop_back();
            return;
        }
    }
}

void close_folder_slot(folder_watch& folder) {
    if (folder.fd != -1) close(folder.fd);  // its registration goes with it
    folder.fd = -1;
    folder.keys.clear();
}

// The slot of the folder at path for key, held open and registered; -1
// when it cannot be. A folder held already is shared while the path still
// names it.
int use_folder(kqueue_watch& watch, int key, const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return -1;
    int free_slot = -1;
    for (std::size_t i = 0; i < watch.folders.size(); ++i) {
        folder_watch& folder = watch.folders[i];
        if (folder.fd == -1) {
            if (free_slot == -1) free_slot = static_cast<int>(i);
        } else if (folder.path == path && folder.device == info.st_dev && folder.inode == info.st_ino) {
            folder.keys.push_back(key);
            return static_cast<int>(i);
        }
    }
    int fd = open(path, O_EVTONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return -1;
    if (free_slot == -1) {
        free_slot = static_cast<int>(watch.folders.size());
        watch.folders.emplace_back();
    }
    folder_watch& folder = watch.folders[static_cast<std::size_t>(free_slot)];
    folder.path = path;
    folder.fd = fd;
    folder.device = info.st_dev;
    folder.inode = info.st_ino;
    folder.trusted = add_vnode_watch(watch.queue, fd, 2 * free_slot + 1) && is_local(fd);
    folder.keys.assign(1, key);
    return free_slot;
}

void leave_folder(kqueue_watch& watch, int key, int slot) {
    if (slot < 0) return;
    folder_watch& folder = watch.folders[static_cast<std::size_t>(slot)];
    remove_key(folder.keys, key);
    if (folder.keys.empty()) close_folder_slot(folder);
}

void append(std::vector<int>& to, const std::vector<int>& keys) { to.insert(to.end(), keys.begin(), keys.end()); }

void take_event(kqueue_watch& watch, const struct kevent& event, change_news& news) {
    std::intptr_t tag = reinterpret_cast<std::intptr_t>(event.udata);
    if (tag % 2 == 0) {
        std::size_t key = static_cast<std::size_t>(tag / 2);
        // A file's descriptor may have been closed and taken again since.
        if (key < watch.keys.size() && watch.keys[key].file == static_cast<int>(event.ident)) news.keys.push_back(static_cast<int>(key));
        return;
    }
    std::size_t slot = static_cast<std::size_t>(tag / 2);
    if (slot >= watch.folders.size() || watch.folders[slot].fd != static_cast<int>(event.ident)) return;
    folder_watch& folder = watch.folders[slot];
    append(news.keys, folder.keys);
    if (event.fflags & (NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE)) {
        // The path no longer names this folder: its keys watch it again.
        append(news.lost, folder.keys);
        for (int key : folder.keys) watch.keys[static_cast<std::size_t>(key)].folder = -1;
        close_folder_slot(folder);
    }
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

bool watch_changes(change_ref handle, int key, const watch_target& target) {
    if (handle == no_handle || key < 0) return false;
    file_ref file = target.file;
    const char* folder = target.folder;
    kqueue_watch& watch = as_watch(handle);
    if (watch.keys.size() <= static_cast<std::size_t>(key)) watch.keys.resize(static_cast<std::size_t>(key) + 1);
    key_watch& of_key = watch.keys[static_cast<std::size_t>(key)];
    // A file closed since took its registration with it; adding again is
    // harmless for one still registered.
    of_key.file = -1;
    of_key.file_trusted = false;
    if (file != no_handle) {
        int fd = static_cast<int>(file);
        struct stat info;
        of_key.file = fd;
        of_key.file_trusted =
            fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && add_vnode_watch(watch.queue, fd, 2 * key) && is_local(fd);
    }
    int had_folder = of_key.folder;
    of_key.folder = folder ? use_folder(watch, key, *folder ? folder : ".") : -1;
    leave_folder(watch, key, had_folder);
    bool folder_trusted = of_key.folder >= 0 && watch.folders[static_cast<std::size_t>(of_key.folder)].trusted;
    return (file == no_handle || of_key.file_trusted) && (!folder || folder_trusted) && (file != no_handle || folder);
}

void close_change_watch(change_ref handle) {
    if (handle == no_handle) return;
    kqueue_watch& watch = as_watch(handle);
    for (folder_watch& folder : watch.folders) close_folder_slot(folder);
    close(watch.queue);
    delete &watch;
}

void wait_for_change(change_ref handle, int milliseconds, change_news& news) {
    news.everything = false;
    news.keys.clear();
    news.lost.clear();
    if (handle == no_handle) {
        pause_ms(milliseconds);
        return;
    }
    kqueue_watch& watch = as_watch(handle);
    struct kevent events[64];
    struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    // Registered with EV_CLEAR: each event is taken in by being returned.
    // The rest are taken without waiting.
    int got = kevent(watch.queue, nullptr, 0, events, 64, &wait);
    const struct timespec now = {0, 0};
    for (;;) {
        for (int i = 0; i < got; ++i) take_event(watch, events[i], news);
        if (got < 64) return;
        got = kevent(watch.queue, nullptr, 0, events, 64, &now);
    }
}
