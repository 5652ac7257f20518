// The Win32 backend of console.h: the console API, and the C runtime's
// _getch and _beginthread.
//
// The console's input mode is touched only by _getch, which sets it for the
// length of one read; end_process puts back the mode found at the first
// key read, in case the process ends (from a control handler's thread)
// while _getch has it changed. The output mode gains virtual terminal
// processing (colour sequences rendered) while trail follows, and end_process
// puts it back too. The console's code page is never changed: that would
// outlive trail and garble the next program's output.
#include "console/console.h"

#include <windows.h>

#include <conio.h>
#include <process.h>
#include <shellapi.h>

#include <cstring>
#include <string>

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

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t as_value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

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

std::wstring wide(const char* utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    text.resize(static_cast<std::size_t>(length) - 1);
    return text;
}

void __cdecl run_thread_body(void* body) { reinterpret_cast<void (*)()>(body)(); }

}  // namespace

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

// How long the UTF-8 sequence that starts with byte lead is; 0 when lead
// cannot start one.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Whether a line is UTF-8 text with something beyond ASCII in it. A line
// may be a 255-byte piece of a longer one, cut inside a character: the
// pieces of that character at its start and end do not count against it.
bool utf8_beyond_ascii(const char* text, std::size_t length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t at = 0;
    while (at < length && at < 3 && continuation(bytes[at])) ++at;  // the end of a cut character
    bool beyond_ascii = at > 0;
    while (at < length) {
        std::size_t need = sequence_length(bytes[at]);
        if (need == 0) return false;
        if (need > 1) beyond_ascii = true;
        std::size_t have = 1;
        while (have < need && at + have < length && continuation(bytes[at + have])) ++have;
        if (have < need) {
            // Cut short: only the end of the line (before the line end that
            // was added to the piece) may do that.
            std::size_t rest = at + have;
            while (rest < length && (bytes[rest] == '\r' || bytes[rest] == '\n')) ++rest;
            return rest == length && at + have < length;
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (need == 3 && ((bytes[at] == 0xE0 && bytes[at + 1] < 0xA0) || (bytes[at] == 0xED && bytes[at + 1] >= 0xA0)))
            return false;
        if (need == 4 && ((bytes[at] == 0xF0 && bytes[at + 1] < 0x90) || (bytes[at] == 0xF4 && bytes[at + 1] >= 0x90)))
            return false;
        at += need;
    }
    return beyond_ascii;
}

// Writes all of text to a console as UTF-16, its characters cut by a piece
// boundary shown as replacement characters. False if the console did not
// take it all; once it has taken a part, the rest is not written again by
// another road, so no text shows twice.
bool write_wide(HANDLE out, const char* text, std::size_t length, bool& took_some) {
    took_some = false;
    int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    if (units <= 0) return false;
    std::wstring wide_text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), &wide_text[0], units);
    std::size_t done = 0;
    while (done < wide_text.size()) {
        DWORD written = 0;
        if (!WriteConsoleW(out, wide_text.data() + done, static_cast<DWORD>(wide_text.size() - done), &written, nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
        took_some = true;
    }
    return true;
}

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

enum line_kind { ascii_line, utf8_line, code_page_line };

line_kind kind_of_line(const char* text, std::size_t length) {
    bool ascii = true;
    for (std::size_t i = 0; i < length && ascii; ++i) ascii = static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) return ascii_line;
    return utf8_beyond_ascii(text, length) ? utf8_line : code_page_line;
}

// Text for a console, line by line (every line a chunk): UTF-8 text beyond
// ASCII as UTF-16 when the console's code page is not UTF-8 (it would show
// it as characters of that page), everything else as the bytes are. Lines
// that go the same way (ASCII goes either) go in one write. Returns the
// bytes written.
std::size_t write_console(HANDLE out, const char* text, std::size_t length) {
    if (GetConsoleOutputCP() == CP_UTF8) return write_narrow(out, text, length);
    std::size_t done = 0;
    while (done < length) {
        line_kind run = ascii_line;
        std::size_t end = done;
        while (end < length) {
            const char* line_feed = static_cast<const char*>(std::memchr(text + end, '\n', length - end));
            std::size_t line = line_feed ? static_cast<std::size_t>(line_feed - (text + end)) + 1 : length - end;
            line_kind kind = kind_of_line(text + end, line);
            if (kind != ascii_line) {
                if (run != ascii_line && kind != run) break;
                run = kind;
            }
            end += line;
        }
        std::size_t length_of_run = end - done;
        if (run == utf8_line) {
            bool took_some = false;
            if (!write_wide(out, text + done, length_of_run, took_some)) {
                if (took_some) return done;  // failed part way: nothing again
                if (write_narrow(out, text + done, length_of_run) < length_of_run) return done;
            }
        } else if (write_narrow(out, text + done, length_of_run) < length_of_run) {
            return done;
        }
        done = end;
    }
    return done;
}

}  // namespace

std::size_t console_write(console_handle handle, const char* text, std::size_t length) {
    HANDLE out = as_handle(handle);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) return write_console(out, text, length);
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

file_ref open_for_reading(const char* name) {
    // Shared for reading, writing and deleting: the writer goes on
    // appending, truncating, renaming and deleting while we follow. Without
    // backup semantics a directory cannot be opened, as we want.
    HANDLE file = CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? no_handle : as_value(file);
}

std::int64_t read_file(file_ref file, char* buffer, std::size_t max) {
    DWORD got = 0;
    DWORD want = max > 0x10000000 ? 0x10000000 : static_cast<DWORD>(max);
    if (ReadFile(as_handle(file), buffer, want, &got, nullptr)) return got;
    DWORD error = GetLastError();
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ? 0 : -1;
}

namespace {
file_identity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
    file_identity identity;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return identity;
}
}  // namespace

bool look_at_file(file_ref file, file_facts& facts) {
    HANDLE handle = as_handle(file);
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        // A pipe or a device: no size, no identity to compare beyond itself.
        facts.identity = file_identity();
        facts.identity.index = static_cast<std::uint64_t>(file);
        facts.size = -1;
        facts.named = true;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    facts.identity = identity_of(info);
    facts.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    facts.modified = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
    // Where deletes are not POSIX-style, a deleted file keeps its name, delete
    // pending, until the last handle on it closes.
    FILE_STANDARD_INFO standard;
    bool pending = GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) &&
                   standard.DeletePending;
    facts.named = info.nNumberOfLinks > 0 && !pending;
    return true;
}

bool look_at_name(const char* name, file_identity& identity) {
    // Attributes only, sharing everything: the look never stands in a
    // writer's way. Without backup semantics a directory does not open.
    HANDLE file = CreateFileW(wide(name).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known) return false;
    identity = identity_of(info);
    return true;
}

std::int64_t read_file_at(file_ref file, std::int64_t offset, char* buffer, std::size_t max) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD got = 0;
    DWORD want = max > 0x10000000 ? 0x10000000 : static_cast<DWORD>(max);
    if (ReadFile(as_handle(file), buffer, want, &got, &at)) return got;
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool seek_file(file_ref file, std::int64_t offset) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(as_handle(file), distance, nullptr, FILE_BEGIN) != 0;
}

void close_file(file_ref file) { CloseHandle(as_handle(file)); }

bool start_thread(void (*body)()) {
    return _beginthread(run_thread_body, 0, reinterpret_cast<void*>(body)) != static_cast<std::uintptr_t>(-1);
}

void pause_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

std::int64_t clock_ms() { return static_cast<std::int64_t>(GetTickCount64()); }

void set_control_handler(void (*handler)()) {
    control_handler = handler;
    SetConsoleCtrlHandler(on_control_event, TRUE);
}

void render_escape_sequences(console_handle handle) {
    HANDLE out = as_handle(handle);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode) || (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
    saved_output = out;
    saved_output_mode = mode;
    // Marked first, so that an end in between restores the unchanged mode.
    InterlockedExchange(&output_mode_saved, 1);
    // Older consoles refuse the flag; then nothing has changed.
    if (!SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        InterlockedExchange(&output_mode_saved, 0);
    }
}

void end_process() {
    if (InterlockedCompareExchange(&input_mode_saved, 0, 0)) SetConsoleMode(saved_input, saved_input_mode);
    if (InterlockedCompareExchange(&output_mode_saved, 0, 0)) SetConsoleMode(saved_output, saved_output_mode);
    ExitProcess(0);
}
