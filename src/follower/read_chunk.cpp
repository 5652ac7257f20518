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
//
// One read block serves every followed file. The file whose bytes it
// holds keeps them there until another file needs the block; its unread
// bytes (a part of a line, at most a chunk, as a file's turn ends between
// chunks) are then set aside in its carry and put back at its next read.
#include <cstring>

#include "follower/follower.h"

namespace {

// Unread bytes are kept after a guard of recent_max bytes, where an
// overlapped read puts the recent bytes again.
const std::size_t guard = recent_max;

// Appends whatever the file has past the block's end. False when there was
// nothing new to read (for now), the read failed, or the file's turn has
// had its read; true also when a truncation was found and the read
// position went back to the start.
bool fill_block(follow_state& state, followed_file& file) {
    read_ahead& reading = file.reading;
    if (state.turn_limited && state.turn_reads > 0 && reading.file_pos >= reading.first_end) {
        // Read to its end at this turn's read, and told of its next write:
        // no read that would find nothing.
        if (reading.ended_at_read && writes_are_told(file)) return false;
        state.turn_over = true;
        return false;
    }
    ++state.turn_reads;
    std::size_t kept = reading.block_end - reading.block_start;
    if (reading.block_start != guard) {
        std::memmove(state.read_block + guard, state.read_block + reading.block_start, kept);
        reading.block_start = guard;
        reading.block_end = guard + kept;
    }
    char* free_space = state.read_block + reading.block_end;
    std::size_t room = sizeof state.read_block - reading.block_end;

    std::size_t overlap = reading.regular_file ? reading.recent_length : 0;
    std::int64_t got;
    if (reading.regular_file) {
        got = read_file_at(file.watched_file, reading.file_pos - static_cast<std::int64_t>(overlap),
                           free_space - overlap, room + overlap);
        if (got < 0) return false;
        reading.ended_at_read = static_cast<std::size_t>(got) < room + overlap;
        if (static_cast<std::size_t>(got) < overlap || std::memcmp(free_space - overlap, reading.recent, overlap) != 0) {
            move_to(state, file, 0);
            return true;
        }
        got -= static_cast<std::int64_t>(overlap);
    } else {
        got = read_file(file.watched_file, free_space, room);
        reading.ended_at_read = false;  // a stream tells its end by a read that finds nothing
    }
    if (got <= 0) return false;
    remember_read(reading, free_space, static_cast<std::size_t>(got));
    reading.block_end += static_cast<std::size_t>(got);
    reading.file_pos += got;
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

void claim_block(follow_state& state, followed_file& file) {
    followed_file* owner = state.block_owner;
    if (owner == &file) return;
    if (owner) {
        read_ahead& had = owner->reading;
        had.carry.assign(state.read_block + had.block_start, had.block_end - had.block_start);
        had.block_start = had.block_end = 0;
    }
    read_ahead& reading = file.reading;
    std::memcpy(state.read_block + guard, reading.carry.data(), reading.carry.size());
    reading.block_start = guard;
    reading.block_end = guard + reading.carry.size();
    reading.carry.clear();
    state.block_owner = &file;
}

std::size_t read_chunk(follow_state& state, followed_file& file, char* chunk) {
    const char* bytes = nullptr;
    std::size_t length = next_chunk(state, file, bytes);
    std::memcpy(chunk, bytes, length);
    chunk[length] = 0;
    return length;
}

std::size_t next_chunk(follow_state& state, followed_file& file, const char*& bytes) {
    claim_block(state, file);
    read_ahead& reading = file.reading;
    for (;;) {
        const char* next = state.read_block + reading.block_start;
        std::size_t held = reading.block_end - reading.block_start;
        if (reading.encoding == encoding_undecided) {
            // The file's text starts here: its first bytes tell how it is
            // text, and until they are there nothing is shown.
            reading.encoding = encoding_of_start(next, held, true);
            if (reading.encoding == encoding_undecided) {
                if (fill_block(state, file)) continue;
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
            } else if (fill_block(state, file)) {
                continue;  // the chunk may go on in the new data
            } else if (state.turn_over) {
                // The turn has had its read: the rest waits for the next.
                bytes = next;
                return 0;
            } else {
                // The end of the data there is now ends the chunk; half a
                // UTF-16 code unit waits for the rest.
                take = utf16 ? held & ~static_cast<std::size_t>(1) : held;
            }
        }
        bytes = state.read_block + reading.block_start;
        reading.block_start += take;
        return take;
    }
}

std::size_t read_ahead_held(follow_state& state, followed_file& file, const char*& bytes) {
    claim_block(state, file);
    bytes = state.read_block + file.reading.block_start;
    return file.reading.block_end - file.reading.block_start;
}

void take_read_ahead(followed_file& file, std::size_t length) { file.reading.block_start += length; }

std::size_t read_available(follow_state& state, followed_file& file, const char*& bytes) {
    claim_block(state, file);
    read_ahead& reading = file.reading;
    while (reading.block_start == reading.block_end) {
        if (!fill_block(state, file)) return 0;
    }
    bytes = state.read_block + reading.block_start;
    std::size_t length = reading.block_end - reading.block_start;
    reading.block_start = reading.block_end;
    return length;
}

std::int64_t read_position(const follow_state& state, const followed_file& file) {
    const read_ahead& reading = file.reading;
    std::size_t unread = state.block_owner == &file ? reading.block_end - reading.block_start : reading.carry.size();
    return reading.file_pos - static_cast<std::int64_t>(unread);
}

void remember_read(read_ahead& reading, const char* bytes, std::size_t length) {
    if (length >= recent_max) {
        std::memcpy(reading.recent, bytes + length - recent_max, recent_max);
        reading.recent_length = recent_max;
        return;
    }
    std::size_t keep = reading.recent_length < recent_max - length ? reading.recent_length : recent_max - length;
    std::memmove(reading.recent, reading.recent + reading.recent_length - keep, keep);
    std::memcpy(reading.recent + keep, bytes, length);
    reading.recent_length = keep + length;
}

void move_to(follow_state& state, followed_file& file, std::int64_t offset) {
    claim_block(state, file);
    read_ahead& reading = file.reading;
    // A regular file is read at explicit offsets; only a stream's own
    // position counts.
    if (!reading.regular_file) seek_file(file.watched_file, offset);
    reading.file_pos = offset;
    reading.block_start = 0;
    reading.block_end = 0;
    reading.recent_length = 0;
    reading.ended_at_read = false;  // where it ends from here is not known yet
    // Read from its start, the file may be a new text (rewritten after a
    // truncation, say): its first bytes tell its encoding again.
    if (offset == 0) reading.encoding = encoding_undecided;
}
