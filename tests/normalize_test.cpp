// How a chunk is prepared for the console.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "follower/follower.h"

namespace {

// Puts the chunk's bytes into a buffer as read_chunk leaves it (zero after
// the data, garbage beyond) and returns the text normalize_chunk gives.
std::string shown(const std::string& chunk) {
    char buffer[chunk_buffer_size];
    std::memset(buffer, '#', sizeof buffer);
    std::memcpy(buffer, chunk.data(), chunk.size());
    buffer[chunk.size()] = 0;
    char* text = normalize_chunk(buffer);
    EXPECT_TRUE(text == buffer || text == buffer + 1);
    return text;
}

TEST(normalize_chunk, line_feeds_kept_and_missing_ones_added) {
    EXPECT_EQ(shown("abc\n"), "abc\n");
    EXPECT_EQ(shown("abc\r\n"), "abc\r\n");
    EXPECT_EQ(shown("\n"), "\n");
    EXPECT_EQ(shown("abc"), "abc\r\n");
    EXPECT_EQ(shown("abc\r"), "abc\r\r\n");
}

TEST(normalize_chunk, zero_bytes) {
    EXPECT_EQ(shown(std::string("\0abc\n", 5)), "abc\n");
    EXPECT_EQ(shown(std::string("\0abc", 4)), "abc\r\n");
    EXPECT_EQ(shown(std::string("\0\0abc\n", 6)), "");  // only one is skipped
    EXPECT_EQ(shown(std::string("ab\0cd\n", 6)), "ab\r\n");
    EXPECT_EQ(shown(std::string("\0", 1)), "");
    EXPECT_EQ(shown(std::string(5, '\0')), "");
    EXPECT_EQ(shown(std::string("\0\n", 2)), "\n");
}

TEST(normalize_chunk, full_chunks_fit_the_buffer) {
    std::string full(chunk_max, 'a');
    EXPECT_EQ(shown(full), full + "\r\n");
    std::string after_zero = std::string(1, '\0') + std::string(chunk_max - 1, 'b');
    EXPECT_EQ(shown(after_zero), std::string(chunk_max - 1, 'b') + "\r\n");
    EXPECT_EQ(shown(std::string(chunk_max - 1, 'c') + "\n"), std::string(chunk_max - 1, 'c') + "\n");
}

}  // namespace
