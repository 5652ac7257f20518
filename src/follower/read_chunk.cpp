// Reading the watched file: large reads into a block, chunks cut from it in
// memory, and the return to the file's start after a truncation that the
// writer has already written past.
//
// A writer may truncate its log at any moment, also while trail is reading
// it, and write it past trail's position again before trail looks: the
// size alone cannot show that. So each read of a regular file starts a few
// bytes early, on the last bytes read before; if the file no longer holds
// them there, it was truncated, and trail goes back to its start. The check
// rides on the read itself: it costs no extra system call.
#include <cstring>

#include "follower/follower.h"

namespace {

// Unread bytes are kept after a guard of recent_max bytes, where an
// overlapped read puts the recent bytes again.
const std::size_t guard = recent_max;

// Appends whatever the file has past the block's end. False when there was
// nothing new to read (for now) or the read failed; true also when a
// truncation was found and the read position went back to the start.
bool fill_block(follow_state& state) {
    std::size_t kept = state.reading.block_end - state.reading.block_start;
    if (state.reading.block_start != guard) {
        std::memmove(state.reading.read_block + guard, state.reading.read_block + state.reading.block_start, kept);
        state.reading.block_start = guard;
        state.reading.block_end = guard + kept;
    }
    char* free_space = state.reading.read_block + state.reading.block_end;
    std::size_t room = sizeof state.reading.read_block - state.reading.block_end;

    std::size_t overlap = state.reading.regular_file ? state.reading.recent_length : 0;
    std::int64_t got;
    if (state.reading.regular_file) {
        got = read_file_at(state.watched_file, state.reading.file_pos - static_cast<std::int64_t>(overlap),
                           free_space - overlap, room + overlap);
        if (got < 0) return false;
        if (static_cast<std::size_t>(got) < overlap || std::memcmp(free_space - overlap, state.reading.recent, overlap) != 0) {
            move_to(state, 0);
            return true;
        }
        got -= static_cast<std::int64_t>(overlap);
    } else {
        got = read_file(state.watched_file, free_space, room);
    }
    if (got <= 0) return false;
    remember_read(state, free_space, static_cast<std::size_t>(got));
    state.reading.block_end += static_cast<std::size_t>(got);
    state.reading.file_pos += got;
    return true;
}

bool is_utf16(text_encoding encoding) { return encoding == encoding_utf16le || encoding == encoding_utf16be; }

// The length of the UTF-16 chunk at next up to its code unit 000A, when
// that is within the first limit bytes; else 0.
std::size_t utf16_line_length(const char* next, std::size_t limit, bool little_endian) {
    char low = little_endian ? '\n' : 0;
    char high = little_endian ? 0 : '\n';
    for (std::size_t at = 0; at + 1 < limit; at += 2) {
        if (next[at] == low && next[at + 1] == high) return at + 2;
    }
    return 0;
}

}  // namespace

std::size_t read_chunk(follow_state& state, char* chunk) {
    const char* bytes = nullptr;
    std::size_t length = next_chunk(state, bytes);
    std::memcpy(chunk, bytes, length);
    chunk[length] = 0;
    return length;
}

std::size_t next_chunk(follow_state& state, const char*& bytes) {
    read_ahead& reading = state.reading;
    for (;;) {
        const char* next = reading.read_block + reading.block_start;
        std::size_t held = reading.block_end - reading.block_start;
        if (reading.encoding == encoding_undecided) {
            // The file's text starts here: its first bytes tell how it is
            // text, and until they are there nothing is shown.
            reading.encoding = encoding_of_start(next, held, true);
            if (reading.encoding == encoding_undecided) {
                if (fill_block(state)) continue;
                bytes = next;
                return 0;
            }
        }
        bool utf16 = is_utf16(reading.encoding);
        std::size_t most = utf16 ? utf16_chunk_max : chunk_max;
        std::size_t limit = held < most ? held : most;
        std::size_t take;
        if (utf16) {
            take = utf16_line_length(next, limit, reading.encoding == encoding_utf16le);
        } else {
            const char* line_feed = static_cast<const char*>(std::memchr(next, '\n', limit));
            take = line_feed ? static_cast<std::size_t>(line_feed - next) + 1 : 0;
        }
        if (take == 0) {
            if (held >= most) {
                take = most;
            } else if (fill_block(state)) {
                continue;  // the chunk may go on in the new data
            } else {
                // The end of the data there is now ends the chunk; half a
                // UTF-16 code unit waits for the rest.
                take = utf16 ? held & ~static_cast<std::size_t>(1) : held;
            }
        }
        bytes = reading.read_block + reading.block_start;
        reading.block_start += take;
        return take;
    }
}

std::size_t read_available(follow_state& state, const char*& bytes) {
    while (state.reading.block_start == state.reading.block_end) {
        if (!fill_block(state)) return 0;
    }
    bytes = state.reading.read_block + state.reading.block_start;
    std::size_t length = state.reading.block_end - state.reading.block_start;
    state.reading.block_start = state.reading.block_end;
    return length;
}

std::int64_t read_position(const follow_state& state) {
    return state.reading.file_pos - static_cast<std::int64_t>(state.reading.block_end - state.reading.block_start);
}

void remember_read(follow_state& state, const char* bytes, std::size_t length) {
    if (length >= recent_max) {
        std::memcpy(state.reading.recent, bytes + length - recent_max, recent_max);
        state.reading.recent_length = recent_max;
        return;
    }
    std::size_t keep = state.reading.recent_length < recent_max - length ? state.reading.recent_length : recent_max - length;
    std::memmove(state.reading.recent, state.reading.recent + state.reading.recent_length - keep, keep);
    std::memcpy(state.reading.recent + keep, bytes, length);
    state.reading.recent_length = keep + length;
}

void move_to(follow_state& state, std::int64_t offset) {
    seek_file(state.watched_file, offset);
    state.reading.file_pos = offset;
    state.reading.block_start = 0;
    state.reading.block_end = 0;
    state.reading.recent_length = 0;
    // Read from its start, the file may be a new text (rewritten after a
    // truncation, say): its first bytes tell its encoding again.
    if (offset == 0) state.reading.encoding = encoding_undecided;
}
