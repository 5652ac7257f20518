// Turning a chunk into the text shown on a console.
#include <cstring>

#include "follower/follower.h"

char* normalize_chunk(char* buffer) {
    // One leading zero byte is skipped (a writer that pads with a zero
    // would otherwise hide the whole chunk); the text ends at the next one.
    char* text = buffer[0] == 0 ? buffer + 1 : buffer;
    std::size_t length = std::strlen(text);
    // A piece of a long line, or a line its writer has not finished, still
    // ends the console line, so the next chunk starts on a line of its own.
    if (length > 0 && text[length - 1] != '\n') {
        text[length] = '\r';
        text[length + 1] = '\n';
        text[length + 2] = 0;
    }
    return text;
}
