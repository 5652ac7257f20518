// The inotify backend's table of watches and the keys they serve (see
// posix_inotify_keys.h).
#include "console/posix_inotify_keys.h"

#include <cstring>

#include <sys/inotify.h>

namespace {

// The first watch whose descriptor is not below this one.
std::vector<watched>::iterator place_of(inotify_watch& watch, int descriptor) {
    std::size_t low = 0, high = watch.watches.size();
    while (low < high) {
        std::size_t middle = (low + high) / 2;
        if (watch.watches[middle].descriptor < descriptor) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return watch.watches.begin() + static_cast<std::ptrdiff_t>(low);
}

}  // namespace

key_watch& of(inotify_watch& watch, int key) { return watch.keys[static_cast<std::size_t>(key)]; }

watched* find_watch(inotify_watch& watch, int descriptor) {
    auto at = place_of(watch, descriptor);
    return at != watch.watches.end() && at->descriptor == descriptor ? &*at : nullptr;
}

watched& add_slot(inotify_watch& watch, int descriptor) {
    auto at = place_of(watch, descriptor);
    if (at != watch.watches.end() && at->descriptor == descriptor) return *at;
    // Descriptors only grow: a new one goes at the end.
    at = watch.watches.insert(at, watched());
    at->descriptor = descriptor;
    return *at;
}

int folder_by_path(const inotify_watch& watch, const char* path) {
    for (const watched& slot : watch.watches) {
        if (slot.folder && slot.path == path) return slot.descriptor;
    }
    return -1;
}

void release(inotify_watch& watch, int descriptor) {
    auto at = place_of(watch, descriptor);
    if (at == watch.watches.end() || at->descriptor != descriptor) return;
    if (--at->users == 0) {
        inotify_rm_watch(watch.fd, descriptor);
        watch.watches.erase(at);
    }
}

bool trusted(inotify_watch& watch, int descriptor) {
    watched* slot = find_watch(watch, descriptor);
    return slot && slot->trusted;
}

std::uint32_t name_hash(const char* name) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (; *name; ++name) hash = (hash ^ static_cast<unsigned char>(*name)) * 16777619u;
    return hash;
}

void add_keys_for(inotify_watch& watch, const watched& slot, const char* name, std::vector<int>& keys) {
    if (!slot.folder || !name || !*name) {
        keys.insert(keys.end(), slot.keys.begin(), slot.keys.end());
        return;
    }
    std::uint32_t hash = name_hash(name);
    for (int key : slot.keys) {
        const key_watch& of_key = of(watch, key);
        if (of_key.whole_folder || (of_key.name_hash == hash && of_key.name == name)) keys.push_back(key);
    }
}

void drop(inotify_watch& watch, int descriptor, change_news& news) {
    auto at = place_of(watch, descriptor);
    if (at == watch.watches.end() || at->descriptor != descriptor) return;
    for (int key : at->keys) {
        key_watch& of_key = of(watch, key);
        if (of_key.file == descriptor) of_key.file = -1;
        if (of_key.folder == descriptor) of_key.folder = -1;
    }
    news.lost.insert(news.lost.end(), at->keys.begin(), at->keys.end());
    news.keys.insert(news.keys.end(), at->keys.begin(), at->keys.end());
    if (at->folder) inotify_rm_watch(watch.fd, descriptor);  // renamed away: no IN_IGNORED yet
    watch.watches.erase(at);
}
