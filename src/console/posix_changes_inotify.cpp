// The Linux backend of console.h's change notifications: inotify.
//
// One inotify instance watches every followed file and the folders of
// their names: a watch per file, one per folder shared by the files in it.
// An event names the watch it is for, and a folder's event the entry, so
// it tells which keys to look at. A file is watched through
// /proc/self/fd, so that the watch is on the file trail holds, whatever
// stands at its name by then.
//
// inotify reports what this kernel does to a file. On NFS, SMB, FUSE
// (sshfs), 9p (WSL2's /mnt/c), virtiofs or an overlay, writes can reach the
// file some other way and nothing is reported; so notifications are trusted
// only on the file systems listed below, and the caller goes on looking by
// itself everywhere else.
#include "console/console.h"
#include "console/posix_inotify_keys.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

const std::uint32_t file_events = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// IN_ATTRIB on the folder also tells of a link count changing in it.
const std::uint32_t folder_events =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// File systems that only this kernel writes, by statfs's f_type.
const std::uint32_t local_types[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
    0x858458F6,  // ramfs
    0xF2F52010,  // f2fs
    0x3153464A,  // jfs
    0x52654973,  // reiserfs
    0x2FC12FC1,  // zfs
    0xCA451A4E,  // bcachefs
    0x3434,      // nilfs2
    0x4244,      // hfs
    0x482B,      // hfsplus
    0x4D44,      // vfat, msdos
    0x2011BAB0,  // exfat
    0x7366746E,  // ntfs3 (the kernel's; ntfs-3g is FUSE)
    0x24051905,  // ubifs
    0x72B6,      // jffs2
};

bool is_local(const struct statfs& info) {
    std::uint32_t type = static_cast<std::uint32_t>(info.f_type);
    for (std::uint32_t local : local_types) {
        if (type == local) return true;
    }
    return false;
}

inotify_watch& as_watch(change_ref watch) { return *reinterpret_cast<inotify_watch*>(watch); }

// Takes the watch on path and counts one more user of it; returns its
// descriptor, -1 when the kernel refused it. local_of tells, for a new
// watch, whether what it is on can be trusted.
template <typename local_check>
int add_watch(inotify_watch& watch, const char* path, std::uint32_t events, bool folder, local_check local_of) {
    int descriptor = inotify_add_watch(watch.fd, path, events);
    if (descriptor == -1) return -1;
    watched& slot = add_slot(watch, descriptor);
    if (slot.users++ == 0) {
        slot.folder = folder;
        slot.trusted = local_of();
        if (folder) slot.path = path;
    }
    return descriptor;
}

// The watch on the open file: through the name it was opened by (a name is
// found several times faster than /proc/self/fd/N). The key watched the
// folder before the file was opened, so if the name has come to stand for
// another file since, the folder's news tells, and the caller looks again.
// Through /proc/self/fd, which always leads to the file, when the name
// leads nowhere.
template <typename local_check>
int add_file_watch(inotify_watch& watch, int fd, const char* path, local_check local_of) {
    if (path && *path) {
        int descriptor = add_watch(watch, path, file_events, false, local_of);
        if (descriptor != -1) return descriptor;
    }
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd);
    return add_watch(watch, fd_path, file_events, false, local_of);
}

void take_event(inotify_watch& watch, const struct inotify_event& event, change_news& news) {
    if (event.mask & IN_Q_OVERFLOW) {
        news.everything = true;
        return;
    }
    watched* slot = find_watch(watch, event.wd);
    if (!slot) return;
    bool gone = event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT);
    if ((slot->folder && gone) || (event.mask & IN_IGNORED)) {
        drop(watch, event.wd, news);
    } else {
        add_keys_for(watch, *slot, event.len > 0 ? event.name : nullptr, news.keys);
    }
}

// Takes in every notification that has come.
void take_notifications(inotify_watch& watch, change_news& news) {
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
        ssize_t got = read(watch.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            take_event(watch, *event, news);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
        // A read gives every notification that fits: with room left for the
        // largest, there was no other (one that comes later wakes the wait).
        if (sizeof buffer - static_cast<std::size_t>(got) >= sizeof(struct inotify_event) + NAME_MAX + 1) return;
    }
}

}  // namespace

change_ref open_change_watch() {
    // Refused when the user has max_user_instances of them already, or
    // there is no memory: the caller then looks by itself.
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd == -1) return no_handle;
    inotify_watch* watch = new (std::nothrow) inotify_watch;
    if (!watch) {
        close(fd);
        return no_handle;
    }
    watch->fd = fd;
    return reinterpret_cast<change_ref>(watch);
}

bool watch_changes(change_ref handle, int key, const watch_target& target) {
    if (handle == no_handle || key < 0) return false;
    inotify_watch& watch = as_watch(handle);
    if (watch.keys.size() <= static_cast<std::size_t>(key)) watch.keys.resize(static_cast<std::size_t>(key) + 1);
    key_watch had = of(watch, key);
    key_watch wanted;
    wanted.whole_folder = target.entry == nullptr;
    if (target.entry) {
        wanted.name = target.entry;
        wanted.name_hash = name_hash(target.entry);
    }

    // The new watches are taken before the old ones go, so that a watch
    // taken again keeps its descriptor (and its verdict) throughout.
    // A pipe, a device or a /proc file sends nothing worth waiting for.
    file_ref file = target.file;
    int file_fd = static_cast<int>(file);
    struct stat info = {};
    bool regular;
    if (target.facts) {
        regular = file != no_handle && target.facts->size >= 0;
        info.st_dev = static_cast<dev_t>(target.facts->identity.volume);
        info.st_ino = static_cast<ino_t>(target.facts->identity.index);
    } else {
        regular = file != no_handle && fstat(file_fd, &info) == 0 && S_ISREG(info.st_mode);
    }
    if (regular) {
        wanted.file = add_file_watch(watch, file_fd, target.file_path, [&] {
            for (const auto& known : watch.local_devices) {
                if (known.first == info.st_dev) return known.second;
            }
            struct statfs where;
            bool local = fstatfs(file_fd, &where) == 0 && is_local(where);
            watch.local_devices.emplace_back(info.st_dev, local);
            return local;
        });
    }
    const char* folder = target.folder;
    const char* folder_path = folder && !*folder ? "." : folder;
    int known = folder_path ? folder_by_path(watch, folder_path) : -1;
    if (known != -1) {
        // Watched by that path already: a folder moved or deleted since
        // would have said so, and lost the watch.
        ++find_watch(watch, known)->users;
        wanted.folder = known;
    } else if (folder_path) {
        wanted.folder = add_watch(watch, folder_path, folder_events | IN_ONLYDIR, true, [&] {
            struct statfs where;
            return statfs(folder_path, &where) == 0 && is_local(where);
        });
    }
    // The key leaves what it watched, then joins what it watches now.
    for (int descriptor : {had.file, had.folder}) {
        watched* slot = descriptor == -1 ? nullptr : find_watch(watch, descriptor);
        if (!slot) continue;
        // From the back: a key watched again was most likely added last.
        for (std::size_t i = slot->keys.size(); i-- > 0;) {
            if (slot->keys[i] == key) {
                slot->keys[i] = slot->keys.back();
                slot->keys.pop_back();
                break;
            }
        }
        release(watch, descriptor);
    }
    for (int descriptor : {wanted.file, wanted.folder}) {
        watched* slot = descriptor == -1 ? nullptr : find_watch(watch, descriptor);
        if (slot) slot->keys.push_back(key);
    }
    of(watch, key) = wanted;

    // max_user_watches reached (ENOSPC), no memory, no /proc: not trusted.
    bool file_trusted = regular && trusted(watch, wanted.file);
    bool folder_trusted = folder_path && trusted(watch, wanted.folder);
    return (file == no_handle || file_trusted) && (!folder || folder_trusted) && (file != no_handle || folder);
}

void close_change_watch(change_ref handle) {
    if (handle == no_handle) return;
    close(as_watch(handle).fd);  // its watches go with it
    delete &as_watch(handle);
}

void wait_for_change(change_ref handle, int milliseconds, change_news& news) {
    news.everything = false;
    news.keys.clear();
    news.lost.clear();
    if (handle == no_handle) {
        pause_ms(milliseconds);
        return;
    }
    inotify_watch& watch = as_watch(handle);
    struct pollfd ready = {watch.fd, POLLIN, 0};
    // A signal cutting the wait short only brings the next look forward.
    if (poll(&ready, 1, milliseconds) > 0) take_notifications(watch, news);
}
