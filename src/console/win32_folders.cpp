// The Win32 backend of console.h, its folders: listing a folder's entries
// and looking at what a name stands for.
#include "console/console.h"
#include "console/win32_handles.h"

#include <string>

namespace {

struct folder_listing {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW entry = {};
    bool entry_unread = false;
    char name[MAX_PATH * 4];
};

// A FILETIME counts 100 ns from 1601.
std::int64_t since_1970_ns(const FILETIME& time) {
    std::int64_t ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                                   time.dwLowDateTime);
    return (ticks - 116444736000000000) * 100;
}

}  // namespace

const char* folder_separators() { return "\\/:"; }

bool names_ignore_case() { return true; }

folder_ref open_folder(const char* path) {
    std::string pattern = *path ? std::string(path) : std::string(".");
    char last = pattern.back();
    if (last != '\\' && last != '/' && last != ':') pattern += '\\';
    pattern += '*';
    folder_listing* listing = new folder_listing;
    // The basic information leaves the short 8.3 names out.
    listing->find = FindFirstFileExW(wide(pattern.c_str()).c_str(), FindExInfoBasic, &listing->entry,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (listing->find == INVALID_HANDLE_VALUE) {
        delete listing;
        return no_handle;
    }
    listing->entry_unread = true;
    return reinterpret_cast<folder_ref>(listing);
}

const char* next_folder_entry(folder_ref folder) {
    folder_listing* listing = reinterpret_cast<folder_listing*>(folder);
    for (;;) {
        if (!listing->entry_unread && !FindNextFileW(listing->find, &listing->entry)) return nullptr;
        listing->entry_unread = false;
        const wchar_t* name = listing->entry.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        if (WideCharToMultiByte(CP_UTF8, 0, name, -1, listing->name, sizeof listing->name, nullptr, nullptr) <= 0)
            continue;
        return listing->name;
    }
}

void close_folder(folder_ref folder) {
    folder_listing* listing = reinterpret_cast<folder_listing*>(folder);
    FindClose(listing->find);
    delete listing;
}

bool look_at_entry(const char* path, entry_facts& facts) {
    // Attributes only, sharing everything; backup semantics open a folder
    // too.
    HANDLE file = CreateFileW(wide(*path ? path : ".").c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(file, &info) != 0 && GetFileType(file) == FILE_TYPE_DISK;
    CloseHandle(file);
    if (!known) return false;
    facts.identity.volume = info.dwVolumeSerialNumber;
    facts.identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    facts.modified_ns = since_1970_ns(info.ftLastWriteTime);
    facts.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return true;
}

std::int64_t time_of_day_ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return since_1970_ns(now);
}
