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

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>
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

// One inotify watch (a file or a folder; the kernel gives one descriptor
// per file or folder, however often it is added) and the keys it serves.
// Whether its changes all pass through this kernel is told once, when it
// is first taken.
struct watched {
    std::string path;  // a folder's, as it was taken
    bool folder = false;
    bool trusted = false;
    int users = 0;
    std::vector<int> keys;  // a file's keys; a folder's keys watching all of it
    // A folder's keys watching one entry: the first for each name, the
    // rest linked from it (key_watch::next_by_name).
    std::unordered_map<std::string, int> by_name;
};

// What a key watches: descriptors (-1 for none) and the folder entry.
struct key_watch {
    int file = -1;
    int folder = -1;
    bool whole_folder = false;
    std::string name;
    int next_by_name = -1;  // the next key watching the same entry
};

struct inotify_watch {
    int fd = -1;
    std::unordered_map<int, watched> watches;
    std::vector<key_watch> keys;
    // Whether each file system files were on is local, by device.
    std::unordered_map<dev_t, bool> local_devices;
    // The folders watched, by the path they were taken by.
    std::unordered_map<std::string, int> folders;
};

inotify_watch& as_watch(change_ref watch) { return *reinterpret_cast<inotify_watch*>(watch); }

void erase_key(std::vector<int>& keys, int key) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) {
            keys[i] = keys.back();
            keys.pop_back();
            return;
        }
    }
}

key_watch& of(inotify_watch& watch, int key) { return watch.keys[static_cast<std::size_t>(key)]; }

// Takes the watch on path and counts one more user of it; returns its
// descriptor, -1 when the kernel refused it. local_of tells, for a new
// watch, whether what it is on can be trusted.
template <typename local_check>
int add_watch(inotify_watch& watch, const char* path, std::uint32_t events, bool folder, local_check local_of) {
    int descriptor = inotify_add_watch(watch.fd, path, events);
    if (descriptor == -1) return -1;
    watched& slot = watch.watches[descriptor];
    if (slot.users++ == 0) {
        slot.folder = folder;
        slot.trusted = local_of();
    }
    return descriptor;
}

void forget(inotify_watch& watch, std::unordered_map<int, watched>::iterator found) {
    if (found->second.folder) watch.folders.erase(found->second.path);
    watch.watches.erase(found);
}

// Counts one user less of a watch; it goes with its last user.
void release(inotify_watch& watch, int descriptor) {
    auto found = watch.watches.find(descriptor);
    if (found == watch.watches.end()) return;
    if (--found->second.users == 0) {
        inotify_rm_watch(watch.fd, descriptor);
        forget(watch, found);
    }
}

// Links key (watching as of_key says) into the keys a watch's events are for.
void link(inotify_watch& watch, int key, int descriptor, key_watch& of_key) {
    auto found = watch.watches.find(descriptor);
    if (found == watch.watches.end()) return;
    watched& slot = found->second;
    if (!slot.folder || of_key.whole_folder) {
        slot.keys.push_back(key);
        return;
    }
    auto named = slot.by_name.emplace(of_key.name, key);
    of_key.next_by_name = named.second ? -1 : named.first->second;
    named.first->second = key;
}

void unlink(inotify_watch& watch, int key, int descriptor, const key_watch& of_key) {
    auto found = watch.watches.find(descriptor);
    if (found == watch.watches.end()) return;
    watched& slot = found->second;
    if (!slot.folder || of_key.whole_folder) {
        erase_key(slot.keys, key);
        return;
    }
    auto named = slot.by_name.find(of_key.name);
    if (named == slot.by_name.end()) return;
    if (named->second == key) {
        named->second = of_key.next_by_name;
        if (named->second == -1) slot.by_name.erase(named);
        return;
    }
    for (int at = named->second; at != -1; at = of(watch, at).next_by_name) {
        if (of(watch, at).next_by_name == key) {
            of(watch, at).next_by_name = of_key.next_by_name;
            return;
        }
    }
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

bool trusted(const inotify_watch& watch, int descriptor) {
    auto found = watch.watches.find(descriptor);
    return found != watch.watches.end() && found->second.trusted;
}

void append(std::vector<int>& to, const std::vector<int>& keys) { to.insert(to.end(), keys.begin(), keys.end()); }

void append_named(inotify_watch& watch, std::vector<int>& to, int first) {
    for (int key = first; key != -1; key = of(watch, key).next_by_name) to.push_back(key);
}

// Every key of a watch.
std::vector<int> keys_of(inotify_watch& watch, const watched& slot) {
    std::vector<int> keys = slot.keys;
    for (const auto& named : slot.by_name) append_named(watch, keys, named.second);
    return keys;
}

// A watch the kernel has dropped (its file or folder gone, or moved away
// from the path it was taken by): every key of it has lost it.
void drop(inotify_watch& watch, int descriptor, change_news& news) {
    auto found = watch.watches.find(descriptor);
    if (found == watch.watches.end()) return;
    std::vector<int> keys = keys_of(watch, found->second);
    for (int key : keys) {
        key_watch& of_key = of(watch, key);
        if (of_key.file == descriptor) of_key.file = -1;
        if (of_key.folder == descriptor) {
            of_key.folder = -1;
            of_key.next_by_name = -1;
        }
    }
    append(news.lost, keys);
    append(news.keys, keys);
    if (found->second.folder) inotify_rm_watch(watch.fd, descriptor);  // renamed away: no IN_IGNORED yet
    forget(watch, found);
}

void take_event(inotify_watch& watch, const struct inotify_event& event, change_news& news) {
    if (event.mask & IN_Q_OVERFLOW) {
        news.everything = true;
        return;
    }
    auto found = watch.watches.find(event.wd);
    if (found == watch.watches.end()) return;
    watched& slot = found->second;
    bool gone = event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT);
    if ((slot.folder && gone) || (event.mask & IN_IGNORED)) {
        drop(watch, event.wd, news);
    } else if (!slot.folder || event.len == 0) {
        append(news.keys, keys_of(watch, slot));
    } else {
        append(news.keys, slot.keys);
        auto named = slot.by_name.find(event.name);
        if (named != slot.by_name.end()) append_named(watch, news.keys, named->second);
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
    if (target.entry) wanted.name = target.entry;

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
            auto known = watch.local_devices.find(info.st_dev);
            if (known != watch.local_devices.end()) return known->second;
            struct statfs where;
            bool local = fstatfs(file_fd, &where) == 0 && is_local(where);
            watch.local_devices.emplace(info.st_dev, local);
            return local;
        });
    }
    const char* folder = target.folder;
    const char* folder_path = folder && !*folder ? "." : folder;
    auto known = folder_path ? watch.folders.find(folder_path) : watch.folders.end();
    if (known != watch.folders.end()) {
        // Watched by that path already: a folder moved or deleted since
        // would have said so, and lost the watch.
        ++watch.watches[known->second].users;
        wanted.folder = known->second;
    } else if (folder_path) {
        wanted.folder = add_watch(watch, folder_path, folder_events | IN_ONLYDIR, true, [&] {
            struct statfs where;
            return statfs(folder_path, &where) == 0 && is_local(where);
        });
        if (wanted.folder != -1 && watch.watches[wanted.folder].path.empty()) {
            watch.watches[wanted.folder].path = folder_path;
            watch.folders[folder_path] = wanted.folder;
        }
    }
    // The key leaves what it watched, then joins what it watches now.
    if (had.file != -1) {
        unlink(watch, key, had.file, had);
        release(watch, had.file);
    }
    if (had.folder != -1) {
        unlink(watch, key, had.folder, had);
        release(watch, had.folder);
    }
    if (wanted.file != -1) link(watch, key, wanted.file, wanted);
    if (wanted.folder != -1) link(watch, key, wanted.folder, wanted);
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
