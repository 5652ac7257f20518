// Logs that start a new file under a new name: a wildcard in FILE follows
// the newest match, then each file that comes to match later, in turn. Each
// runs with the output a terminal and a pipe: every line written to the
// files trail follows shows, in their order, and nothing else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "trail_process.h"

namespace {

using std::chrono::milliseconds;

// Gives path a modification time seconds_ago seconds in the past.
void set_age(const std::string& path, int seconds_ago) {
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds_ago;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

void write_aged(const std::string& path, const std::string& data, int seconds_ago) {
    write_file(path, data);
    set_age(path, seconds_ago);
}

// Param: true when trail's output is a pipe, false for the terminal.
class pattern : public ::testing::TestWithParam<bool> {
  protected:
    scratch_folder folder;
    std::string logs = folder.file("logs");

    void SetUp() override { ASSERT_EQ(mkdir(logs.c_str(), 0755), 0); }
    std::string log(const std::string& name) const { return logs + "/" + name; }
    launch how() const { return GetParam() ? output_piped(false) : launch{}; }

    // What trail showed of the files, without the status texts.
    static std::string file_text(const trail_process& trail) { return without_status_texts(trail.shown); }

    static bool shows(trail_process& trail, const std::string& expected) {
        return trail.wait_until([&] { return file_text(trail).size() >= expected.size(); }) &&
               file_text(trail) == expected;
    }
};

TEST_P(pattern, starts_with_the_newest_match_a_tie_going_to_the_name_last_in_byte_order) {
    write_aged(log("app-20261207.log"), "two days ago\n", 300);
    write_aged(log("app-20261208.log"), "yesterday 1\nyesterday 2\n", 200);
    write_aged(log("other.txt"), "newer, but no match\n", 1);
    trail_process trail({"-1", log("app-*.log")}, how());
    ASSERT_TRUE(shows(trail, "yesterday 2\n")) << file_text(trail);
    append_file(log("app-20261208.log"), "yesterday 3\n");
    ASSERT_TRUE(shows(trail, "yesterday 2\nyesterday 3\n")) << file_text(trail);

    write_aged(log("tie-a.log"), "a\n", 100);
    write_aged(log("tie-b.log"), "b\n", 100);
    struct stat a, b;
    ASSERT_EQ(stat(log("tie-a.log").c_str(), &a), 0);
    ASSERT_EQ(stat(log("tie-b.log").c_str(), &b), 0);
    struct timespec same[2] = {a.st_mtim, a.st_mtim};  // the same time, to the nanosecond
    ASSERT_EQ(utimensat(AT_FDCWD, log("tie-b.log").c_str(), same, 0), 0);
    trail_process tie({log("tie-?.log")}, how());
    ASSERT_TRUE(shows(tie, "b\n")) << file_text(tie);
}

TEST_P(pattern, waits_for_a_first_match_in_a_folder_yet_to_come) {
    std::string later = folder.file("later");
    trail_process trail({"-2", later + "/app-*.log"}, how());
    if (!GetParam()) {
        ASSERT_TRUE(trail.wait_until([&] {
            std::size_t first = trail.shown.find(waiting_message);
            return first != std::string::npos && trail.shown.find(waiting_message, first + 1) != std::string::npos;
        }));
    }
    ASSERT_EQ(mkdir(later.c_str(), 0755), 0);
    write_file(later + "/notes.txt", "no match\n");
    write_whole_file(later + "/app-1.log", "one\ntwo\nthree\n");
    ASSERT_TRUE(shows(trail, "two\nthree\n")) << file_text(trail);
    if (!GetParam()) {
        std::size_t last_wait = trail.shown.rfind(waiting_message);
        EXPECT_EQ(trail.shown.substr(last_wait + waiting_message.size()), blanking_line + "two\nthree\n");
    }
}

TEST_P(pattern, moves_to_each_file_that_comes_to_match_after_the_old_one_has_drained) {
    write_aged(log("app-0.log"), "day 0\n", 200);
    write_aged(log("app-1.log"), "day 1\n", 100);
    trail_process trail({log("app-?.log")}, how());
    ASSERT_TRUE(shows(trail, "day 1\n")) << file_text(trail);

    // The writer starts the next day's file, and goes on in the old one for
    // 300 ms; an older match and a file that does not match are written too.
    int writer = open(log("app-1.log").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    write_file(log("app-2.log"), "day 2 first\n");
    std::string late;
    for (int i = 1; i <= 10; ++i) {
        std::string line = "day 1 late " + std::to_string(i) + "\n";
        ASSERT_EQ(write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        late += line;
        std::this_thread::sleep_for(milliseconds(30));
    }
    close(writer);
    append_file(log("app-0.log"), "day 0 written again\n");
    write_file(log("app-2.txt"), "no match\n");
    write_file(log("app-22.log"), "no match for ?\n");
    append_file(log("app-2.log"), "day 2 second\n");
    std::string expected = "day 1\n" + late + "day 2 first\nday 2 second\n";
    ASSERT_TRUE(shows(trail, expected)) << file_text(trail);

    // A file moved in from another folder is new, however old it is.
    std::string elsewhere = folder.file("app-9.log");
    write_aged(elsewhere, "moved in\n", 5000);
    ASSERT_EQ(rename(elsewhere.c_str(), log("app-9.log").c_str()), 0);
    expected += "moved in\n";
    ASSERT_TRUE(shows(trail, expected)) << file_text(trail);
    append_file(log("app-2.log"), "day 2 after the move: not shown\n");
    append_file(log("app-9.log"), "moved in, appended\n");
    expected += "moved in, appended\n";
    ASSERT_TRUE(shows(trail, expected)) << file_text(trail);
}

TEST_P(pattern, the_open_file_deleted_is_let_go_and_the_next_new_match_shown_from_its_first_byte) {
    write_aged(log("app-0.log"), "older, still there\n", 200);
    write_aged(log("app-1.log"), "newest\n", 100);
    trail_process trail({log("app-*.log")}, how());
    ASSERT_TRUE(shows(trail, "newest\n")) << file_text(trail);
    std::size_t shown_before = trail.shown.size();
    ASSERT_EQ(unlink(log("app-1.log").c_str()), 0);
    if (!GetParam()) {
        ASSERT_TRUE(trail.wait_until([&] { return trail.shown.find(waiting_message, shown_before) != std::string::npos; }));
    } else {
        std::this_thread::sleep_for(milliseconds(1500));
    }
    write_file(log("app-2.log"), "first of the next\nsecond of the next\n");
    ASSERT_TRUE(shows(trail, "newest\nfirst of the next\nsecond of the next\n")) << file_text(trail);
}

TEST_P(pattern, a_name_that_stands_there_with_a_star_in_it_is_followed_by_its_name) {
    write_aged(log("a*b.log"), "the star itself\n", 100);
    write_aged(log("aXb.log"), "a newer match\n", 1);
    trail_process trail({log("a*b.log")}, how());
    ASSERT_TRUE(shows(trail, "the star itself\n")) << file_text(trail);
    write_file(log("aYb.log"), "would be the next match\n");
    append_file(log("a*b.log"), "more\n");
    ASSERT_TRUE(shows(trail, "the star itself\nmore\n")) << file_text(trail);
    std::this_thread::sleep_for(milliseconds(1500));
    append_file(log("a*b.log"), "and more\n");
    ASSERT_TRUE(shows(trail, "the star itself\nmore\nand more\n")) << file_text(trail);
}

INSTANTIATE_TEST_SUITE_P(output, pattern, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "pipe" : "terminal"; });

}  // namespace
