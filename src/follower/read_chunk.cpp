// Reading the watched file: large reads into a block, chunks cut from it in
// memory, and the return to the file's start after a truncation.
#include <cstring>

#include "follower/follower.h"

namespace {

// Appends whatever the file has past the block's end. False when there was
// nothing to read (for now) or the read failed.
bool fill_block(follow_state& state) {
    std::size_t kept = state.block_end - state.block_start;
    if (state.block_start > 0) {
        std::memmove(state.read_block, state.read_block + state.block_start, kept);
        state.block_start = 0;
        state.block_end = kept;
    }
    std::int64_t got = read_file(state.watched_file, state.read_block + kept, read_block_size - kept);
    if (got <= 0) return false;
    remember_read(state, state.read_block + state.block_end, static_cast<std::size_t>(got));
    state.block_end += static_cast<std::size_t>(got);
    state.file_pos += got;
    return true;
}

}  // namespace

std::size_t read_chunk(follow_state& state, char* chunk) {
    for (;;) {
        const char* next = state.read_block + state.block_start;
        std::size_t held = state.block_end - state.block_start;
        std::size_t limit = held < chunk_max ? held : chunk_max;
        const char* line_feed = static_cast<const char*>(std::memchr(next, '\n', limit));
        std::size_t take;
        if (line_feed) {
            take = static_cast<std::size_t>(line_feed - next) + 1;
        } else if (held >= chunk_max) {
            take = chunk_max;
        } else if (fill_block(state)) {
            continue;  // the chunk may go on in the new data
        } else {
            take = held;  // the end of the data there is now ends the chunk
        }
        std::memcpy(chunk, state.read_block + state.block_start, take);
        chunk[take] = 0;
        state.block_start += take;
        return take;
    }
}

std::size_t read_available(follow_state& state, const char*& bytes) {
    if (state.block_start == state.block_end && !fill_block(state)) return 0;
    bytes = state.read_block + state.block_start;
    std::size_t length = state.block_end - state.block_start;
    state.block_start = state.block_end;
    return length;
}

std::int64_t read_position(const follow_state& state) {
    return state.file_pos - static_cast<std::int64_t>(state.block_end - state.block_start);
}

void remember_read(follow_state& state, const char* bytes, std::size_t length) {
    if (length >= recent_max) {
        std::memcpy(state.recent, bytes + length - recent_max, recent_max);
        state.recent_length = recent_max;
        return;
    }
    std::size_t keep = state.recent_length < recent_max - length ? state.recent_length : recent_max - length;
    std::memmove(state.recent, state.recent + state.recent_length - keep, keep);
    std::memcpy(state.recent + keep, bytes, length);
    state.recent_length = keep + length;
}

void move_to(follow_state& state, std::int64_t offset) {
    seek_file(state.watched_file, offset);
    state.file_pos = offset;
    state.block_start = 0;
    state.block_end = 0;
    state.recent_length = 0;
}

namespace {

// Whether the bytes last read before file_pos are still there. A failed
// read cannot tell, and counts as yes.
bool recent_bytes_still_there(const follow_state& state) {
    if (state.recent_length == 0) return true;
    char now[recent_max];
    std::int64_t offset = state.file_pos - static_cast<std::int64_t>(state.recent_length);
    std::int64_t got = read_file_at(state.watched_file, offset, now, state.recent_length);
    if (got < 0) return true;
    return static_cast<std::size_t>(got) == state.recent_length && std::memcmp(now, state.recent, state.recent_length) == 0;
}

}  // namespace

bool may_have_new_data(follow_state& state) {
    std::int64_t modified = 0;
    std::int64_t size = file_size(state.watched_file, &modified);
    if (size < 0) return true;  // a pipe or device: only a read can tell
    std::int64_t position = read_position(state);
    bool written = size > position || modified != state.modified_seen;
    state.modified_seen = modified;
    // Asking the size is cheaper than a read that finds nothing; the bytes
    // are compared only when the file was written.
    if (size < position || (written && !recent_bytes_still_there(state))) {
        move_to(state, 0);
        return true;
    }
    return size > position;
}
