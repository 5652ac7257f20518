// Logs rotated under trail: renamed and created again, deleted and created
// again, moved away, a symbolic link pointed elsewhere, generations coming
// faster than trail moves on, and a file whose size says nothing. Each runs
// with the output a terminal and a pipe: every line the writer put into any
// of the files must show, in the files' order, and nothing else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "trail_process.h"

namespace {

using std::chrono::milliseconds;

// Param: true when trail's output is a pipe, false for the terminal.
class rotation : public ::testing::TestWithParam<bool> {
  protected:
    scratch_folder folder;
    std::string log = folder.file("app.log");

    launch how() const { return GetParam() ? output_piped(false) : launch{}; }

    // What trail showed of the files: on the terminal, without the status
    // texts (checked apart where they matter).
    static std::string file_text(const trail_process& trail) { return without_status_texts(trail.shown); }

    static bool shows(trail_process& trail, const std::string& expected) {
        return trail.wait_until([&] { return file_text(trail).size() >= expected.size(); });
    }
};

std::string lines(const std::string& prefix, int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) text += prefix + " line " + std::to_string(i) + "\n";
    return text;
}

void write_to(int fd, const std::string& data) {
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

// A writer that keeps its log open, as daemons do, and appends one line at
// a time with a pause after each.
void write_lines(int fd, const std::string& text, milliseconds pause) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at) + 1;
        write_to(fd, text.substr(at, end - at));
        at = end;
        std::this_thread::sleep_for(pause);
    }
}

int open_for_append(const std::string& path) { return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644); }

TEST_P(rotation, renamed_then_created_shows_the_new_file_from_its_first_byte) {
    write_file(log, "old 1\n");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_until([&] { return file_text(trail) == "old 1\n"; }));

    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, "new 1\nnew 2\n");
    ASSERT_TRUE(shows(trail, "old 1\nnew 1\nnew 2\n"));
    append_file(log, "new 3\n");
    std::string expected = "old 1\nnew 1\nnew 2\nnew 3\n";
    ASSERT_TRUE(shows(trail, expected));
    EXPECT_EQ(file_text(trail), expected);
    if (!GetParam()) {
        EXPECT_EQ(trail.shown.find(waiting_message), std::string::npos);
    }
}

TEST_P(rotation, lines_the_writer_adds_to_the_renamed_file_show_before_the_new_file) {
    write_file(log, "");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_for_poll_pause());

    int writer = open_for_append(log);
    ASSERT_GE(writer, 0);
    write_to(writer, "before the rotation\n");
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, "");
    // The writer goes on in the renamed file for 300 ms, until it reopens.
    std::string late = lines("late old", 10);
    write_lines(writer, late, milliseconds(30));
    close(writer);
    writer = open_for_append(log);
    std::string fresh = lines("new", 5);
    write_lines(writer, fresh, milliseconds(0));
    close(writer);

    std::string expected = "before the rotation\n" + late + fresh;
    ASSERT_TRUE(shows(trail, expected)) << file_text(trail);
    EXPECT_EQ(file_text(trail), expected);
}

TEST_P(rotation, deleted_then_created_after_a_short_pause) {
    write_file(log, "first life\n");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_until([&] { return file_text(trail) == "first life\n"; }));
    ASSERT_EQ(unlink(log.c_str()), 0);
    std::this_thread::sleep_for(milliseconds(300));
    write_file(log, "second life\n");
    std::string expected = "first life\nsecond life\n";
    ASSERT_TRUE(shows(trail, expected));
    append_file(log, "and more\n");
    expected += "and more\n";
    ASSERT_TRUE(shows(trail, expected));
    EXPECT_EQ(file_text(trail), expected);
}

TEST_P(rotation, deleted_and_released_then_waited_for_as_at_start) {
    write_file(log, "first life\n");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_until([&] { return file_text(trail) == "first life\n"; }));
    std::size_t shown_before = trail.shown.size();
    ASSERT_EQ(unlink(log.c_str()), 0);
    if (!GetParam()) {
        // Released after about a second of quiet: the waiting line comes
        // back, rewritten in place.
        ASSERT_TRUE(trail.wait_until([&] {
            std::size_t first = trail.shown.find(waiting_message, shown_before);
            return first != std::string::npos && trail.shown.find(waiting_message, first + 1) != std::string::npos;
        }));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    write_file(log, "second life\n");
    std::string expected = "first life\nsecond life\n";
    ASSERT_TRUE(shows(trail, expected));
    EXPECT_EQ(file_text(trail), expected);
    if (!GetParam()) {
        std::string after = trail.shown.substr(shown_before);
        std::size_t last_wait = after.rfind(waiting_message);
        EXPECT_EQ(after.substr(last_wait + waiting_message.size()), blanking_line + "second life\n");
    }
}

TEST_P(rotation, moved_away_with_nothing_in_its_place_is_followed_on) {
    write_file(log, "here\n");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_until([&] { return file_text(trail) == "here\n"; }));
    std::string moved = folder.file("elsewhere.log");
    ASSERT_EQ(rename(log.c_str(), moved.c_str()), 0);
    // Quiet for longer than trail waits before moving on from a file.
    std::this_thread::sleep_for(milliseconds(1500));
    append_file(moved, "still written\n");
    ASSERT_TRUE(shows(trail, "here\nstill written\n"));
    EXPECT_EQ(file_text(trail), "here\nstill written\n");
    if (!GetParam()) {
        EXPECT_EQ(trail.shown.find(waiting_message), std::string::npos);
    }
}

TEST_P(rotation, generations_faster_than_the_quiet_time_are_each_shown_in_turn) {
    write_file(log, "");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_for_poll_pause());

    // Every half second the log is renamed (older generations moved up
    // first) and created again; the writer goes on in the renamed file for
    // 100 ms before it reopens.
    const int generations = 5;
    std::string expected;
    int writer = open_for_append(log);
    ASSERT_GE(writer, 0);
    for (int generation = 0; generation < generations; ++generation) {
        std::string text = lines("generation " + std::to_string(generation), 8);
        expected += text;
        write_lines(writer, text.substr(0, text.size() / 2), milliseconds(40));
        // A file that stands at the name for less than a look may be missed
        // by any poller; on a loaded machine trail's looks may come late.
        ASSERT_TRUE(wait_until_held(trail.pid, log));
        for (int older = generation; older >= 1; --older) {
            rename((log + "." + std::to_string(older)).c_str(), (log + "." + std::to_string(older + 1)).c_str());
        }
        ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
        write_file(log, "");
        write_lines(writer, text.substr(text.size() / 2), milliseconds(25));
        close(writer);
        writer = open_for_append(log);
    }
    std::string last = lines("the newest", 3);
    expected += last;
    write_to(writer, last);
    close(writer);

    ASSERT_TRUE(shows(trail, expected));
    EXPECT_EQ(file_text(trail), expected);
}

TEST_P(rotation, a_symbolic_link_pointed_at_another_file) {
    std::string a = folder.file("a.log"), b = folder.file("b.log");
    write_file(a, "in a\n");
    write_file(b, "in b, written before\n");
    ASSERT_EQ(symlink(a.c_str(), log.c_str()), 0);
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_until([&] { return file_text(trail) == "in a\n"; }));

    std::string staged = folder.file("staged-link");
    ASSERT_EQ(symlink(b.c_str(), staged.c_str()), 0);
    ASSERT_EQ(rename(staged.c_str(), log.c_str()), 0);  // as ln -sfn does it
    append_file(a, "a goes on\n");
    std::string expected = "in a\na goes on\nin b, written before\n";
    ASSERT_TRUE(shows(trail, expected));
    append_file(b, "b goes on\n");
    expected += "b goes on\n";
    ASSERT_TRUE(shows(trail, expected));
    EXPECT_EQ(file_text(trail), expected);
}

TEST_P(rotation, truncated_then_rotated_in_one_run) {
    write_file(log, "one\ntwo\n");
    trail_process trail({log}, how());
    ASSERT_TRUE(trail.wait_until([&] { return file_text(trail) == "one\ntwo\n"; }));
    ASSERT_TRUE(trail.wait_for_poll_pause());
    write_file(log, "x\n");  // truncated, and shorter than before
    ASSERT_TRUE(shows(trail, "one\ntwo\nx\n"));
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, "rotated\n");
    std::string expected = "one\ntwo\nx\nrotated\n";
    ASSERT_TRUE(shows(trail, expected));
    EXPECT_EQ(file_text(trail), expected);
}

INSTANTIATE_TEST_SUITE_P(output, rotation, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "pipe" : "terminal";
                         });

// /proc files read size 0 whatever they hold; that is no truncation.
TEST(size_says_nothing, a_proc_file_is_shown_once) {
    std::ifstream source("/proc/version");
    std::string content((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(content.empty());
    struct stat info;
    ASSERT_EQ(stat("/proc/version", &info), 0);
    ASSERT_EQ(info.st_size, 0);

    trail_process trail({"/proc/version"}, output_piped(false));
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= content.size(); }));
    // About ten polls later, still once.
    trail.wait_until([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(trail.shown, content);
}

}  // namespace
