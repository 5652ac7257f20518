// What the POSIX backend reads out of a struct stat, in one place: the
// systems name the modification time's field differently.
#pragma once

#include <sys/stat.h>

#include "console/console.h"

inline file_identity identity_of(const struct stat& info) {
    file_identity identity;
    identity.volume = static_cast<std::uint64_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    return identity;
}

// Nanoseconds since 1970 UTC. POSIX.1-2008 names the field st_mtim; macOS
// keeps its older name.
inline std::int64_t modified_ns_of(const struct stat& info) {
#if defined(__APPLE__)
    const struct timespec& modified = info.st_mtimespec;
#else
    const struct timespec& modified = info.st_mtim;
#endif
    return static_cast<std::int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec;
}
