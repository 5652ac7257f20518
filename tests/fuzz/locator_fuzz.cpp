// libFuzzer target: the backward search for the last lines and the forward
// pass over every chunk must land on the same offset for any file and any
// count. The first two bytes choose the count (1 to 300), the rest is the
// file.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "follower/follower.h"

namespace {

std::int64_t locate(const std::string& path, std::int32_t count, bool forward) {
    static auto state = std::make_unique<follow_state>();
    *state = follow_state();
    std::vector<std::int64_t> ring(static_cast<std::size_t>(count) + 1);
    state->ring_size = count + 1;
    state->offset_ring = ring.data();
    char* args[3] = {nullptr, const_cast<char*>(path.c_str()), nullptr};
    state->arg_list = args;
    followed_file& file = add_followed_file(*state, path.c_str());
    file.watched_file = open_for_reading(path.c_str());
    if (file.watched_file == no_handle) __builtin_trap();
    char buffer[chunk_buffer_size];
    std::int64_t start =
        forward ? locate_last_lines_forward(*state, file, buffer) : locate_last_lines(*state, file, buffer);
    close_file(file.watched_file);
    close_change_watch(state->watch);
    return start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::int32_t count = 1 + (data[0] | data[1] << 8) % 300;
    static const std::string path = "/tmp/trail-locator-fuzz-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) __builtin_trap();
    std::fwrite(data + 2, 1, size - 2, file);
    std::fclose(file);
    if (locate(path, count, false) != locate(path, count, true)) __builtin_trap();
    return 0;
}
