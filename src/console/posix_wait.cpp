// The POSIX backend's waits on the standard streams: poll() where it
// serves, select() where it does not (see posix_wait.h).
//
// With select() standard output is watched only when it is a pipe: the
// write end of a pipe reads as ready once, and only once, its reader has
// gone (Linux, macOS and the BSDs alike). A terminal's output reads as
// ready when keys are typed, and says nothing of a hang-up that SIGHUP does
// not say already; a file or device is always ready.
#include "console/posix_wait.h"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#ifdef TRAIL_WAIT_BY_SELECT
std::atomic<bool> by_select{true};  // built to take the select() road from the start
#else
std::atomic<bool> by_select{false};
#endif

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// poll() refused an open descriptor: it cannot serve it, and select() takes
// over for good.
bool poll_refused(const struct pollfd& watched) {
    if ((watched.revents & POLLNVAL) == 0 || !is_open(watched.fd)) return false;
    by_select = true;
    return true;
}

struct timeval* as_timeval(int timeout_ms, struct timeval& room) {
    if (timeout_ms < 0) return nullptr;
    room.tv_sec = timeout_ms / 1000;
    room.tv_usec = (timeout_ms % 1000) * 1000;
    return &room;
}

bool output_is_pipe() {
    struct stat info;
    return fstat(STDOUT_FILENO, &info) == 0 && S_ISFIFO(info.st_mode);
}

bool select_on_streams(bool keys, int timeout_ms, stream_wait& found) {
    fd_set readable;
    FD_ZERO(&readable);
    bool watch_output = output_is_pipe();
    if (watch_output) FD_SET(STDOUT_FILENO, &readable);
    if (keys) FD_SET(STDIN_FILENO, &readable);
    struct timeval room;
    int ready = select(STDOUT_FILENO + 1, &readable, nullptr, nullptr, as_timeval(timeout_ms, room));
    if (ready < 0) {
        // Standard input closed under us: its read tells the caller so.
        found.key_ready = keys && errno == EBADF && !is_open(STDIN_FILENO);
        return found.key_ready;
    }
    found.output_gone = watch_output && FD_ISSET(STDOUT_FILENO, &readable);
    found.key_ready = keys && FD_ISSET(STDIN_FILENO, &readable);
    return true;
}

}  // namespace

bool wait_on_streams(bool keys, int timeout_ms, stream_wait& found) {
    found = stream_wait();
    if (!by_select) {
        struct pollfd watch[2] = {{STDOUT_FILENO, 0, 0}, {STDIN_FILENO, POLLIN, 0}};
        int ready = poll(watch, keys ? 2 : 1, timeout_ms);
        if (ready < 0) return false;
        bool refused = poll_refused(watch[0]);
        if (keys && poll_refused(watch[1])) refused = true;
        if (!refused) {
            found.output_gone = (watch[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            found.key_ready = keys && watch[1].revents != 0;
            return true;
        }
    }
    return select_on_streams(keys, timeout_ms, found);
}

bool wait_until_writable(int fd, int timeout_ms) {
    if (!by_select) {
        struct pollfd out = {fd, POLLOUT, 0};
        int ready = poll(&out, 1, timeout_ms);
        if (ready <= 0) return false;
        if (!poll_refused(out)) return (out.revents & POLLOUT) != 0;
    }
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(fd, &writable);
    struct timeval room;
    return select(fd + 1, nullptr, &writable, nullptr, as_timeval(timeout_ms, room)) == 1;
}
