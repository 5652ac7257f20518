// The Linux backend of console.h's change notifications: inotify.
//
// One inotify instance watches the open file and the folder of its name.
// The file is watched through /proc/self/fd, so that the watch is on the
// file trail holds, whatever stands at its name by then.
//
// inotify reports what this kernel does to a file. On NFS, SMB, FUSE
// (sshfs), 9p (WSL2's /mnt/c), virtiofs or an overlay, writes can reach the
// file some other way and nothing is reported; so notifications are trusted
// only on the file systems listed below, and the caller goes on looking by
// itself everywhere else.
#include "console/console.h"

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <new>

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

// One watched file or folder: its watch descriptor (-1 for none), and
// whether its changes all pass through this kernel, told once per watch.
struct watched {
    int descriptor = -1;
    bool trusted = false;
};

struct inotify_watch {
    int fd = -1;
    watched file;
    watched folder;
};

inotify_watch& as_watch(change_ref watch) { return *reinterpret_cast<inotify_watch*>(watch); }

// Watches path in place of what slot watched. local_of tells once, for a
// new watch, whether what it is on can be trusted.
template <typename local_check>
bool watch_one(int fd, watched& slot, const char* path, std::uint32_t events, local_check local_of) {
    int descriptor = path ? inotify_add_watch(fd, path, events) : -1;
    // The same file or folder as before keeps its descriptor, and its
    // verdict; anything else is a new watch and the old one goes.
    if (descriptor != slot.descriptor) {
        if (slot.descriptor != -1) inotify_rm_watch(fd, slot.descriptor);
        slot.descriptor = descriptor;
        slot.trusted = descriptor != -1 && local_of();
    }
    return slot.trusted;
}

// Takes in every notification that has come, and forgets the watches the
// kernel has dropped (their file or folder gone).
void take_notifications(inotify_watch& watch) {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = read(watch.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            if (event->mask & IN_IGNORED) {
                for (watched* slot : {&watch.file, &watch.folder}) {
                    if (slot->descriptor == event->wd) slot->descriptor = -1;
                }
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
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

bool watch_changes(change_ref handle, file_ref file, const char* folder) {
    if (handle == no_handle) return false;
    inotify_watch& watch = as_watch(handle);
    int file_fd = static_cast<int>(file);

    // A pipe, a device or a /proc file sends nothing worth waiting for.
    struct stat info;
    bool regular = file != no_handle && fstat(file_fd, &info) == 0 && S_ISREG(info.st_mode);
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", file_fd);
    bool file_trusted = watch_one(watch.fd, watch.file, regular ? fd_path : nullptr, file_events, [&] {
        struct statfs where;
        return fstatfs(file_fd, &where) == 0 && is_local(where);
    });

    const char* folder_path = folder && !*folder ? "." : folder;
    bool folder_trusted = watch_one(watch.fd, watch.folder, folder_path, folder_events | IN_ONLYDIR, [&] {
        struct statfs where;
        return statfs(folder_path, &where) == 0 && is_local(where);
    });
    // max_user_watches reached (ENOSPC), no memory, no /proc: not trusted.
    return (file == no_handle || file_trusted) && (!folder || folder_trusted) && (file != no_handle || folder);
}

void close_change_watch(change_ref handle) {
    if (handle == no_handle) return;
    close(as_watch(handle).fd);  // its watches go with it
    delete &as_watch(handle);
}

void wait_for_change(change_ref handle, int milliseconds) {
    if (handle == no_handle) {
        pause_ms(milliseconds);
        return;
    }
    inotify_watch& watch = as_watch(handle);
    struct pollfd ready = {watch.fd, POLLIN, 0};
    // A signal cutting the wait short only brings the next look forward.
    if (poll(&ready, 1, milliseconds) > 0) take_notifications(watch);
}
