// The POSIX backend of console.h: terminals, pipes, signals and pthreads
// (its files are in posix_files.cpp).
//
// The terminal is touched in one way only: while keys are read, its input
// runs without echo and without line buffering (ICANON and ECHO cleared).
// Output processing is never changed. The original mode is put back on
// every road out: end_process (quit keys, signals, a closed output, from any
// thread) and suspension with Ctrl+Z; it is applied again on return to the
// foreground.
#include "console/console.h"
#include "console/posix_wait.h"

#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

void (*volatile control_handler)() = nullptr;

// The terminal mode found before read_key changed it, and whether it is
// changed now. Both are read by signal handlers and by whichever thread
// ends the process; the atomic orders the two (lock-free, so safe in a
// signal handler).
struct termios saved_mode;
std::atomic<int> mode_changed{0};

bool keyboard_ended = false;  // standard input hung up or reached its end

void run_control_handler() {
    void (*handler)() = control_handler;
    if (handler) handler();
    end_process();
}

void on_control_signal(int) { run_control_handler(); }

void restore_mode() {
    if (mode_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
        mode_changed = 0;
    }
}

bool in_foreground();
void apply_key_mode();

// Ctrl+Z: give the terminal back as it was found, then stop. Execution
// resumes here on SIGCONT, and the key mode is taken again at once if the
// process is back in the foreground: the keyboard wait need not notice the
// continuation (under some runtimes it does not return for it).
void on_suspend(int) {
    int saved_errno = errno;
    bool had_key_mode = mode_changed != 0;
    restore_mode();
    raise(SIGSTOP);
    if (had_key_mode && in_foreground()) apply_key_mode();
    errno = saved_errno;
}

// Only interrupts the keyboard wait so that it looks at the terminal again.
void on_continue(int) {}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// A process with no standard stream at all would hand that descriptor to
// the next file it opens: the watched file could become "standard output".
void fill_missing_standard_streams() {
    static bool done = false;
    if (done) return;
    done = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int sink = open("/dev/null", O_RDWR);
            if (sink != -1 && sink != fd) {
                dup2(sink, fd);
                close(sink);
            }
        }
    }
    // A closed pipe shows up as EPIPE from write, handled in console_write.
    signal(SIGPIPE, SIG_IGN);
}

bool in_foreground() {
    pid_t group = tcgetpgrp(STDIN_FILENO);
    // No job control on this terminal: reading it cannot stop us.
    return group == -1 || group == getpgrp();
}

void apply_key_mode() {
    if (mode_changed) return;
    struct termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
    saved_mode = mode;
    mode.c_lflag &= ~(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    // Marked before the change, so a signal arriving in between restores
    // the (still unchanged) mode rather than skipping the restore.
    mode_changed = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) mode_changed = 0;
}

}  // namespace

char** command_line_arguments(int&, char** argv) { return argv; }

console_handle console_output() {
    fill_missing_standard_streams();
#ifdef F_SETPIPE_SZ
    // Into a pipe, a larger buffer means fewer round trips between trail and
    // its reader when a writer appends fast. Best effort: the system may
    // refuse the size.
    struct stat info;
    if (fstat(STDOUT_FILENO, &info) == 0 && S_ISFIFO(info.st_mode)) fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
    return STDOUT_FILENO;
}

console_handle console_error() {
    fill_missing_standard_streams();
    return STDERR_FILENO;
}

bool is_console(console_handle handle) { return isatty(static_cast<int>(handle)) == 1; }

std::size_t console_write(console_handle handle, const char* text, std::size_t length) {
    int fd = static_cast<int>(handle);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, text + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Standard output was handed to us non-blocking: wait until it
            // takes more instead of spinning.
            wait_until_writable(fd, 100);
        } else if (n < 0 && errno == EPIPE) {
            run_control_handler();
        } else {
            break;
        }
    }
    return done;
}

int read_key() {
    for (;;) {
        bool use_keys = !keyboard_ended && isatty(STDIN_FILENO) == 1;
        bool waiting_for_foreground = false;
        if (use_keys) {
            static bool job_control_handled = false;
            if (!job_control_handled) {
                job_control_handled = true;
                install(SIGTSTP, on_suspend, SA_RESTART);
                install(SIGCONT, on_continue, SA_RESTART);
            }
            // A background process that reads or changes its terminal is
            // stopped by the shell; wait for the foreground instead.
            if (in_foreground()) {
                apply_key_mode();
            } else {
                use_keys = false;
                waiting_for_foreground = true;
            }
        }

        // Brought to the foreground, the process gets SIGCONT, which ends
        // the wait; a shell that sends none is caught by looking again now
        // and then.
        stream_wait found;
        if (!wait_on_streams(use_keys, waiting_for_foreground ? 500 : -1, found)) continue;  // interrupted: look again
        if (found.output_gone) run_control_handler();
        if (!found.key_ready) continue;

        unsigned char key = 0;
        ssize_t n = read(STDIN_FILENO, &key, 1);
        if (n == 1) return key;
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        keyboard_ended = true;  // hung up, end of input, or unreadable
    }
}

bool console_takes_wide_text(console_handle) { return false; }

std::size_t console_write_wide(console_handle, const std::uint16_t*, std::size_t) {
    return 0;  // a terminal takes UTF-8 bytes only
}

void console_write_at_once(console_handle handle, const char* text, std::size_t length) {
    int fd = static_cast<int>(handle);
    // A terminal with room for output takes a few bytes without waiting.
    if (wait_until_writable(fd, 0)) {
        while (write(fd, text, length) < 0 && errno == EINTR) {
        }
    }
}

bool render_escape_sequences(console_handle) {
    // A terminal renders them as they come; its modes stay as found.
    return true;
}

console_size largest_window_size(console_handle handle) {
    struct winsize size = {};
    if (ioctl(static_cast<int>(handle), TIOCGWINSZ, &size) != 0) return {0, 0};
    return {size.ws_col, size.ws_row};
}

void set_screen_buffer_size(console_handle, console_size) {
    // A terminal's buffer always has its window's size; nothing to do.
}

namespace {
void* run_thread_body(void* body) {
    reinterpret_cast<void (*)()>(body)();
    return nullptr;
}
}  // namespace

bool start_thread(void (*body)()) {
    // The new thread inherits a mask that blocks every signal, so that the
    // keyboard wait on the main thread is the one interrupted by them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The same stack everywhere: musl gives a thread 128 KiB unless asked,
    // glibc as much as the stack limit says.
    pthread_attr_setstacksize(&attributes, 1 << 20);
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, run_thread_body, reinterpret_cast<void*>(body));
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return failed == 0;
}

void raise_open_file_limit(int count) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    rlim_t most = limit.rlim_max;
#ifdef OPEN_MAX
    // macOS refuses a soft limit above OPEN_MAX, whatever the hard one says.
    if (most == RLIM_INFINITY || most > OPEN_MAX) most = OPEN_MAX;
#endif
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < most) {
        limit.rlim_cur = most;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
    }
    // A descriptor this high grows the table at once, while the process has
    // one thread; with two, each growth waits for the other to pass a
    // quiescent point (milliseconds each, on Linux).
    rlim_t wanted = static_cast<rlim_t>(count) + 64;
    if (count <= 0 || (limit.rlim_cur != RLIM_INFINITY && wanted >= limit.rlim_cur)) return;
    int high = static_cast<int>(wanted);
    if (dup2(STDERR_FILENO, high) == high) close(high);
}

void pause_ms(int milliseconds) {
    struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::int64_t clock_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void set_control_handler(void (*handler)()) {
    control_handler = handler;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) install(signal_number, on_control_signal, 0);
}

void end_process() {
    restore_mode();
    _exit(0);
}
