// trail in a pseudo-terminal, as a user runs it: what it shows, the keys and
// signals that end it, and the terminal it leaves behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "trail_process.h"

namespace {

std::string numbered_lines(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) text += "line " + std::to_string(i) + "\n";
    return text;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Whether the main thread comes to wait for keys in the call trail was
// built to use: select() (x86-64 select, pselect6) or poll() (poll, ppoll).
bool waits_for_keys_by_the_call_built_in(trail_process& trail) {
#ifdef TRAIL_WAIT_BY_SELECT
    const std::vector<std::string> calls = {"23", "270"};
#else
    const std::vector<std::string> calls = {"7", "271"};
#endif
    return trail.wait_until([&] {
        std::string number = trail.system_call(std::to_string(trail.pid));
        return std::find(calls.begin(), calls.end(), number) != calls.end();
    });
}

void expect_clean_quit(trail_process& trail) {
    EXPECT_EQ(trail.wait_exit(), 0);
    EXPECT_TRUE(same_mode(trail.terminal_mode(), trail.initial_mode));
}

TEST(terminal, shows_last_lines_then_what_is_appended) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, numbered_lines(1, 30));
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_text("line 30\n"));
    EXPECT_EQ(trail.shown, blanking_line + numbered_lines(11, 30));

    // While it runs, keys are read without echo or line buffering, and
    // output processing is left as it was.
    ASSERT_TRUE(trail.wait_for_key_mode());
    EXPECT_EQ(trail.terminal_mode().c_oflag, trail.initial_mode.c_oflag);
    EXPECT_EQ(trail.terminal_mode().c_iflag, trail.initial_mode.c_iflag);
    EXPECT_TRUE(waits_for_keys_by_the_call_built_in(trail));

    std::string expected = trail.shown;
    auto shows = [&](const std::string& appended, const std::string& seen) {
        append_file(log, appended);
        expected += seen;
        return trail.wait_until([&] { return trail.shown.size() >= expected.size(); }) && trail.shown == expected;
    };
    EXPECT_TRUE(shows("abc", "abc\r\n"));
    EXPECT_TRUE(shows("def\n", "def\n"));
    EXPECT_TRUE(shows("crlf\r\n", "crlf\r\n"));
    EXPECT_TRUE(shows(std::string(599, 'L') + "\n",
                      std::string(255, 'L') + "\r\n" + std::string(255, 'L') + "\r\n" + std::string(89, 'L') + "\n"));
    EXPECT_TRUE(shows(std::string(255, 'E') + "\n", std::string(255, 'E') + "\r\n\n"));
    EXPECT_TRUE(shows(std::string("\0lead\n", 6), "lead\n"));
    EXPECT_TRUE(shows(std::string("ab\0cd\n", 6), "ab\r\n"));
    EXPECT_TRUE(shows(std::string("\0\0\0\n", 4) + "after\n", "after\n"));

    trail.type("q");
    expect_clean_quit(trail);
}

// What one console write per chunk shows for data that is all there: each
// chunk (up to a line feed, or 255 bytes) from its first byte, or its
// second when that is zero, up to its first zero byte, ended as a line.
std::string shown_chunk_by_chunk(const std::string& data) {
    std::string shown;
    for (std::size_t at = 0; at < data.size();) {
        std::size_t end = std::min(at + 255, data.size());
        std::size_t line_feed = data.find('\n', at);
        if (line_feed < end) end = line_feed + 1;
        std::string text = data.substr(at, end - at);
        at = end;
        if (text[0] == '\0') text.erase(0, 1);
        text = text.substr(0, text.find('\0'));
        if (!text.empty() && text.back() != '\n') text += "\r\n";
        shown += text;
    }
    return shown;
}

TEST(terminal, a_burst_of_mixed_chunks_shows_as_one_write_per_chunk_would) {
    // Several batches' worth: long lines, zero bytes, CR LF, lone line
    // feeds, lines of exactly 254 and 255 bytes, no final line feed.
    std::mt19937 random(11);
    std::string data;
    while (data.size() < 300000) {
        switch (random() % 8) {
            case 0: data += std::string(random() % 1200, 'L') + "\n"; break;
            case 1: data += std::string(1, '\0') + "after a zero\n"; break;
            case 2: data += "ab" + std::string(1, '\0') + "hidden\n"; break;
            case 3: data += "windows line\r\n"; break;
            case 4: data += "\n"; break;
            case 5: data += std::string(254 + random() % 2, 'E') + "\n"; break;
            default: data += "line " + std::to_string(random()) + "\n"; break;
        }
    }
    data += "unfinished";
    scratch_folder folder;
    std::string log = folder.file("burst.log");
    write_file(log, data);
    trail_process trail({"-1000000", log});
    std::string expected = blanking_line + shown_chunk_by_chunk(data);
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= expected.size(); }));
    EXPECT_EQ(trail.shown.size(), expected.size());
    EXPECT_TRUE(trail.shown == expected) << "the terminal got other bytes than chunk by chunk";
}

TEST(terminal, count_option_and_empty_file) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, numbered_lines(1, 30) + "partial");
    trail_process three({"-3", log});
    ASSERT_TRUE(three.wait_for_text("partial\r\n"));
    EXPECT_EQ(three.shown, blanking_line + numbered_lines(29, 30) + "partial\r\n");

    std::string empty = folder.file("empty.log");
    write_file(empty, "");
    trail_process trail({empty});
    ASSERT_TRUE(trail.wait_for_text(blanking_line));
    append_file(empty, "first\n");
    ASSERT_TRUE(trail.wait_for_text("first\n"));
    EXPECT_EQ(trail.shown, blanking_line + "first\n");
}

TEST(terminal, waits_for_the_file_and_blanks_the_message) {
    scratch_folder folder;
    std::string log = folder.file("later.log");
    trail_process trail({"-2", log});
    ASSERT_TRUE(trail.wait_until([&] { return occurrences(trail.shown, waiting_message) >= 3; }));
    write_whole_file(log, "one\ntwo\nthree\n");
    ASSERT_TRUE(trail.wait_for_text("three\n"));
    std::size_t waits = occurrences(trail.shown, waiting_message);
    std::string expected;
    for (std::size_t i = 0; i < waits; ++i) expected += waiting_message;
    EXPECT_EQ(trail.shown, expected + blanking_line + "two\nthree\n");
    trail.type("x");
    expect_clean_quit(trail);
}

TEST(terminal, a_directory_is_waited_on_like_a_missing_file) {
    scratch_folder folder;
    std::string log = folder.file("dir.log");
    ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_until([&] { return occurrences(trail.shown, waiting_message) >= 3; }));
    ASSERT_EQ(rmdir(log.c_str()), 0);
    write_file(log, "now a file\n");
    ASSERT_TRUE(trail.wait_for_text(blanking_line + "now a file\n"));
}

class quit_key : public ::testing::TestWithParam<std::string> {};

TEST_P(quit_key, ends_with_code_0_while_following_and_while_waiting) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    for (const std::string& name : {log, folder.file("missing.log")}) {
        trail_process trail({name});
        ASSERT_TRUE(trail.wait_for_key_mode());
        trail.type(GetParam());
        expect_clean_quit(trail);
    }
}

// Ctrl+C reaches trail as SIGINT through the terminal's line discipline.
INSTANTIATE_TEST_SUITE_P(terminal, quit_key, ::testing::Values("q", "x", "\x03"));

TEST(terminal, other_keys_change_nothing) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_key_mode());
    // Upper case, arrows (several codes each), Enter, Ctrl+D and the
    // buffer command, which on a terminal writes nothing.
    trail.type("QXaz+\x1b[A\x1b[B\r\n\x04+");
    ASSERT_TRUE(trail.wait_for_keys_read());
    append_file(log, "still here\n");
    ASSERT_TRUE(trail.wait_for_text("still here\n"));
    EXPECT_EQ(trail.shown, blanking_line + "hello\nstill here\n");
    EXPECT_TRUE(trail.running());
    trail.type("q");
    expect_clean_quit(trail);
}

class control_signal : public ::testing::TestWithParam<int> {};

TEST_P(control_signal, ends_with_code_0_and_restores_the_terminal) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    for (const std::string& name : {log, folder.file("missing.log")}) {
        trail_process trail({name});
        ASSERT_TRUE(trail.wait_for_key_mode());
        kill(trail.pid, GetParam());
        expect_clean_quit(trail);
    }
}

INSTANTIATE_TEST_SUITE_P(terminal, control_signal, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

TEST(terminal, suspended_it_gives_the_terminal_back_and_takes_it_again) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_key_mode());
    kill(trail.pid, SIGTSTP);
    int status = 0;
    ASSERT_EQ(waitpid(trail.pid, &status, WUNTRACED), trail.pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_TRUE(same_mode(trail.terminal_mode(), trail.initial_mode));
    kill(trail.pid, SIGCONT);
    ASSERT_TRUE(trail.wait_for_key_mode());
    append_file(log, "resumed\n");
    ASSERT_TRUE(trail.wait_for_text("resumed\n"));
    trail.type("q");
    expect_clean_quit(trail);
}

TEST(terminal, started_in_the_background_it_leaves_the_terminal_alone_until_brought_forward) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    launch job;
    job.start_in_background = true;
    trail_process trail({log}, job);
    ASSERT_TRUE(trail.wait_for_text("hello\n"));
    // Were it to read or change the terminal now, the shell's job control
    // would stop it, and it would show no more.
    append_file(log, "in the background\n");
    ASSERT_TRUE(trail.wait_for_text("in the background\n"));
    EXPECT_TRUE(same_mode(trail.terminal_mode(), trail.initial_mode));

    kill(trail.pid, SIGUSR1);  // fg
    ASSERT_TRUE(trail.wait_for_key_mode());
    trail.type("q");
    expect_clean_quit(trail);
}

TEST(terminal, closing_the_terminal_ends_it_with_code_0) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "hello\n");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_key_mode());
    trail.hang_up();
    EXPECT_EQ(trail.wait_exit(), 0);
}

}  // namespace
