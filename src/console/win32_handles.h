// The Win32 backend's own: console.h's handle values as the HANDLEs they
// hold, for win32.cpp and win32_files.cpp.
#pragma once

#include <windows.h>

#include <cstdint>

inline HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
inline std::intptr_t as_value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
