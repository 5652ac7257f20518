// The Win32 backend's own: console.h's handle values as the HANDLEs they
// hold, and UTF-8 names as the wide names the API takes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

inline HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
inline std::intptr_t as_value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

inline std::wstring wide(const char* utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    text.resize(static_cast<std::size_t>(length) - 1);
    return text;
}
