// A chunk's text: the zero-byte rule, and the line end added after a chunk
// that does not end in a line feed.
#include <cstdint>
#include <cstring>

#include "shown/shown.h"

const char* chunk_text(const char* buffer, std::size_t length, std::size_t& text_length) {
    // One leading zero byte is skipped (a writer that pads with a zero
    // would otherwise hide the whole chunk); the text ends at the next one.
    const char* text = length > 0 && buffer[0] == 0 ? buffer + 1 : buffer;
    text_length = strnlen(text, length - static_cast<std::size_t>(text - buffer));
    return text;
}

char* normalize_chunk(char* buffer) {
    // The buffer is zero-terminated after the chunk: a zero byte ends the
    // text in any case.
    std::size_t length;
    char* text = buffer + (chunk_text(buffer, SIZE_MAX, length) - buffer);
    // A piece of a long line, or a line its writer has not finished, still
    // ends the console line, so the next chunk starts on a line of its own.
    if (length > 0 && text[length - 1] != '\n') {
        text[length] = '\r';
        text[length + 1] = '\n';
        text[length + 2] = 0;
    }
    return text;
}
