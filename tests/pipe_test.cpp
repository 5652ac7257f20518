// trail with its standard output a pipe: the file's bytes unchanged, no
// status text mixed in, an end when the reader goes, and the faults mended
// for logs that are truncated or larger than 2 GiB.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "trail_process.h"

namespace {

const launch piped_no_keyboard = output_piped(false);
const launch piped_with_keyboard = output_piped(true);

TEST(pipe, file_bytes_pass_unchanged) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    // The last three chunks start at "second": a 300-byte line is two.
    std::string before = "first\n";
    std::string data = std::string("second\r\n") + std::string(300, 'w') + "\n" + std::string("\0zero\n", 6);
    write_file(log, before + data.substr(0, data.size() - 1));  // the last line unfinished
    trail_process trail({"-4", log}, piped_no_keyboard);
    std::string expected = data.substr(0, data.size() - 1);
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= expected.size(); }));
    EXPECT_EQ(trail.shown, expected);

    std::string more = std::string("\n", 1) + "ab" + std::string(1, '\0') + "cd" + "\n" + "abc";
    append_file(log, more);
    expected += more;
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= expected.size(); }));
    EXPECT_EQ(trail.shown, expected);
    trail.close_output();
    EXPECT_EQ(trail.wait_exit(), 0);
    EXPECT_EQ(trail.error_text, "");
}

TEST(pipe, status_texts_stay_off_the_output) {
    scratch_folder folder;
    std::string log = folder.file("later.log");
    // Standard error is the terminal: the waiting message shows there.
    trail_process trail({log}, piped_with_keyboard);
    ASSERT_TRUE(trail.wait_until([&] { return trail.terminal_text.find(waiting_message) != std::string::npos; }));
    write_file(log, "hello\n");
    ASSERT_TRUE(trail.wait_for_text("hello\n"));
    ASSERT_TRUE(trail.wait_until([&] { return trail.terminal_text.find(blanking_line) != std::string::npos; }));
    EXPECT_EQ(trail.shown, "hello\n");

    // With no terminal at all they go nowhere.
    std::string other = folder.file("other.log");
    trail_process quiet({other}, piped_no_keyboard);
    ASSERT_TRUE(quiet.running());
    write_file(other, "data\n");
    ASSERT_TRUE(quiet.wait_for_text("data\n"));
    EXPECT_EQ(quiet.shown, "data\n");
    EXPECT_EQ(quiet.error_text, "");
}

TEST(pipe, ends_when_the_reader_goes_away_even_with_no_new_data) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    {
        trail_process trail({log}, piped_with_keyboard);
        ASSERT_TRUE(trail.wait_for_text("hello\n"));
        ASSERT_TRUE(trail.wait_for_key_mode());
        trail.close_output();
        EXPECT_EQ(trail.wait_exit(), 0);
        EXPECT_TRUE(same_mode(trail.terminal_mode(), trail.initial_mode));
    }
    {
        trail_process trail({log}, piped_no_keyboard);
        ASSERT_TRUE(trail.wait_for_text("hello\n"));
        trail.close_output();
        EXPECT_EQ(trail.wait_exit(), 0);
    }
}

TEST(pipe, without_a_keyboard_it_follows_without_spinning) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "");
    trail_process trail({log}, piped_no_keyboard);
    busy_watch watch(trail.pid);
    for (int i = 0; i < 5; ++i) {
        std::string line = "line " + std::to_string(i) + "\n";
        append_file(log, line);
        ASSERT_TRUE(trail.wait_for_text(line));
    }
    ASSERT_TRUE(trail.wait_until([&] { return watch.window_passed(); }));
    EXPECT_FALSE(watch.spun());
    EXPECT_TRUE(trail.running());
    kill(trail.pid, SIGINT);
    EXPECT_EQ(trail.wait_exit(), 0);
}

TEST(pipe, a_truncated_file_is_shown_again_from_its_start) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "old one\nold two\nold three\n");
    trail_process trail({log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("old three\n"));
    write_file(log, "new\n");  // truncates, then writes less than before
    ASSERT_TRUE(trail.wait_for_text("new\n"));
    append_file(log, "newer\n");
    ASSERT_TRUE(trail.wait_for_text("newer\n"));
    EXPECT_EQ(trail.shown, "old one\nold two\nold three\nnew\nnewer\n");
}

TEST(pipe, a_file_truncated_and_at_once_rewritten_longer_is_shown_from_its_start) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "old one\nold two\n");
    trail_process trail({log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("old two\n"));
    std::string rewritten;
    for (int i = 0; i < 50; ++i) rewritten += "rewritten line " + std::to_string(i) + "\n";
    write_file(log, rewritten);  // one truncate and one write, between two looks
    ASSERT_TRUE(trail.wait_for_text("rewritten line 49\n"));
    EXPECT_EQ(trail.shown, "old one\nold two\n" + rewritten);
}

TEST(pipe, files_past_2_gib_are_located_and_followed) {
    scratch_folder folder;
    std::string log = folder.file("big.log");
    {
        // A hole of 2.5 GiB (no disk used), then a few lines.
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, (5LL << 30) / 2), 0);
        close(fd);
    }
    append_file(log, "\nalpha\nbeta\ngamma\n");
    trail_process trail({"-2", log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("gamma\n"));
    append_file(log, "delta\n");
    ASSERT_TRUE(trail.wait_for_text("delta\n"));
    EXPECT_EQ(trail.shown, "beta\ngamma\ndelta\n");
}

TEST(command_line_errors, usage_and_bad_counts) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    for (auto args : std::vector<std::vector<std::string>>{{}, {"-5"}}) {
        trail_process trail(args, piped_no_keyboard);
        EXPECT_EQ(trail.wait_exit(), 2);
        EXPECT_EQ(trail.error_text.rfind("usage: trail", 0), 0u) << trail.error_text;
        EXPECT_EQ(trail.shown, "");
    }
    for (auto help : {"--help", "-h"}) {
        trail_process trail({help}, piped_no_keyboard);
        EXPECT_EQ(trail.wait_exit(), 0);
        EXPECT_EQ(trail.shown.rfind("usage: trail", 0), 0u) << trail.shown;
        EXPECT_EQ(trail.error_text, "");
    }
    trail_process version({"--version"}, piped_no_keyboard);
    EXPECT_EQ(version.wait_exit(), 0);
    EXPECT_EQ(version.shown, "trail " TRAIL_VERSION "\n");
    EXPECT_EQ(version.error_text, "");
    for (std::string count : {"--5", "-2147483647", "-99999999999999999999"}) {
        trail_process trail({count, log}, piped_no_keyboard);
        EXPECT_EQ(trail.wait_exit(), 2);
        EXPECT_NE(trail.error_text.find("'" + count + "'"), std::string::npos) << trail.error_text;
        EXPECT_EQ(std::count(trail.error_text.begin(), trail.error_text.end(), '\n'), 1) << trail.error_text;
        EXPECT_EQ(trail.shown, "");
    }
#ifndef TRAIL_SANITIZED  // the sanitizers need more address space than the limit
    // A count it can hold but not allocate memory for.
    launch small = piped_no_keyboard;
    small.address_space_limit = 256L << 20;
    trail_process trail({"-2000000000", log}, small);
    EXPECT_EQ(trail.wait_exit(), 2);
    EXPECT_NE(trail.error_text.find("'-2000000000'"), std::string::npos) << trail.error_text;
    EXPECT_EQ(trail.shown, "");
#endif
}

}  // namespace
