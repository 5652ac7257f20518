// The POSIX backend of console.h, its files: opening the watched file
// without ever blocking on it, reading it, and looking at what a name or an
// open file stands for.
#include "console/console.h"
#include "console/posix_stat.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void take_facts(const struct stat& info, file_facts& facts) {
    facts.identity = identity_of(info);
    facts.size = S_ISREG(info.st_mode) ? static_cast<std::int64_t>(info.st_size) : -1;
    facts.modified = modified_ns_of(info);
    facts.named = info.st_nlink > 0;
}

}  // namespace

file_ref open_for_reading(const char* name, file_facts* facts) {
    // Non-blocking so that opening a FIFO never waits for its writer.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) return no_handle;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return no_handle;
    }
    if (facts) take_facts(info, *facts);
    return fd;
}

std::int64_t read_file(file_ref file, char* buffer, std::size_t max) {
    for (;;) {
        ssize_t n = read(static_cast<int>(file), buffer, max);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

bool look_at_file(file_ref file, file_facts& facts) {
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0) return false;
    take_facts(info, facts);
    return true;
}

std::int64_t size_of_file(file_ref file) {
    // Half the cost of fstat here: no attributes gathered, no permission
    // hook, nothing copied out.
    off_t end = lseek(static_cast<int>(file), 0, SEEK_END);
    return end == static_cast<off_t>(-1) ? -1 : static_cast<std::int64_t>(end);
}

bool look_at_name(const char* name, file_identity& identity) {
    struct stat info;
    if (stat(name, &info) != 0 || S_ISDIR(info.st_mode)) return false;
    identity = identity_of(info);
    return true;
}

std::int64_t read_file_at(file_ref file, std::int64_t offset, char* buffer, std::size_t max) {
    for (;;) {
        ssize_t n = pread(static_cast<int>(file), buffer, max, static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool seek_file(file_ref file, std::int64_t offset) {
    return lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

void close_file(file_ref file) { close(static_cast<int>(file)); }
