// Finding where the last lines of the watched file begin: one forward pass
// that keeps the offsets of the most recent ring_size chunk starts.
#include "follower/follower.h"

std::int64_t locate_last_lines(follow_state& state, char* buffer) {
    state.ring_pos = 0;
    // 64-bit: a file of a few GiB holds more than 2^31 short lines.
    std::int64_t count = 0;
    // An offset is recorded before every read, the last, empty one
    // included, so after L chunks the ring's newest offset is the end of
    // the data and, once more than ring_size were recorded, the slot at
    // ring_pos holds the start of the last ring_size - 1 chunks.
    for (;;) {
        state.offset_ring[state.ring_pos] = read_position(state);
        if (++state.ring_pos == state.ring_size) state.ring_pos = 0;
        ++count;
        if (read_chunk(state, buffer) == 0) break;
    }
    std::int64_t start = count > state.ring_size ? state.offset_ring[state.ring_pos] : 0;
    move_to(state, start);
    return start;
}
