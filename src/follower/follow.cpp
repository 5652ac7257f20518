// The follower thread: wait for the watched file, show its last lines, then
// show whatever is appended, checking every 100 ms when there is nothing new.
#include <cstring>

#include "follower/follower.h"

follow_state shared_follow_state;

namespace {

// To a pipe or a file nothing may be lost: a failed write is tried again
// until it goes through or the program ends.
void write_everything(const follow_state& state, const char* bytes, std::size_t length) {
    for (;;) {
        std::size_t written = console_write(state.console_out, bytes, length);
        bytes += written;
        length -= written;
        if (length == 0) return;
        pause_ms(100);
    }
}

void show_chunk(follow_state& state, char* chunk) {
    const char* text = normalize_chunk(chunk);
    console_write(state.console_out, text, std::strlen(text));
}

}  // namespace

void follow_file() {
    follow_state& state = shared_follow_state;
    wait_for_file(state);

    char chunk[chunk_buffer_size];
    locate_last_lines(state, chunk);

    for (;;) {
        std::size_t length;
        if (state.raw_output) {
            // Nothing is added to the bytes, so all that is there goes out
            // in one write.
            const char* bytes = nullptr;
            length = read_available(state, bytes);
            if (length > 0) write_everything(state, bytes, length);
        } else {
            // On a console each chunk is one write, ended as a line.
            length = read_chunk(state, chunk);
            if (length > 0) show_chunk(state, chunk);
        }
        if (length > 0) {
            after_data(state);
            continue;
        }
        do {
            pause_ms(100);
        } while (!may_have_new_data(state));
    }
}
