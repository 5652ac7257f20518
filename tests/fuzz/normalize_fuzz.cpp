// libFuzzer target: normalize_chunk on any chunk of up to 255 bytes, in a
// buffer of exactly the size the follower uses (the address sanitizer
// catches a write past it), gives the chunk's text up to its first zero
// byte (one leading zero skipped), ended by a line feed unless empty.
#include <cstdint>
#include <cstring>
#include <memory>

#include "follower/follower.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > chunk_max) return 0;
    auto buffer = std::make_unique<char[]>(chunk_buffer_size);
    std::memcpy(buffer.get(), data, size);
    buffer[size] = 0;
    const char* text = normalize_chunk(buffer.get());

    const char* expected = reinterpret_cast<const char*>(data) + (data[0] == 0 ? 1 : 0);
    std::size_t available = size - static_cast<std::size_t>(expected - reinterpret_cast<const char*>(data));
    std::size_t length = strnlen(expected, available);
    std::size_t shown = std::strlen(text);
    if (text != buffer.get() && text != buffer.get() + 1) __builtin_trap();
    if (std::memcmp(text, expected, length) != 0) __builtin_trap();
    if (length == 0 && shown != 0) __builtin_trap();
    if (length > 0 && expected[length - 1] == '\n' && shown != length) __builtin_trap();
    if (length > 0 && expected[length - 1] != '\n' && (shown != length + 2 || std::memcmp(text + length, "\r\n", 2) != 0)) {
        __builtin_trap();
    }
    return 0;
}
