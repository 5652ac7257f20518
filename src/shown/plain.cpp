// Plain text: printable ASCII, which a console shows as it is, copied at
// memory speed; and whole lines of it, which go to the console together
// instead of a chunk at a time.
#include <cstring>

#include "shown/shown.h"

// Copies the printable ASCII at the start of bytes to out and returns how
// many bytes that was, looking at eight at a time: an ASCII log costs this
// one pass over its text.
std::size_t copy_printable(const unsigned char* bytes, std::size_t length, char* out) {
    const std::uint64_t ones = 0x0101010101010101u;
    const std::uint64_t highs = 0x8080808080808080u;
    std::size_t at = 0;
    while (at + 8 <= length) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        std::uint64_t below_space = (word - ones * 0x20) & ~word & highs;
        std::uint64_t del_or_beyond = ((word + ones) | word) & highs;
        if (below_space | del_or_beyond) break;
        std::memcpy(out + at, &word, 8);
        at += 8;
    }
    while (at < length && bytes[at] >= 0x20 && bytes[at] < 0x7F) {
        out[at] = static_cast<char>(bytes[at]);
        ++at;
    }
    return at;
}

std::size_t show_plain_lines(const shown_text& state, shown_batch& batch, const char* text, std::size_t length,
                             std::size_t chunk_most) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    char* out = batch.bytes + batch.used;
    std::size_t whole = 0;  // the end of the last whole line copied
    std::size_t line_start = 0;
    std::size_t at = 0;
    // Copied as it is looked at; what follows the last whole line is not
    // counted, and is shown chunk by chunk.
    while (at < length) {
        at += copy_printable(bytes + at, length - at, out + at);
        // A line of chunk_most bytes or more without its line feed is shown
        // in pieces, each ended as a console line.
        if (at - line_start >= chunk_most || at == length) break;
        unsigned char byte = bytes[at];
        bool line_end = byte == '\n';
        if (!line_end && byte != '\t' && !(byte == '\r' && at + 1 < length && bytes[at + 1] == '\n')) break;
        out[at++] = static_cast<char>(byte);
        if (line_end) whole = line_start = at;
    }
    // On a wide console the batch's first run is a run of bytes; ASCII goes
    // in whatever run there is.
    if (whole > 0 && state.wide_console && batch.run_count == 0) batch.runs[batch.run_count++] = text_run{false, batch.used};
    batch.used += whole;
    return whole;
}
