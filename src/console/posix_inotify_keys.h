// The inotify backend's table of watches: which keys of console.h's change
// watch each inotify watch serves, counted so that a watch shared by the
// files of one folder goes only with its last user, and found again from
// an event (a file's watch, or a folder's watch and the entry it names).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"

// One inotify watch (a file or a folder; the kernel gives one descriptor
// per file or folder, however often it is added) and the keys it serves.
// Whether its changes all pass through this kernel is told once, when it
// is first taken.
struct watched {
    int descriptor = -1;
    std::string path;  // a folder's, as it was taken
    bool folder = false;
    bool trusted = false;
    int users = 0;
    std::vector<int> keys;  // the keys its events may be for
};

// What a key watches: descriptors (-1 for none), and the entry of the
// folder (every entry when whole_folder).
struct key_watch {
    int file = -1;
    int folder = -1;
    bool whole_folder = false;
    std::string name;
    std::uint32_t name_hash = 0;
};

struct inotify_watch {
    int fd = -1;
    std::vector<watched> watches;  // in the order of their descriptors
    std::vector<key_watch> keys;
    // Whether the file systems files were on are local, by device.
    std::vector<std::pair<dev_t, bool>> local_devices;
};

// The record of key in the table.
key_watch& of(inotify_watch& watch, int key);

// The watch with this descriptor, or null; made when it is not there yet
// (add_slot).
watched* find_watch(inotify_watch& watch, int descriptor);
watched& add_slot(inotify_watch& watch, int descriptor);

// The folder watch taken by this path, -1 when there is none.
int folder_by_path(const inotify_watch& watch, const char* path);

// Counts one user less of a watch; it goes with its last user.
void release(inotify_watch& watch, int descriptor);

// Whether the watch is taken and its changes all pass through this kernel.
bool trusted(inotify_watch& watch, int descriptor);

// A short hash of an entry's name, to find the keys watching it quickly.
std::uint32_t name_hash(const char* name);

// The keys an event of the watch is for: a file's, all of them; a folder's,
// those watching the entry it names (name, or all when it names none).
void add_keys_for(inotify_watch& watch, const watched& slot, const char* name, std::vector<int>& keys);

// A watch the kernel has dropped (its file or folder gone, or moved away
// from the path it was taken by): every key of it has lost it, and is news.
void drop(inotify_watch& watch, int descriptor, change_news& news);
