// The Win32 backend of console.h, its files: opening the watched file
// shared for every other use, reading it, and looking at what a name or an
// open file stands for.
#include "console/console.h"
#include "console/win32_handles.h"

#include <windows.h>

file_ref open_for_reading(const char* name, file_facts* facts) {
    // Shared for reading, writing and deleting: the writer goes on
    // appending, truncating, renaming and deleting while we follow. Without
    // backup semantics a directory cannot be opened, as we want.
    HANDLE file = CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return no_handle;
    if (facts && !look_at_file(as_value(file), *facts)) {
        CloseHandle(file);
        return no_handle;
    }
    return as_value(file);
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

std::int64_t size_of_file(file_ref file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(as_handle(file), &size)) return -1;
    return static_cast<std::int64_t>(size.QuadPart);
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
