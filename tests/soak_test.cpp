// Soak: a writer appends random lines as fast as it can while trail follows
// the file into a pipe, truncating or rotating it now and then; what comes
// out must be every byte written, in order.
// TRAIL_SOAK_MIB sets how much is written (32 MiB by default; the full soak
// in the README writes 1024).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "trail_process.h"

namespace {

const launch piped_no_keyboard = output_piped(false);
const std::chrono::seconds soak_patience{1800};

// Until trail has shown `size` bytes; gives up when nothing new comes for
// a while (a lost byte would otherwise keep us waiting for the whole soak).
bool wait_for_size(trail_process& trail, std::size_t size) {
    for (;;) {
        std::size_t before = trail.shown.size();
        if (trail.wait_until([&] { return trail.shown.size() >= size || trail.shown.size() > before; })) {
            if (trail.shown.size() >= size) return true;
        } else {
            return false;
        }
    }
}

std::size_t soak_bytes() {
    const char* mib = std::getenv("TRAIL_SOAK_MIB");
    return (mib ? std::strtoul(mib, nullptr, 10) : 32) << 20;
}

// Appends random lines (0 to 2000 bytes, with carriage returns and zero
// bytes, some flushed in two writes) until at least `bytes` were written;
// returns what was written. `truncate` starts the file anew first.
// The bytes lines are cut from, made once: making them takes long enough
// on a slow machine (under a sanitizer) to pass for a writer gone quiet.
const std::string& line_pool() {
    static const std::string pool = [] {
        std::mt19937 random(99);
        std::string bytes(1 << 20, 'x');
        for (char& c : bytes) {
            unsigned pick = static_cast<unsigned>(random() % 64);
            c = pick == 0 ? '\0' : pick == 1 ? '\r' : static_cast<char>(' ' + pick);
        }
        return bytes;
    }();
    return pool;
}

std::string write_random_lines(const std::string& path, std::size_t bytes, bool truncate, unsigned seed) {
    std::mt19937 random(seed);
    const std::string& pool = line_pool();
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | (truncate ? O_TRUNC : 0));
    EXPECT_GE(fd, 0);
    std::string written;
    written.reserve(bytes + 4096);
    while (written.size() < bytes) {
        std::size_t length = random() % 2001;
        std::string line = pool.substr(random() % (pool.size() - length), length) + "\n";
        std::size_t split = random() % 4 == 0 ? random() % line.size() : line.size();
        for (auto part : {line.substr(0, split), line.substr(split)}) {
            if (!part.empty()) {
                EXPECT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
            }
        }
        written += line;
    }
    close(fd);
    return written;
}

TEST(soak, output_equals_the_file_from_its_start_offset) {
    scratch_folder folder;
    std::string log = folder.file("soak.log");
    std::string initial;
    for (int i = 0; i < 100; ++i) initial += "initial line " + std::to_string(i) + "\n";
    write_file(log, initial);
    trail_process trail({"-5", log}, piped_no_keyboard);
    std::string expected = initial.substr(initial.find("initial line 95\n"));
    ASSERT_TRUE(trail.wait_for_text("initial line 99\n"));

    std::string written;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        written = write_random_lines(log, soak_bytes(), false, 1);
        done = true;
    });
    // Drain the pipe while the writer runs, so trail never waits on us.
    bool finished = trail.wait_until([&] { return done.load(); }, soak_patience);
    writer.join();
    ASSERT_TRUE(finished);
    expected += written;
    ASSERT_TRUE(wait_for_size(trail, expected.size()));
    EXPECT_EQ(trail.shown.size(), expected.size());
    EXPECT_TRUE(trail.shown == expected) << "the output differs from the file";
}

TEST(soak, every_byte_written_after_each_truncation_appears) {
    scratch_folder folder;
    std::string log = folder.file("soak.log");
    write_file(log, "");
    trail_process trail({log}, piped_no_keyboard);
    std::string expected;
    for (unsigned generation = 0; generation < 4; ++generation) {
        // Truncate only once trail has shown everything and is pausing:
        // bytes it never had a chance to read cannot be asked of it.
        ASSERT_TRUE(trail.wait_for_poll_pause());
        std::string written;
        std::atomic<bool> done{false};
        std::thread writer([&] {
            written = write_random_lines(log, soak_bytes() / 4, generation > 0, generation + 10);
            done = true;
        });
        bool finished = trail.wait_until([&] { return done.load(); }, soak_patience);
        writer.join();
        ASSERT_TRUE(finished);
        expected += written;
        ASSERT_TRUE(wait_for_size(trail, expected.size()))
            << "generation " << generation << ": " << trail.shown.size() << " of " << expected.size();
        ASSERT_EQ(trail.shown.size(), expected.size()) << "generation " << generation;
        ASSERT_TRUE(trail.shown == expected) << "generation " << generation << ": the output differs";
    }
}

TEST(soak, every_generation_of_a_log_rotated_by_rename_appears) {
    scratch_folder folder;
    std::string log = folder.file("soak.log");
    write_file(log, "");
    trail_process trail({log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_poll_pause());
    std::string expected;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        // Rotated under load: renamed and created again with no pause, the
        // writer going on in the renamed file a little before it reopens.
        // Only once trail has seen a generation at the name, though: one
        // that stood there for less than a look (100 ms) may be missed by
        // any poller, and this writer fills one in a few milliseconds.
        for (unsigned generation = 0; generation < 4; ++generation) {
            expected += write_random_lines(log, soak_bytes() / 4, false, generation + 20);
            EXPECT_TRUE(wait_until_held(trail.pid, log)) << "generation " << generation << " never opened";
            std::string rotated = log + "." + std::to_string(generation);
            EXPECT_EQ(rename(log.c_str(), rotated.c_str()), 0);
            write_file(log, "");
            expected += write_random_lines(rotated, 64 << 10, false, generation + 30);
        }
        expected += write_random_lines(log, 1 << 20, false, 40);
        done = true;
    });
    bool finished = trail.wait_until([&] { return done.load(); }, soak_patience);
    writer.join();
    ASSERT_TRUE(finished);
    ASSERT_TRUE(wait_for_size(trail, expected.size())) << trail.shown.size() << " of " << expected.size();
    EXPECT_EQ(trail.shown.size(), expected.size());
    EXPECT_TRUE(trail.shown == expected) << "the output differs from what was written";
}

}  // namespace
