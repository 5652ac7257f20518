// The Win32 backend of console.h: the console API, and the C runtime's
// _getch and _beginthread.
//
// The console's input mode is touched only by _getch, which sets it for the
// length of one read; end_process puts back the mode found at the first
// key read, in case the process ends (from a control handler's thread)
// while _getch has it changed.
#include "console/console.h"

#include <windows.h>

#include <conio.h>
#include <process.h>
#include <shellapi.h>

#include <string>

namespace {

void (*volatile control_handler)() = nullptr;

HANDLE saved_input = INVALID_HANDLE_VALUE;
DWORD saved_input_mode = 0;
volatile LONG input_mode_saved = 0;

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

std::size_t console_write(console_handle handle, const char* text, std::size_t length) {
    HANDLE out = as_handle(handle);
    std::size_t done = 0;
    while (done < length) {
        DWORD part = length - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length - done);
        DWORD written = 0;
        // A console takes the text as characters of its code page; a pipe or
        // file, where WriteConsoleA fails, takes the bytes as they are.
        if (!WriteConsoleA(out, text + done, part, &written, nullptr) &&
            !WriteFile(out, text + done, part, &written, nullptr)) {
            if (reader_gone_error(GetLastError())) run_control_handler();
            break;
        }
        if (written == 0) break;
        done += written;
    }
    return done;
}

int read_key() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (InterlockedCompareExchange(&input_mode_saved, 0, 0) == 0 && GetConsoleMode(input, &saved_input_mode)) {
        saved_input = input;
        InterlockedExchange(&input_mode_saved, 1);
    }
    bool watch_pipe = GetFileType(output) == FILE_TYPE_PIPE;
    for (;;) {
        if (!has_console_mode(input)) {
            // No keyboard: wait, looking now and then at the output pipe.
            if (watch_pipe && pipe_reader_gone(output)) run_control_handler();
            Sleep(watch_pipe ? 500 : INFINITE);
            continue;
        }
        if (!watch_pipe) return _getch();
        if (_kbhit()) return _getch();
        if (pipe_reader_gone(output)) run_control_handler();
        Sleep(50);
    }
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

std::int64_t file_size(file_ref file, std::int64_t* modified) {
    HANDLE handle = as_handle(file);
    if (GetFileType(handle) != FILE_TYPE_DISK) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return -1;
    if (modified) {
        *modified = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
    }
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
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

void end_process() {
    if (InterlockedCompareExchange(&input_mode_saved, 0, 0)) SetConsoleMode(saved_input, saved_input_mode);
    ExitProcess(0);
}
