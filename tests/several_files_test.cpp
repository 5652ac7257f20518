// trail following several files at once: into a pipe, each file's bytes
// under the header convention of the tail programs; on a terminal, a label
// on every line; and every file keeping the rules trail has for one, among
// many files, odd ones and a scarce supply of descriptors and watches.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "trail_process.h"

namespace {

std::string header(const std::string& name, bool first = false) {
    return std::string(first ? "" : "\n") + "==> " + name + " <==\n";
}

// Until trail has shown as much as expected, then whether it is that.
bool shows(trail_process& trail, const std::string& expected) {
    return trail.wait_until([&] { return trail.shown.size() >= expected.size(); }) && trail.shown == expected;
}

// The bytes shown of each file, from a pipe's output: all that followed
// each of its headers.
std::map<std::string, std::string> bytes_by_file(const std::string& output) {
    std::map<std::string, std::string> files;
    std::string* current = nullptr;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t next = output.find("==> ", at);
        while (next != std::string::npos && next != 0 && output[next - 1] != '\n') next = output.find("==> ", next + 1);
        std::size_t end = next == std::string::npos ? output.size() : next;
        // A header after the first is preceded by a line feed of its own.
        std::size_t text_end = next == std::string::npos || next == 0 ? end : end - 1;
        if (current && text_end > at) current->append(output, at, text_end - at);
        if (next == std::string::npos) break;
        std::size_t close = output.find(" <==\n", next);
        if (close == std::string::npos) break;  // a header still on its way
        current = &files[output.substr(next + 4, close - next - 4)];
        at = close + 5;
    }
    return files;
}

// How many inotify watches the process holds.
int inotify_watches(pid_t pid) {
    int count = 0;
    for (const auto& info : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fdinfo")) {
        std::ifstream text(info.path());
        for (std::string line; std::getline(text, line);) count += line.rfind("inotify wd:", 0) == 0;
    }
    return count;
}

// On a terminal with colours: the label as trail writes it, in the colour
// of the file's place.
std::string label(const std::string& padded_name, int place) {
    const char* colours[] = {"\x1b[36m", "\x1b[33m", "\x1b[32m"};
    return colours[place] + padded_name + "| \x1b[0m";
}

// Two logs, empty at first.
struct two_empty_logs {
    scratch_folder folder;
    std::string a = folder.file("a.log"), b = folder.file("b.log");
    two_empty_logs() {
        write_file(a, "");
        write_file(b, "");
    }
};

TEST(several_files, into_a_pipe_each_file_comes_under_its_header) {
    scratch_folder folder;
    std::string a = folder.file("a.log"), b = folder.file("b.log"), c = folder.file("c.log");
    write_file(a, "a0\na1\na2\n");
    write_file(b, "");
    write_file(c, "c1\n");
    trail_process trail({"-2", a, b, c}, output_piped(false));
    std::string expected = header(a, true) + "a1\na2\n" + header(b) + header(c) + "c1\n";
    ASSERT_TRUE(shows(trail, expected)) << trail.shown;

    struct step {
        std::string file, appended, shown;
    };
    // A header only where the bytes come from another file than the last;
    // an unfinished line is left as the file holds it.
    for (const step& next : std::vector<step>{{b, "b1\n", header(b) + "b1\n"},
                                              {b, "b2\n", "b2\n"},
                                              {a, "unfinished", header(a) + "unfinished"},
                                              {c, "c2\n", header(c) + "c2\n"},
                                              {a, " now\n", header(a) + " now\n"}}) {
        append_file(next.file, next.appended);
        expected += next.shown;
        ASSERT_TRUE(shows(trail, expected)) << trail.shown;
    }
    EXPECT_EQ(trail.error_text, "");
}

TEST(several_files, on_a_terminal_every_line_has_its_label) {
    scratch_folder folder;
    std::string a = folder.file("a.log"), b = folder.file("bb.log");
    write_file(a, "a1\n");
    write_file(b, "b1\n");
    trail_process trail({a, b});
    std::string expected = label("a.log ", 0) + "a1\n" + label("bb.log", 1) + "b1\n";
    auto shown = [&] { return without_status_texts(trail.shown); };
    ASSERT_TRUE(trail.wait_until([&] { return shown().size() >= expected.size(); }));
    EXPECT_EQ(shown(), expected);

    // Each 255-byte piece of a long line has the label. A colour a log
    // leaves on is reset before another file's label, and given again
    // after its own.
    struct step {
        std::string file, appended, shown;
    };
    std::string piece(255, 'x');
    for (const step& next : std::vector<step>{
             {a, std::string(600, 'x') + "\n",
              label("a.log ", 0) + piece + "\r\n" + label("a.log ", 0) + piece + "\r\n" + label("a.log ", 0) +
                  std::string(90, 'x') + "\n"},
             {b, "\x1b[31mred\n", label("bb.log", 1) + "\x1b[31mred\n"},
             {a, "plain\n", "\x1b[0m" + label("a.log ", 0) + "plain\n"},
             {b, "still red\n", label("bb.log", 1) + "\x1b[31mstill red\n"},
             {b, "\x1b[0mdone\n", "\x1b[0m" + label("bb.log", 1) + "\x1b[31m\x1b[0mdone\n"}}) {
        append_file(next.file, next.appended);
        expected += next.shown;
        ASSERT_TRUE(trail.wait_until([&] { return shown().size() >= expected.size(); }));
        ASSERT_EQ(shown(), expected);
    }
}

TEST(several_files, labels_are_plain_with_no_color_and_show_controls_as_text) {
    scratch_folder folder;
    std::string a = folder.file("a.log"), odd = folder.file("e\x1b]0;x.log");
    write_file(a, "a1\n");
    write_file(odd, "o1\n");
    launch how;
    how.program = "env";
    trail_process trail({"NO_COLOR=1", trail_binary(), a, odd}, how);
    std::string expected = "a.log      | a1\ne^[]0;x.log| o1\n";
    ASSERT_TRUE(trail.wait_until([&] { return without_status_texts(trail.shown).size() >= expected.size(); }));
    EXPECT_EQ(without_status_texts(trail.shown), expected);
}

TEST(several_files, a_file_missing_at_the_start_comes_under_its_header_or_label) {
    scratch_folder folder;
    std::string a = folder.file("a.log"), later = folder.file("later.log");
    write_file(a, "a1\n");
    trail_process piped({a, later}, output_piped(true));
    trail_process shown_on_terminal({a, later});
    ASSERT_TRUE(shows(piped, header(a, true) + "a1\n"));
    // The waiting is said once, on a line of its own: on standard error,
    // or under the file's label.
    ASSERT_TRUE(piped.wait_until([&] { return piped.terminal_text.find("later.log") != std::string::npos; }));
    std::string waiting = label("later.log", 1) + "Waiting for file to be created ...\r\n";
    ASSERT_TRUE(shown_on_terminal.wait_for_text(waiting));

    write_whole_file(later, "l1\nl2\n");
    EXPECT_TRUE(shows(piped, header(a, true) + "a1\n" + header(later) + "l1\nl2\n"));
    std::string labelled = label("later.log", 1) + "l1\n" + label("later.log", 1) + "l2\n";
    ASSERT_TRUE(shown_on_terminal.wait_for_text(labelled));
    EXPECT_EQ(shown_on_terminal.shown, blanking_line + label("a.log    ", 0) + "a1\n" + waiting + labelled);
}

TEST(several_files, a_rotation_of_one_file_loses_nothing_of_either) {
    two_empty_logs logs;
    const std::string &a = logs.a, &b = logs.b;
    trail_process trail({a, b}, output_piped(false));
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.find(header(b)) != std::string::npos; }));
    ASSERT_TRUE(trail.wait_for_poll_pause());
    std::string old_a, new_a, all_b;
    int writer = open(a.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    for (int i = 0; i < 60; ++i) {
        std::string line = "line " + std::to_string(i) + "\n";
        if (i == 20) {
            // Renamed and made again; its writer goes on with the old file
            // a while before it reopens its log.
            ASSERT_EQ(rename(a.c_str(), (a + ".1").c_str()), 0);
            write_file(a, "");
        }
        if (i < 40) {
            ASSERT_EQ(write(writer, ("a " + line).data(), line.size() + 2), static_cast<ssize_t>(line.size() + 2));
            old_a += "a " + line;
        } else {
            append_file(a, "a " + line);
            new_a += "a " + line;
        }
        append_file(b, "b " + line);
        all_b += "b " + line;
        usleep(5000);
    }
    close(writer);
    ASSERT_TRUE(trail.wait_until([&] {
        auto files = bytes_by_file(trail.shown);
        return files[a].size() + files[b].size() >= old_a.size() + new_a.size() + all_b.size();
    }));
    auto files = bytes_by_file(trail.shown);
    EXPECT_EQ(files[a], old_a + new_a);
    EXPECT_EQ(files[b], all_b);
}

// Writes faster than trail reads them, to three files at once, one in
// lines longer than a read block holds: every byte of each, in order.
TEST(several_files, a_flood_of_writes_to_three_files_loses_nothing) {
    scratch_folder folder;
    std::vector<std::string> logs = {folder.file("a.log"), folder.file("b.log"), folder.file("c.log")};
    std::vector<int> writers;
    for (const std::string& log : logs) {
        write_file(log, "");
        writers.push_back(open(log.c_str(), O_WRONLY | O_APPEND));
        ASSERT_GE(writers.back(), 0);
    }
    trail_process trail({logs[0], logs[1], logs[2]}, output_piped(false));
    ASSERT_TRUE(trail.wait_for_text(header(logs[2])));
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 3000; ++i) {
        int which = i % 3;
        std::string line = std::to_string(i) + (which == 0 && i % 300 == 0 ? std::string(100000, 'a') : " b") + "\n";
        ASSERT_EQ(write(writers[which], line.data(), line.size()), static_cast<ssize_t>(line.size()));
        expected[logs[which]] += line;
    }
    for (int writer : writers) close(writer);
    ASSERT_TRUE(trail.wait_until([&] { return bytes_by_file(trail.shown) == expected; })) << trail.shown.size();
}

// Empty at the start, written, then truncated and at once written again
// longer: its new text from its start, among several as for one.
TEST(several_files, a_file_truncated_and_rewritten_longer_shows_from_its_start) {
    two_empty_logs logs;
    const std::string &a = logs.a, &b = logs.b;
    trail_process trail({a, b}, output_piped(false));
    std::string expected = header(a, true) + header(b);
    ASSERT_TRUE(shows(trail, expected)) << trail.shown;
    append_file(a, "old line\n");
    expected += header(a) + "old line\n";
    ASSERT_TRUE(shows(trail, expected)) << trail.shown;
    // The truncation and the write both come before trail looks again.
    ASSERT_EQ(kill(trail.pid, SIGSTOP), 0);
    write_file(a, "the new text, longer than the old\n");
    ASSERT_EQ(kill(trail.pid, SIGCONT), 0);
    expected += "the new text, longer than the old\n";
    ASSERT_TRUE(shows(trail, expected)) << trail.shown;
}

TEST(several_files, a_pattern_beside_a_plain_name_shows_each_match_by_its_name) {
    scratch_folder folder;
    std::string logs = folder.file("logs"), other = folder.file("other.txt");
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    write_file(logs + "/app-1.log", "day 1\n");
    write_file(other, "other\n");
    trail_process trail({logs + "/app-*.log", other}, output_piped(false));
    std::string expected = header(logs + "/app-1.log", true) + "day 1\n" + header(other) + "other\n";
    ASSERT_TRUE(shows(trail, expected));
    write_whole_file(logs + "/app-2.log", "day 2\n");
    append_file(other, "more\n");
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.find("day 2\n") != std::string::npos; }));
    auto files = bytes_by_file(trail.shown);
    EXPECT_EQ(files[logs + "/app-2.log"], "day 2\n");
    EXPECT_EQ(files[other], "other\nmore\n");
}

TEST(several_files, a_fifo_with_no_writer_holds_up_nothing) {
    scratch_folder folder;
    std::string fifo = folder.file("pipe"), log = folder.file("app.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    write_file(log, "one\n");
    trail_process trail({fifo, log}, output_piped(false));
    ASSERT_TRUE(trail.wait_for_text(header(log) + "one\n"));
    append_file(log, "two\n");
    ASSERT_TRUE(trail.wait_for_text("one\ntwo\n"));
    int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "through\n", 8), 8);
    close(writer);
    ASSERT_TRUE(trail.wait_for_text(header(fifo) + "through\n"));
}

TEST(several_files, eleven_hundred_files_under_a_soft_limit_of_1024) {
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1200) {
        GTEST_SKIP() << "the hard limit on open files here is " << limit.rlim_max << ", below the 1,100 files";
    }
    scratch_folder folder;
    std::vector<std::string> args = {"--nofile=1024:" + std::to_string(limit.rlim_max), trail_binary(), "-1"};
    for (int i = 0; i < 1100; ++i) {
        args.push_back(folder.file("f" + std::to_string(i)));
        write_file(args.back(), "line of " + std::to_string(i) + "\n");
    }
    launch how = output_piped(false);
    how.program = "prlimit";
    trail_process trail(args, how);
    std::string last = header(args.back()) + "line of 1099\n";
    ASSERT_TRUE(trail.wait_for_text(last));
    append_file(args.back(), "appended\n");
    ASSERT_TRUE(trail.wait_for_text(last + "appended\n"));
    EXPECT_EQ(bytes_by_file(trail.shown).size(), 1100u);
}

TEST(several_files, watches_refused_for_some_files_lose_nothing) {
    if (std::system("unshare -U -r true 2>/dev/null") != 0) GTEST_SKIP() << "user namespaces are off here";
    // tmpfs is trusted, so the files whose watches were taken wake trail
    // at once and the others are looked at every 100 ms.
    scratch_folder folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    launch how = output_piped(false);
    how.program = "unshare";
    std::vector<std::string> args = {"-U", "-r", "sh", "-c",
                                     "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\"", trail_binary()};
    std::vector<std::string> logs;
    for (int i = 0; i < 6; ++i) {
        logs.push_back(folder.file("log" + std::to_string(i)));
        write_file(logs.back(), "");
        args.push_back(logs.back());
    }
    trail_process trail(args, how);
    ASSERT_TRUE(trail.wait_for_text(header(logs.back())));
    EXPECT_EQ(inotify_watches(trail.pid), 3);  // the folder's and two files'
    std::map<std::string, std::string> expected;
    for (int round = 0; round < 3; ++round) {
        for (const std::string& log : logs) {
            std::string line = "round " + std::to_string(round) + "\n";
            append_file(log, line);
            expected[log] += line;
        }
        usleep(20000);
    }
    ASSERT_TRUE(trail.wait_until([&] { return bytes_by_file(trail.shown) == expected; })) << trail.shown;
}

TEST(several_files, a_file_named_twice_or_by_two_names_is_followed_once) {
    scratch_folder folder;
    std::string a = folder.file("a.log"), link = folder.file("link.log"), b = folder.file("b.log");
    write_file(a, "a\n");
    write_file(b, "b\n");
    ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
    trail_process trail({a, link, a, b}, output_piped(false));
    std::string expected = header(a, true) + "a\n" + header(b) + "b\n";
    ASSERT_TRUE(shows(trail, expected));
    append_file(a, "once\n");
    ASSERT_TRUE(shows(trail, expected + header(a) + "once\n"));
}

}  // namespace
