// Runs the real trail binary as a user would: in a pseudo-terminal, or with
// its standard output a pipe, and watches what it writes and how it ends.
#pragma once

#include <termios.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct launch {
    bool output_to_pipe = false;  // else standard output is the terminal
    std::string output_file;      // standard output this file, when not empty
    bool input_from_terminal = true;  // else standard input is /dev/null
    bool errors_to_terminal = true;  // else standard error is a pipe
    long address_space_limit = 0;    // bytes, when not 0
    std::string program;             // run instead of trail, when not empty
    // Run as a background job of a job-control shell on the terminal; pid
    // is then the shell's, and SIGUSR1 to it brings trail to the foreground.
    bool start_in_background = false;
};

// Standard output a pipe; standard input and error the terminal (with a
// keyboard) or /dev/null and a pipe (without).
inline launch output_piped(bool keyboard) {
    launch how;
    how.output_to_pipe = true;
    how.input_from_terminal = keyboard;
    how.errors_to_terminal = keyboard;
    return how;
}

// Generous: the machines running the tests are shared and may be slow.
const std::chrono::seconds patience{30};

struct trail_process {
    pid_t pid = -1;
    int terminal = -1;        // the pseudo-terminal's master side
    int terminal_slave = -1;  // kept open to read the terminal's modes
    int output = -1;          // read end of standard output, when a pipe
    int errors = -1;          // read end of standard error, when a pipe
    std::string shown;          // all read from standard output
    std::string terminal_text;  // all read from the terminal when output is piped
    std::string error_text;   // all read from the error pipe
    struct termios initial_mode = {};

    trail_process(const std::vector<std::string>& args, launch how = {});
    ~trail_process();
    trail_process(const trail_process&) = delete;
    trail_process& operator=(const trail_process&) = delete;

    // Reads what trail writes until condition holds; false if it does not
    // within patience.
    bool wait_until(const std::function<bool()>& condition, std::chrono::seconds limit = patience);
    bool wait_for_text(const std::string& text);  // in shown
    // Until trail has its terminal in key mode (no echo, no line buffering).
    bool wait_for_key_mode();
    // Until trail has read every byte typed at its terminal.
    bool wait_for_keys_read();
    void type(const std::string& keys);
    // Until the follower thread sleeps in its wait: it has read all
    // there was and found nothing more.
    bool wait_for_poll_pause();
    // The number of the system call a thread of trail is in (/proc's
    // syscall: "running" when in none), "" when there is no such thread.
    std::string system_call(const std::string& task) const;
    struct termios terminal_mode() const;
    bool running();
    // The exit code, -1000 - signal when killed by a signal, or -1 when it
    // did not end within patience (it is then killed).
    int wait_exit();
    // Closes the terminal, as closing a terminal window does.
    void hang_up();
    void close_output();

  private:
    int exit_status = -1;
    bool exited = false;
    bool output_was_piped = false;
    bool drain(int timeout_ms);
};

bool same_mode(const struct termios& a, const struct termios& b);

// The binary under test.
std::string trail_binary();

// A scratch folder removed when the object goes, in parent (the temporary
// folder when empty).
struct scratch_folder {
    std::string path;
    explicit scratch_folder(const std::string& parent = "");
    ~scratch_folder();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& data);
void append_file(const std::string& path, const std::string& data);
// Writes the file under another name and renames it into place, so that it
// appears whole: trail, woken the moment a file is created, would otherwise
// open it empty and show all that is then written as appended.
void write_whole_file(const std::string& path, const std::string& data);

// Whether a process holds the file now at path open (a look at the name
// that found it has been made), waiting for that up to patience.
bool wait_until_held(pid_t pid, const std::string& path);

// Processor time used by a process, in clock ticks.
long cpu_ticks(pid_t pid);

// Tells whether a process spun (used the processor most of the time) since
// the watch started. Only meaningful once window_passed().
struct busy_watch {
    pid_t pid;
    std::chrono::steady_clock::time_point start;
    long ticks;
    explicit busy_watch(pid_t watched);
    bool window_passed() const;
    bool spun() const;
};

extern const std::string waiting_message;
extern const std::string blanking_line;

// What trail showed of the files it followed: its output without the
// waiting message and the blanking line.
std::string without_status_texts(std::string shown);
