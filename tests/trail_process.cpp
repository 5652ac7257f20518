// Starting trail in a pseudo-terminal or with its output piped, and reading
// what it shows, all with deadlines rather than fixed sleeps.
#include "trail_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

const std::string waiting_message = "Waiting for file to be created ...\r";
const std::string blanking_line = std::string(37, ' ') + "\r";

std::string trail_binary() { return TRAIL_BINARY; }

namespace {

using clock_type = std::chrono::steady_clock;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        check(n > 0, "write");
        done += static_cast<std::size_t>(n);
    }
}

// In the forked child: stay behind as a job-control shell that owns the
// terminal and runs trail as a background job in a process group of its
// own. SIGUSR1 brings the job to the foreground as `fg` does (the terminal
// handed over, then SIGCONT). The shell ends with the job's exit code.
pid_t background_job = 0;

void bring_job_to_foreground(int) {
    tcsetpgrp(0, background_job);
    kill(-background_job, SIGCONT);
}

void act_as_job_control_shell() {
    signal(SIGTTOU, SIG_IGN);
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        signal(SIGTTOU, SIG_DFL);
        return;  // goes on to run trail
    }
    setpgid(job, job);
    background_job = job;
    signal(SIGUSR1, bring_job_to_foreground);
    int status = 0;
    while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace

trail_process::trail_process(const std::vector<std::string>& args, launch how) {
    bool output_to_terminal = !how.output_to_pipe && how.output_file.empty();
    bool needs_terminal = output_to_terminal || how.input_from_terminal || how.errors_to_terminal;
    if (needs_terminal) {
        check(openpty(&terminal, &terminal_slave, nullptr, nullptr, nullptr) == 0, "openpty");
        // Raw output on the terminal, so that what trail writes arrives
        // byte for byte; trail must leave these flags alone either way.
        struct termios mode;
        tcgetattr(terminal_slave, &mode);
        mode.c_oflag &= ~OPOST;
        tcsetattr(terminal_slave, TCSANOW, &mode);
        tcgetattr(terminal_slave, &initial_mode);
        // Wide, so that no line the tests write is wrapped by a console
        // that renders a screen.
        struct winsize size = {};
        size.ws_col = 400;
        size.ws_row = 50;
        ioctl(terminal_slave, TIOCSWINSZ, &size);
        fcntl(terminal, F_SETFD, FD_CLOEXEC);
        fcntl(terminal_slave, F_SETFD, FD_CLOEXEC);
    }
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (how.output_to_pipe) check(pipe2(out_pipe, O_CLOEXEC) == 0, "pipe");
    if (!how.errors_to_terminal) check(pipe2(err_pipe, O_CLOEXEC) == 0, "pipe");
    int output_file = -1;
    if (!how.output_file.empty()) {
        output_file = open(how.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        check(output_file >= 0, "open");
    }
    int null_input = -1;
    if (!how.input_from_terminal) check((null_input = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0, "open");

    // TRAIL_TEST_WRAPPER, words separated by spaces, runs trail under
    // another program (valgrind, say).
    std::vector<std::string> words;
    const char* wrapper = std::getenv("TRAIL_TEST_WRAPPER");
#ifdef TRAIL_WRAPPER
    if (!wrapper) wrapper = TRAIL_WRAPPER;
#endif
    if (wrapper) {
        std::string word;
        for (const char* c = wrapper;; ++c) {
            if (*c == ' ' || *c == 0) {
                if (!word.empty()) words.push_back(word);
                word.clear();
                if (*c == 0) break;
            } else {
                word += *c;
            }
        }
    }
    words.push_back(how.program.empty() ? trail_binary() : how.program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        setsid();
        if (needs_terminal) ioctl(terminal_slave, TIOCSCTTY, 0);
        dup2(how.input_from_terminal ? terminal_slave : null_input, 0);
        dup2(how.output_to_pipe ? out_pipe[1] : output_file >= 0 ? output_file : terminal_slave, 1);
        dup2(how.errors_to_terminal ? terminal_slave : err_pipe[1], 2);
        signal(SIGPIPE, SIG_DFL);
        if (how.address_space_limit) {
            struct rlimit limit = {static_cast<rlim_t>(how.address_space_limit),
                                   static_cast<rlim_t>(how.address_space_limit)};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (how.start_in_background) act_as_job_control_shell();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    // What the terminal shows is apart from the output then.
    output_was_piped = !output_to_terminal;
    if (how.output_to_pipe) {
        output = out_pipe[0];
        close(out_pipe[1]);
    }
    if (!how.errors_to_terminal) {
        errors = err_pipe[0];
        close(err_pipe[1]);
    }
    if (null_input >= 0) close(null_input);
    if (output_file >= 0) close(output_file);
}

trail_process::~trail_process() {
    if (running()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int fd : {terminal, terminal_slave, output, errors})
        if (fd >= 0) close(fd);
}

bool trail_process::drain(int timeout_ms) {
    struct pollfd sources[3];
    std::string* sinks[3];
    int count = 0;
    auto watch = [&](int fd, std::string* sink) {
        if (fd < 0) return;
        sources[count] = {fd, POLLIN, 0};
        sinks[count++] = sink;
    };
    watch(output, &shown);
    watch(terminal, output >= 0 || output_was_piped ? &terminal_text : &shown);
    watch(errors, &error_text);
    if (count == 0 || poll(sources, count, timeout_ms) <= 0) return false;
    bool got = false;
    for (int i = 0; i < count; ++i) {
        if (!(sources[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[65536];
        ssize_t n = read(sources[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            sinks[i]->append(buffer, static_cast<std::size_t>(n));
            got = true;
        } else if (sources[i].fd == output) {
            close(output);  // end of the pipe: trail has closed it
            output = -1;
        } else if (sources[i].fd == errors) {
            close(errors);
            errors = -1;
        }
    }
    return got;
}

bool trail_process::wait_until(const std::function<bool()>& condition, std::chrono::seconds limit) {
    auto deadline = clock_type::now() + limit;
    while (!condition()) {
        if (clock_type::now() > deadline) return false;
        drain(50);
    }
    return true;
}

bool trail_process::wait_for_text(const std::string& text) {
    return wait_until([&] { return shown.find(text) != std::string::npos; });
}

bool trail_process::wait_for_key_mode() {
    auto deadline = clock_type::now() + patience;
    while (terminal_mode().c_lflag & (ICANON | ECHO)) {
        if (clock_type::now() > deadline) return false;
        drain(20);
    }
    return true;
}

bool trail_process::wait_for_keys_read() {
    auto deadline = clock_type::now() + patience;
    for (;;) {
        int pending = 0;
        ioctl(terminal_slave, FIONREAD, &pending);
        if (pending == 0) return true;
        if (clock_type::now() > deadline) return false;
        drain(20);
    }
}

bool trail_process::wait_for_poll_pause() {
    // Every thread of trail sleeps: the main thread in its wait for keys,
    // which it enters only once the follower has been started, and every
    // other thread in a pause or a wait for a change. Every other thread,
    // not just one: a runtime may add threads of its own that sleep nearly
    // always (ThreadSanitizer's, 100 ms at a time), and one of those found
    // asleep says nothing of the follower. x86-64 system calls: poll,
    // select, pselect6 and ppoll; nanosleep and clock_nanosleep.
    const std::vector<std::string> key_waits = {"7", "23", "270", "271"};
    const std::vector<std::string> sleeps = {"35", "230", "7", "271"};
    auto one_of = [](const std::string& call, const std::vector<std::string>& calls) {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    };
    return wait_until([&] {
        std::error_code error;
        int others = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
            std::string id = task.path().filename();
            bool main_thread = id == std::to_string(pid);
            if (!one_of(system_call(id), main_thread ? key_waits : sleeps)) return false;
            if (!main_thread) ++others;
        }
        return !error && others > 0;
    });
}

std::string trail_process::system_call(const std::string& task) const {
    std::ifstream call("/proc/" + std::to_string(pid) + "/task/" + task + "/syscall");
    std::string number;
    call >> number;
    return number;
}

void trail_process::type(const std::string& keys) { write_all(terminal, keys); }

struct termios trail_process::terminal_mode() const {
    struct termios mode = {};
    tcgetattr(terminal_slave, &mode);
    return mode;
}

bool trail_process::running() {
    if (exited) return false;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
    }
    return !exited;
}

int trail_process::wait_exit() {
    auto deadline = clock_type::now() + patience;
    while (running()) {
        if (clock_type::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            exited = true;
            return -1;
        }
        drain(20);
    }
    while (drain(0)) {
    }
    return exit_status;
}

void trail_process::hang_up() {
    close(terminal_slave);
    close(terminal);
    terminal_slave = terminal = -1;
}

void trail_process::close_output() {
    close(output);
    output = -1;
}

bool same_mode(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

scratch_folder::scratch_folder(const std::string& parent) {
    std::string pattern = (parent.empty() ? std::filesystem::temp_directory_path().string() : parent) + "/trail-test-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path = pattern;
}

scratch_folder::~scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string& path, const std::string& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0, "open");
    write_all(fd, data);
    close(fd);
}

void write_whole_file(const std::string& path, const std::string& data) {
    write_file(path + ".part", data);
    check(rename((path + ".part").c_str(), path.c_str()) == 0, "rename");
}

void append_file(const std::string& path, const std::string& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    check(fd >= 0, "open");
    write_all(fd, data);
    close(fd);
}

bool wait_until_held(pid_t pid, const std::string& path) {
    struct stat wanted;
    check(stat(path.c_str(), &wanted) == 0, "stat");
    auto deadline = clock_type::now() + patience;
    while (clock_type::now() < deadline) {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
            struct stat held;
            if (stat(fd.path().c_str(), &held) == 0 && held.st_dev == wanted.st_dev && held.st_ino == wanted.st_ino) {
                return true;
            }
        }
        usleep(5000);
    }
    return false;
}

long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stol(field);
        if (i == 15) system = std::stol(field);
    }
    return user + system;
}

busy_watch::busy_watch(pid_t watched) : pid(watched), start(std::chrono::steady_clock::now()), ticks(cpu_ticks(watched)) {}

bool busy_watch::spun() const {
    long window = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() *
                  sysconf(_SC_CLK_TCK) / 1000;
    // A busy loop uses about as much processor time as the window is long;
    // polling uses almost none, however slow the machine.
    return cpu_ticks(pid) - ticks >= window / 2;
}

bool busy_watch::window_passed() const { return std::chrono::steady_clock::now() - start > std::chrono::seconds(1); }

std::string without_status_texts(std::string shown) {
    for (const std::string& status : {waiting_message, blanking_line}) {
        for (std::size_t at; (at = shown.find(status)) != std::string::npos;) shown.erase(at, status.size());
    }
    return shown;
}
