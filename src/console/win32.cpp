// The Win32 backend of console.h: the console API, and the C runtime's
// _getch and _beginthread (its files are in win32_files.cpp).
//
// The console's input mode is touched only by _getch, which sets it for the
// length of one read; end_process puts back the mode found at the first
// key read, in case the process ends (from a control handler's thread)
// while _getch has it changed. The output mode gains virtual terminal
// processing (colour sequences rendered) while trail follows, and end_process
// puts it back too. The console's code page is never changed: that would
// outlive trail and garble the next program's output.
#include "console/console.h"
#include "console/win32_handles.h"

#include <windows.h>

#include <conio.h>
#include <process.h>
#include <shellapi.h>

namespace {

void (*volatile control_handler)() = nullptr;

HANDLE saved_input = INVALID_HANDLE_VALUE;
DWORD saved_input_mode = 0;
volatile LONG input_mode_saved = 0;

HANDLE saved_output = INVALID_HANDLE_VALUE;
DWORD saved_output_mode = 0;
volatile LONG output_mode_saved = 0;

// The errors a write gets once the reader of a pipe has gone.
bool reader_gone_error(DWORD error) {
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}


void run_control_handler() {
    void (*handler)() = control_handler;
    if (handler) handler();
    end_process();
}

BOOL WINAPI on_control_event(DWORD) {
    run_control_handler();
    return TRUE;
}

// A process started without a standard stream gets a sink in its place, so
// that writes to it are discarded rather than failing.
HANDLE standard_handle(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        handle = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        SetStdHandle(which, handle);
    }
    return handle;
}

bool has_console_mode(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// Whether the reader of a pipe has gone: a write of nothing fails then.
bool pipe_reader_gone(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_PIPE) return false;
    DWORD written = 0;
    if (WriteFile(handle, "", 0, &written, nullptr)) return false;
    return reader_gone_error(GetLastError());
}

void __cdecl run_thread_body(void* body) { reinterpret_cast<void (*)()>(body)(); }

}  // namespace

// The C runtime's own expansion of wildcards in the command line stays off,
// however the toolchain was set up: cmd.exe and PowerShell hand trail
// `*.log` as it is, and trail's own pattern meaning applies to it. (The
// arguments are taken from the wide command line below in any case;
// mingw-w64 reads _dowildcard, and MSVC expands only with setargv.obj,
// which is not linked.)
extern "C" {
int _dowildcard = 0;
}

char** command_line_arguments(int& argc, char** argv) {
    int count = 0;
    LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide_args) return argv;
    // Kept for the whole process, like the rest of the start-up's state.
    char** args = new char*[static_cast<std::size_t>(count) + 1];
    for (int i = 0; i < count; ++i) {
        int length = WideCharToMultiByte(CP_UTF8, 0, wide_args[i], -1, nullptr, 0, nullptr, nullptr);
        args[i] = new char[length > 0 ? length : 1];
        args[i][0] = 0;
        if (length > 0) WideCharToMultiByte(CP_UTF8, 0, wide_args[i], -1, args[i], length, nullptr, nullptr);
    }
    args[count] = nullptr;
    LocalFree(wide_args);
    argc = count;
    return args;
}

console_handle console_output() { return as_value(standard_handle(STD_OUTPUT_HANDLE)); }

console_handle console_error() { return as_value(standard_handle(STD_ERROR_HANDLE)); }

bool is_console(console_handle handle) { return has_console_mode(as_handle(handle)); }

namespace {

// The bytes as characters of the console's code page. Returns how many.
std::size_t write_narrow(HANDLE out, const char* text, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        DWORD part = length - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length - done);
        DWORD written = 0;
        if (!WriteConsoleA(out, text + done, part, &written, nullptr) || written == 0) break;
        done += written;
    }
    return done;
}

}  // namespace

std::size_t console_write(console_handle handle, const char* text, std::size_t length) {
    HANDLE out = as_handle(handle);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) return write_narrow(out, text, length);
    // A pipe or a file takes the bytes as they are.
    std::size_t done = 0;
    while (done < length) {
        DWORD part = length - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length - done);
        DWORD written = 0;
        if (!WriteFile(out, text + done, part, &written, nullptr)) {
            if (reader_gone_error(GetLastError())) run_control_handler();
            break;
        }
        if (written == 0) break;
        done += written;
    }
    return done;
}

bool console_takes_wide_text(console_handle handle) { return has_console_mode(as_handle(handle)); }

std::size_t console_write_wide(console_handle handle, const std::uint16_t* units, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        DWORD part = count - done > 0x1000000 ? 0x1000000 : static_cast<DWORD>(count - done);
        DWORD written = 0;
        if (!WriteConsoleW(as_handle(handle), reinterpret_cast<const wchar_t*>(units + done), part, &written, nullptr) ||
            written == 0) {
            break;
        }
        done += written;
    }
    return done;
}

void console_write_at_once(console_handle handle, const char* text, std::size_t length) {
    console_write(handle, text, length);
}

namespace {

// Ends trail once the reader of its output pipe has gone, looking every
// half second: the keyboard wait is never held up for it. (A write of
// nothing fails on such a pipe on Windows; where it does not, the next
// write of data tells.)
void __cdecl watch_output_pipe(void* output) {
    for (;;) {
        if (pipe_reader_gone(static_cast<HANDLE>(output))) run_control_handler();
        Sleep(500);
    }
}

}  // namespace

int read_key() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    static bool started = false;
    if (!started) {
        started = true;
        if (GetConsoleMode(input, &saved_input_mode)) {
            saved_input = input;
            InterlockedExchange(&input_mode_saved, 1);
        }
        HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        if (GetFileType(output) == FILE_TYPE_PIPE) _beginthread(watch_output_pipe, 0, output);
    }
    // _getch blocks in the console's own read, which is what wakes for a
    // key (polling for pending keys does not see them on every console),
    // and passes over mouse, focus and other events without returning.
    if (has_console_mode(input)) return _getch();
    // No keyboard: the program ends only through a control event.
    for (;;) Sleep(INFINITE);
}

console_size largest_window_size(console_handle handle) {
    COORD size = GetLargestConsoleWindowSize(as_handle(handle));
    return {size.X, size.Y};
}

void set_screen_buffer_size(console_handle handle, console_size size) {
    COORD coord;
    coord.X = static_cast<SHORT>(size.columns);
    coord.Y = static_cast<SHORT>(size.rows);
    SetConsoleScreenBufferSize(as_handle(handle), coord);
}

bool start_thread(void (*body)()) {
    return _beginthread(run_thread_body, 0, reinterpret_cast<void*>(body)) != static_cast<std::uintptr_t>(-1);
}

void pause_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// NTFS tells of an append by a writer that keeps its log open only when
// the writer closes it: no notification here can be trusted to wake the
// follower, so it keeps looking every 100 ms.
change_ref open_change_watch() { return no_handle; }

bool watch_changes(change_ref, int, const watch_target&) { return false; }

void wait_for_change(change_ref, int milliseconds, change_news& news) {
    news.everything = false;
    news.keys.clear();
    news.lost.clear();
    Sleep(static_cast<DWORD>(milliseconds));
}

// A Windows process may open as many files as it has memory for; the C
// runtime's own limit is not used (files are opened with CreateFileW).
void raise_open_file_limit(int) {}

void close_change_watch(change_ref) {}

std::int64_t clock_ms() { return static_cast<std::int64_t>(GetTickCount64()); }

void set_control_handler(void (*handler)()) {
    control_handler = handler;
    SetConsoleCtrlHandler(on_control_event, TRUE);
}

bool render_escape_sequences(console_handle handle) {
    HANDLE out = as_handle(handle);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    saved_output = out;
    saved_output_mode = mode;
    // Marked first, so that an end in between restores the unchanged mode.
    InterlockedExchange(&output_mode_saved, 1);
    // Older consoles refuse the flag; then nothing has changed.
    if (!SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        InterlockedExchange(&output_mode_saved, 0);
        return false;
    }
    return true;
}

void end_process() {
    if (InterlockedCompareExchange(&input_mode_saved, 0, 0)) SetConsoleMode(saved_input, saved_input_mode);
    if (InterlockedCompareExchange(&output_mode_saved, 0, 0)) SetConsoleMode(saved_output, saved_output_mode);
    ExitProcess(0);
}
