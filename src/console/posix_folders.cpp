// The POSIX backend of console.h, its folders: listing a folder's entries
// and looking at what a name stands for.
#include "console/console.h"
#include "console/posix_stat.h"

#include <cstring>
#include <ctime>

#include <dirent.h>
#include <sys/stat.h>

const char* folder_separators() { return "/"; }

bool names_ignore_case() { return false; }

folder_ref open_folder(const char* path) {
    DIR* folder = opendir(*path ? path : ".");
    return folder ? reinterpret_cast<folder_ref>(folder) : no_handle;
}

const char* next_folder_entry(folder_ref folder) {
    while (struct dirent* entry = readdir(reinterpret_cast<DIR*>(folder))) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return entry->d_name;
    }
    return nullptr;
}

void close_folder(folder_ref folder) { closedir(reinterpret_cast<DIR*>(folder)); }

bool look_at_entry(const char* path, entry_facts& facts) {
    struct stat info;
    if (stat(*path ? path : ".", &info) != 0) return false;
    facts.identity = identity_of(info);
    facts.modified_ns = modified_ns_of(info);
    facts.regular = S_ISREG(info.st_mode);
    return true;
}

std::int64_t time_of_day_ns() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
