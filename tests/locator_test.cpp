// Reading chunks from a file and finding where its last lines begin,
// checked against a plain model of the chunk rule on many kinds of file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "follower/follower.h"

namespace {

// Where each chunk of data begins: up to and including a line feed, at
// most 255 bytes, or up to the end.
std::vector<std::int64_t> chunk_starts(const std::string& data) {
    std::vector<std::int64_t> starts;
    std::size_t pos = 0;
    while (pos < data.size()) {
        starts.push_back(static_cast<std::int64_t>(pos));
        std::size_t end = std::min(pos + chunk_max, data.size());
        std::size_t line_feed = data.find('\n', pos);
        pos = line_feed != std::string::npos && line_feed < end ? line_feed + 1 : end;
    }
    return starts;
}

std::int64_t expected_start(const std::string& data, std::int32_t count) {
    std::vector<std::int64_t> starts = chunk_starts(data);
    return starts.size() > static_cast<std::size_t>(count) ? starts[starts.size() - count] : 0;
}

class watched_file_test : public ::testing::Test {
  protected:
    std::string path = ::testing::TempDir() + "trail_locator_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::unique_ptr<follow_state> state = std::make_unique<follow_state>();
    std::vector<std::int64_t> ring;
    char buffer[chunk_buffer_size];
    char* args[3] = {nullptr, nullptr, nullptr};

    void TearDown() override {
        release();
        std::remove(path.c_str());
    }

    // The file, and the watch on it that the locator takes.
    void release() {
        if (!state->files.empty() && file().watched_file != no_handle) close_file(file().watched_file);
        close_change_watch(state->watch);
    }

    followed_file& file() { return state->files.front(); }

    void write(const std::string& data, std::ios::openmode mode = std::ios::trunc) {
        std::ofstream(path, std::ios::binary | mode) << data;
    }

    void open(std::int32_t count) {
        release();
        state = std::make_unique<follow_state>();
        ring.assign(static_cast<std::size_t>(count) + 1, -7);
        state->ring_size = count + 1;
        state->offset_ring = ring.data();
        args[1] = path.data();
        state->arg_list = args;
        add_followed_file(*state, path.c_str()).watched_file = open_for_reading(path.c_str());
        ASSERT_NE(file().watched_file, no_handle);
    }

    std::int64_t locate(const std::string& data, std::int32_t count) {
        write(data);
        open(count);
        return locate_last_lines(*state, file(), buffer);
    }

    std::int64_t locate_forward(const std::string& data, std::int32_t count) {
        write(data);
        open(count);
        return locate_last_lines_forward(*state, file(), buffer);
    }

    // Everything read_chunk returns until it finds no data.
    std::vector<std::string> chunks() {
        std::vector<std::string> all;
        while (std::size_t length = read_chunk(*state, file(), buffer)) {
            EXPECT_EQ(buffer[length], 0);
            all.emplace_back(buffer, length);
        }
        return all;
    }
};

TEST_F(watched_file_test, edge_cases) {
    EXPECT_EQ(locate("", 20), 0);
    EXPECT_TRUE(chunks().empty());

    // N chunks: all shown. N + 1: from the second.
    EXPECT_EQ(locate("a\nb\nc\n", 3), 0);
    EXPECT_EQ(locate("a\nb\nc\nd\n", 3), 2);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"b\n", "c\n", "d\n"}));

    // N = 1: the last chunk, which may lack its line feed.
    EXPECT_EQ(locate("one\ntwo\nthree", 1), 8);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"three"}));
    EXPECT_EQ(locate("one\ntwo\nthree", 2), 4);

    // A line of 600 bytes is three chunks: 255, 255, then 90 with the line feed.
    std::string long_line = std::string(599, 'x') + "\n";
    EXPECT_EQ(locate("head\n" + long_line, 3), 5);
    EXPECT_EQ(chunks(), (std::vector<std::string>{std::string(255, 'x'), std::string(255, 'x'),
                                                  std::string(89, 'x') + "\n"}));
    EXPECT_EQ(locate("head\n" + long_line, 1), 5 + 510);

    // 255 bytes and a line feed: two chunks, the second the line feed alone.
    EXPECT_EQ(locate("head\n" + std::string(255, 'y') + "\n", 2), 5);
    EXPECT_EQ(chunks(), (std::vector<std::string>{std::string(255, 'y'), "\n"}));
    // 254 bytes and a line feed: one.
    EXPECT_EQ(locate("head\n" + std::string(254, 'y') + "\n", 1), 5);

    // Carriage returns and zero bytes are ordinary bytes to the locator.
    EXPECT_EQ(locate(std::string("a\r\n\0\0\nb\r\n", 9), 2), 3);
}

TEST_F(watched_file_test, lines_longer_than_a_read_block) {
    std::string huge(3 * read_block_size + 1234, 'h');
    std::string data = "start\n" + huge + "\nshort\n";
    for (std::int32_t count : {1, 2, 3, 4, 100, 1000, 1000000}) {
        ASSERT_EQ(locate(data, count), expected_start(data, count)) << count;
        ASSERT_EQ(locate_forward(data, count), expected_start(data, count)) << count;
    }
    // A last line without a line feed that is longer than a block.
    EXPECT_EQ(locate("a\n" + huge, 2), expected_start("a\n" + huge, 2));
}

// Both locators against the chunk rule, on files of every kind: empty, no
// final line feed, carriage returns, zero bytes, lines from 0 to 1000
// bytes, now and then larger than a read block so that lines straddle the
// blocks' edges.
TEST_F(watched_file_test, both_locators_agree_on_generated_files) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round) {
        std::string data;
        int lines = round % 25 == 0 ? 300 : static_cast<int>(random() % 40);
        for (int line = 0; line < lines; ++line) {
            int length = static_cast<int>(random() % 1001);
            for (int i = 0; i < length; ++i) {
                unsigned pick = static_cast<unsigned>(random() % 50);
                data += pick == 0 ? '\0' : pick == 1 ? '\r' : static_cast<char>('a' + pick % 26);
            }
            if (line + 1 < lines || random() % 2) data += '\n';
        }
        std::int32_t count = static_cast<std::int32_t>(1 + random() % 300);
        std::int64_t expected = expected_start(data, count);
        ASSERT_EQ(locate(data, count), expected) << "round " << round;
        if (round % 10 == 0) {
            // What follows the start is the rest of the file, chunk by chunk.
            std::string rest;
            for (const std::string& chunk : chunks()) rest += chunk;
            ASSERT_EQ(rest, data.substr(static_cast<std::size_t>(expected))) << "round " << round;
        }
        ASSERT_EQ(locate_forward(data, count), expected) << "round " << round;
    }
}

// In UTF-16 a chunk ends after the code unit 000A (at an even offset: 0A
// bytes inside other characters do not count) or after 254 bytes; half a
// unit at the end is not read.
std::int64_t expected_utf16_start(const std::string& data, bool le, std::int32_t count) {
    std::vector<std::int64_t> starts;
    std::size_t size = data.size() & ~static_cast<std::size_t>(1);
    for (std::size_t pos = 0; pos < size;) {
        starts.push_back(static_cast<std::int64_t>(pos));
        std::size_t end = pos;
        while (end < size && end - pos < utf16_chunk_max) {
            bool line_feed = data[end + (le ? 0 : 1)] == '\n' && data[end + (le ? 1 : 0)] == 0;
            end += 2;
            if (line_feed) break;
        }
        pos = end;
    }
    return starts.size() > static_cast<std::size_t>(count) ? starts[starts.size() - count] : 0;
}

TEST_F(watched_file_test, utf16_files_are_counted_in_code_units) {
    std::mt19937 random(16);
    const char16_t units[] = {u'a', u'\n', u'\n', 0x4E0A, 0x0A0A, 0x0A00, 0xD83D, 0xDE00, 0};
    for (int round = 0; round < 600; ++round) {
        bool le = round % 2 == 0;
        std::string data = le ? "\xff\xfe" : "\xfe\xff";
        int length = static_cast<int>(random() % (round % 20 == 0 ? 40000 : 1500));
        for (int i = 0; i < length; ++i) {
            char16_t unit = units[random() % (sizeof units / sizeof units[0])];
            char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
            data += le ? std::string{low, high} : std::string{high, low};
        }
        if (random() % 4 == 0) data += 'x';  // half a unit
        std::int32_t count = static_cast<std::int32_t>(1 + random() % 60);
        std::int64_t expected = expected_utf16_start(data, le, count);
        ASSERT_EQ(locate(data, count), expected) << "round " << round;
        std::string rest;
        for (const std::string& chunk : chunks()) rest += chunk;
        ASSERT_EQ(rest, data.substr(static_cast<std::size_t>(expected), (data.size() & ~1u) - expected)) << round;
        ASSERT_EQ(locate_forward(data, count), expected) << "round " << round;
    }
}

TEST_F(watched_file_test, appended_data_is_read_after_the_end_was_reached) {
    locate("first\n", 20);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"first\n"}));
    write("abc", std::ios::app);
    EXPECT_TRUE(may_have_new_data(*state, file()));
    EXPECT_EQ(chunks(), (std::vector<std::string>{"abc"}));
    write("def\n", std::ios::app);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"def\n"}));
    may_have_new_data(*state, file());  // takes note of the last write
    EXPECT_FALSE(may_have_new_data(*state, file()));
    EXPECT_EQ(read_position(*state, file()), 13);
}

TEST_F(watched_file_test, truncated_file_is_read_again_from_its_start) {
    locate("old line one\nold line two\n", 20);
    chunks();
    write("new\n");  // shorter than the read position
    EXPECT_TRUE(may_have_new_data(*state, file()));
    EXPECT_EQ(read_position(*state, file()), 0);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"new\n"}));

    // Found by a read as well, without looking at the size first.
    write("newer\n");
    EXPECT_EQ(chunks(), (std::vector<std::string>{"newer\n"}));
}

TEST_F(watched_file_test, truncated_and_at_once_rewritten_longer_is_read_again_from_its_start) {
    locate("old line one\nold line two\n", 20);
    chunks();
    // Longer than before: by its size alone the file only grew.
    std::string rewritten = "restarted log, first line\nsecond line of the new log\n";
    write(rewritten);
    std::string shown;
    for (const std::string& chunk : chunks()) shown += chunk;
    EXPECT_EQ(shown, rewritten);

    // In the middle of a line, and the same in pipe mode.
    write("appended, no line feed", std::ios::app);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"appended, no line feed"}));
    std::string whole_new = "a whole new file, longer than the one before it was, by far\n";
    write(whole_new);
    const char* bytes = nullptr;
    std::size_t length = read_available(*state, file(), bytes);
    EXPECT_EQ(std::string(bytes, length), whole_new);

    // Plain growth keeps the position.
    write("appended\n", std::ios::app);
    EXPECT_EQ(chunks(), (std::vector<std::string>{"appended\n"}));
    EXPECT_EQ(read_position(*state, file()), static_cast<std::int64_t>(whole_new.size() + 9));
}

}  // namespace

namespace {

// The word-at-a-time search stands in for memrchr where there is none: it
// must find the same byte, at every alignment and near every edge.
TEST(last_line_feed_by_words, finds_the_last_line_feed_like_a_plain_search) {
    std::mt19937 random(5);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 70, 'a');
        for (char& c : bytes) {
            unsigned pick = random() % 16;
            c = pick == 0 ? '\n' : pick == 1 ? static_cast<char>(0x8a) : pick == 2 ? '\0' : static_cast<char>('a' + pick);
        }
        std::size_t offset = random() % 8;  // unaligned starts too
        std::string padded = std::string(offset, '\n') + bytes;
        const char* start = padded.data() + offset;
        std::size_t last = bytes.rfind('\n');
        const char* found = last_line_feed_by_words(start, bytes.size());
        ASSERT_EQ(found, last == std::string::npos ? nullptr : start + last) << "round " << round;
    }
}

}  // namespace
