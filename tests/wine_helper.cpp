// A small Win32 program that the tests run under wine beside trail.exe:
//   wine_helper rename FROM TO   renames a file (fails if it is held without
//                                FILE_SHARE_DELETE)
//   wine_helper delete FILE      deletes a file (likewise)
//   wine_helper create FILE TEXT creates FILE anew holding TEXT, trying again
//                                for up to 20 s while the name is taken (a
//                                deleted file that is still held keeps it)
//   wine_helper buffer           runs trail's buffer command on this console
//                                and prints "largest CxR buffer CxR"
//   wine_helper console CP PROGRAM ARGS...
//                                sets this console's output code page to CP,
//                                clears virtual terminal processing from its
//                                output mode, runs PROGRAM on it, then prints
//                                "codepage B/A mode B/D/A exit E": the code
//                                page before and after, the output mode
//                                before, while the program ran (the last that
//                                differed from before, else before) and after,
//                                then the program's exit code
// It exits 0 on success, 1 on failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"

namespace {

std::wstring wide(const char* utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    text.resize(std::wcslen(text.c_str()));
    return text;
}

// The helper outlives a Ctrl+C given to the program it runs (the event goes
// to every process on the console), to report after it.
BOOL WINAPI outlive_control_events(DWORD) { return TRUE; }

int run_on_this_console(int argc, char** argv) {
    SetConsoleCtrlHandler(outlive_control_events, TRUE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!SetConsoleOutputCP(static_cast<UINT>(std::atoi(argv[2])))) return 1;
    UINT page_before = GetConsoleOutputCP();
    DWORD mode_before = 0;
    if (!GetConsoleMode(out, &mode_before)) return 1;
    mode_before &= ~static_cast<DWORD>(ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    if (!SetConsoleMode(out, mode_before)) return 1;
    std::wstring command;
    for (int i = 3; i < argc; ++i) command += (i > 3 ? L" \"" : L"\"") + wide(argv[i]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 1;
    DWORD mode_during = mode_before;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        DWORD mode = mode_before;
        if (GetConsoleMode(out, &mode) && mode != mode_before) mode_during = mode;
    }
    DWORD exit_code = 1;
    GetExitCodeProcess(process.hProcess, &exit_code);
    DWORD mode_after = 0;
    GetConsoleMode(out, &mode_after);
    std::printf("codepage %u/%u mode %lu/%lu/%lu exit %lu\n", page_before, GetConsoleOutputCP(),
                static_cast<unsigned long>(mode_before), static_cast<unsigned long>(mode_during),
                static_cast<unsigned long>(mode_after), static_cast<unsigned long>(exit_code));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "rename") == 0) {
        return MoveFileExW(wide(argv[2]).c_str(), wide(argv[3]).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "delete") == 0) return DeleteFileW(wide(argv[2]).c_str()) ? 0 : 1;
    if (argc == 4 && std::strcmp(argv[1], "create") == 0) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            HANDLE file = CreateFileW(wide(argv[2]).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                DWORD length = static_cast<DWORD>(std::strlen(argv[3]));
                bool ok = WriteFile(file, argv[3], length, &written, nullptr) && written == length;
                CloseHandle(file);
                return ok ? 0 : 1;
            }
            Sleep(100);
        }
        return 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "buffer") == 0) {
        console_handle out = console_output();
        console_size largest = largest_window_size(out);
        set_screen_buffer_size(out, largest);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 1;
        std::printf("largest %dx%d buffer %dx%d\n", largest.columns, largest.rows, info.dwSize.X, info.dwSize.Y);
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "console") == 0) return run_on_this_console(argc, argv);
    return 1;
}
