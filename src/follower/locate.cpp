// Finding where the last lines of the watched file begin.
//
// A regular file is searched backwards from its end in large blocks, so the
// cost does not grow with the file's size. Chunk starts are a matter of
// line starts: a line of len bytes (its line feed included) is
// ceil(len / 255) chunks starting every 255 bytes from the line's start, so
// counting whole lines back from the end and splitting the last one counted
// lands on the same offset as reading every chunk from the start.
#include <cstring>

#include "follower/follower.h"

namespace {

// Reads exactly length bytes at offset into buffer. False if the file gave
// fewer (it shrank meanwhile) or a read failed.
bool read_exactly_at(file_ref file, std::int64_t offset, char* buffer, std::size_t length) {
    while (length > 0) {
        std::int64_t got = read_file_at(file, offset, buffer, length);
        if (got <= 0) return false;
        buffer += got;
        offset += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

// The last line feed in bytes[0, length), or null. A giant last line is
// searched at memory speed: by the C library's vectorised memrchr where it
// has one.
const char* last_line_feed(const char* bytes, std::size_t length) {
#ifdef __GLIBC__
    return static_cast<const char*>(memrchr(bytes, '\n', length));
#else
    return last_line_feed_by_words(bytes, length);
#endif
}

}  // namespace

const char* last_line_feed_by_words(const char* bytes, std::size_t length) {
    const std::uint64_t ones = 0x0101010101010101u;
    const std::uint64_t highs = 0x8080808080808080u;
    const std::uint64_t line_feeds = ones * '\n';
    while (length >= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + length - 8, 8);
        word ^= line_feeds;  // a line feed becomes a zero byte
        if ((word - ones) & ~word & highs) break;  // some byte of it is zero
        length -= 8;
    }
    while (length > 0) {
        if (bytes[--length] == '\n') return bytes + length;
    }
    return nullptr;
}

namespace {

// Where the UTF-16 code unit holding the line feed byte at offset begins,
// if that unit is the line feed 000A; else -1. The text starts at offset 0,
// so its units start at even offsets.
std::int64_t utf16_line_feed(const follow_state& state, const followed_file& file, std::int64_t offset,
                             std::int64_t window_start) {
    const char* byte = state.read_block + (offset - window_start);
    if (file.reading.encoding == encoding_utf16le) return offset % 2 == 0 && byte[1] == 0 ? offset : -1;
    return offset % 2 == 1 && byte[-1] == 0 ? offset - 1 : -1;
}

// Reads the block of the file that ends at limit into the read-ahead, the
// window on the file that the search looks at. False if a read failed or
// fell short.
bool read_window(follow_state& state, followed_file& file, std::int64_t limit) {
    std::int64_t start = limit > static_cast<std::int64_t>(read_block_size) ? limit - read_block_size : 0;
    std::size_t length = static_cast<std::size_t>(limit - start);
    file.reading.block_start = file.reading.block_end = 0;
    if (!read_exactly_at(file.watched_file, start, state.read_block, length)) return false;
    file.reading.block_end = length;
    file.reading.file_pos = limit;
    file.reading.recent_length = 0;
    remember_read(file.reading, state.read_block, length);
    return true;
}

// The offset of the last line feed before limit (in UTF-16, of the code
// unit 000A), -1 when there is none, -2 when a read failed. The read-ahead
// serves as the window on the file: it holds bytes [file_pos - block_end,
// file_pos), so the lines found are ready to be read from it afterwards (a
// regular file is read at explicit offsets: its position is never needed).
std::int64_t previous_line_feed(follow_state& state, followed_file& file, std::int64_t limit, bool utf16) {
    for (;;) {
        std::int64_t window_start = file.reading.file_pos - static_cast<std::int64_t>(file.reading.block_end);
        if (limit > window_start && limit <= file.reading.file_pos) {
            std::size_t length = static_cast<std::size_t>(limit - window_start);
            for (;;) {
                const char* found = last_line_feed(state.read_block, length);
                if (!found) break;
                std::int64_t offset = window_start + (found - state.read_block);
                if (!utf16) return offset;
                // A 0A byte may be half of another character (0A 4E is U+4E0A).
                std::int64_t unit = utf16_line_feed(state, file, offset, window_start);
                if (unit >= 0) return unit;
                length = static_cast<std::size_t>(found - state.read_block);
            }
            limit = window_start;
        }
        if (limit <= 0) return -1;
        if (!read_window(state, file, limit)) return -2;
    }
}

}  // namespace

std::int64_t find_last_lines_start(follow_state& state, followed_file& file, std::int64_t size, std::int64_t count) {
    claim_block(state, file);
    // The window on the file's end may be there already.
    bool window = file.reading.block_start == 0 && file.reading.block_end > 0 && file.reading.file_pos == size;
    if (!window) {
        file.reading.block_start = file.reading.block_end = 0;
        file.reading.file_pos = 0;
    }
    // In UTF-16 a line feed is a code unit of two bytes, and the chunks of
    // a long line are 254 bytes; half a unit at the end is not text yet.
    bool utf16 = file.reading.encoding == encoding_utf16le || file.reading.encoding == encoding_utf16be;
    std::int64_t unit = utf16 ? 2 : 1;
    std::int64_t piece = static_cast<std::int64_t>(utf16 ? utf16_chunk_max : chunk_max);
    std::int64_t line_end = utf16 ? size & ~static_cast<std::int64_t>(1) : size;
    // The first window takes the file's last byte too: the last lines are
    // then read from it, with no read after.
    if (size > 0 && !window && !read_window(state, file, size)) return -1;
    std::int64_t needed = count;
    std::int64_t start = 0;  // when the file holds no more than count chunks
    while (line_end > 0) {
        // The line ending at line_end owns its line feed at line_end - unit
        // (if any): its start is after the line feed before that one.
        std::int64_t line_feed = previous_line_feed(state, file, line_end - unit, utf16);
        if (line_feed == -2) return -1;
        std::int64_t line_start = line_feed < 0 ? 0 : line_feed + unit;
        std::int64_t chunks = (line_end - line_start + piece - 1) / piece;
        if (chunks >= needed) {
            start = line_start + (chunks - needed) * piece;
            break;
        }
        needed -= chunks;
        line_end = line_start;
    }
    // Read on from the window when it holds the start; else move there.
    std::int64_t window_start = file.reading.file_pos - static_cast<std::int64_t>(file.reading.block_end);
    if (file.reading.block_end > 0 && start >= window_start && start <= file.reading.file_pos) {
        file.reading.block_start = static_cast<std::size_t>(start - window_start);
    } else {
        move_to(state, file, start);
    }
    return start;
}

std::int64_t locate_last_lines_forward(follow_state& state, followed_file& file, char* buffer) {
    state.ring_pos = 0;
    // 64-bit: a file of a few GiB holds more than 2^31 short lines.
    std::int64_t count = 0;
    // An offset is recorded before every read, the last, empty one
    // included, so after L chunks the ring's newest offset is the end of
    // the data and, once more than ring_size were recorded, the slot at
    // ring_pos holds the start of the last ring_size - 1 chunks.
    for (;;) {
        state.offset_ring[state.ring_pos] = read_position(state, file);
        if (++state.ring_pos == state.ring_size) state.ring_pos = 0;
        ++count;
        if (read_chunk(state, file, buffer) == 0) break;
    }
    std::int64_t start = count > state.ring_size ? state.offset_ring[state.ring_pos] : 0;
    move_to(state, file, start);
    return start;
}

std::int64_t locate_last_lines(follow_state& state, followed_file& file, char* buffer, const file_facts* opened) {
    begin_file(state, file, false, opened);
    read_ahead& reading = file.reading;
    // A pipe or device has no end to count back from, and what a forward
    // pass read from it could not be shown again: show its present data.
    // So too for a file whose size says nothing.
    if (!reading.regular_file) {
        reading.encoding = encoding_undecided;  // its first bytes tell
        return read_position(state, file);
    }
    // Its size as begin_file found it a moment ago: what is there then is
    // shown in one go, however many files there are. The search starts on
    // its last block, which holds its first bytes too when it is small.
    std::int64_t size = file.name_seen.open_size;
    bool window = size > 0 && read_window(state, file, size);
    char first[2];
    std::size_t got = 0;
    if (window && reading.file_pos == static_cast<std::int64_t>(reading.block_end)) {
        got = reading.block_end < sizeof first ? reading.block_end : sizeof first;
        std::memcpy(first, state.read_block, got);
    } else if (size > 0) {
        std::int64_t read = read_file_at(file.watched_file, 0, first, sizeof first);
        got = read > 0 ? static_cast<std::size_t>(read) : 0;
    }
    reading.encoding = encoding_of_start(first, got, true);
    // Too short to tell its encoding: it is shown whole.
    if (reading.encoding == encoding_undecided) return read_position(state, file);
    if (size >= 0) {
        file.reading.first_end = size;
        std::int64_t start = find_last_lines_start(state, file, size, state.ring_size - 1);
        if (start >= 0) return start;
    }
    // The file shrank under the search or a read failed: count forward.
    move_to(state, file, 0);
    return locate_last_lines_forward(state, file, buffer);
}
