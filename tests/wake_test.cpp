// When trail wakes: at once for a line written to a local file, not at all
// while nothing changes, and at the old 100 ms pace, losing nothing, where
// the kernel refuses to tell it of changes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "trail_process.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// tmpfs is local on every Linux; a temporary folder may be on an overlay
// (a container's), where trail rightly looks every 100 ms instead.
std::string local_folder() { return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : ""; }

std::string file_text(const trail_process& trail) { return without_status_texts(trail.shown); }

// Appends a line and returns how long trail took to show it.
milliseconds time_to_show(trail_process& trail, const std::string& log, const std::string& line) {
    std::size_t before = file_text(trail).size();
    auto start = steady_clock::now();
    append_file(log, line);
    EXPECT_TRUE(trail.wait_until([&] { return file_text(trail).find(line, before) != std::string::npos; }));
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

// Voluntary and forced context switches of all the process's threads.
long context_switches(pid_t pid) {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

// Lines shown within 30 ms: a look every 100 ms shows about a third of
// them that fast. A loaded machine may delay one in ten.
void expect_prompt(const std::vector<milliseconds>& times) {
    std::size_t prompt = 0;
    std::string late;
    for (milliseconds took : times) {
        if (took < milliseconds(30)) ++prompt;
        else late += " " + std::to_string(took.count()) + " ms";
    }
    EXPECT_GE(prompt, times.size() - times.size() / 10) << "late:" << late;
}

TEST(wake, a_line_written_just_after_the_file_opens_shows_without_a_later_write) {
    scratch_folder folder(local_folder());
    std::string log = folder.file("race.log");
    std::vector<milliseconds> times;
    for (int round = 0; round < 10; ++round) {
        write_file(log, "");
        trail_process trail({log}, output_piped(false));
        ASSERT_TRUE(wait_until_held(trail.pid, log));
        times.push_back(time_to_show(trail, log, "round " + std::to_string(round) + "\n"));
    }
    expect_prompt(times);
}

TEST(wake, appended_lines_show_well_within_the_old_100_ms) {
    scratch_folder folder(local_folder());
    std::string log = folder.file("prompt.log");
    write_file(log, "first\n");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_text("first\n"));
    ASSERT_TRUE(trail.wait_for_poll_pause());
    std::mt19937 random(7);
    std::vector<milliseconds> times;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(milliseconds(5 + random() % 120));
        times.push_back(time_to_show(trail, log, "line " + std::to_string(i) + "\n"));
    }
    expect_prompt(times);
}

TEST(wake, idle_it_sleeps_in_one_wait_with_no_timer_under_a_second) {
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer's runtime adds a thread of its own to trail that wakes
    // ten times a second; the other stages count trail's own.
    GTEST_SKIP() << "counted in the stages without ThreadSanitizer";
#endif
    scratch_folder folder(local_folder());
    std::string log = folder.file("idle.log");
    write_file(log, "nothing more will come\n");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_text("nothing more will come\n"));
    ASSERT_TRUE(trail.wait_for_poll_pause());
    long before = context_switches(trail.pid);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    long woken = context_switches(trail.pid) - before;
    // A look a second: 3, and a little room. Looking every 100 ms: 30.
    EXPECT_LE(woken, 8);
    EXPECT_EQ(file_text(trail), "nothing more will come\n");
}

TEST(wake, the_folder_deleted_and_made_again_is_waited_for_and_its_new_file_followed) {
    scratch_folder folder(local_folder());
    std::string logs = folder.file("logs"), log = logs + "/app.log";
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    write_file(log, "old\n");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_for_text("old\n"));
    std::filesystem::remove_all(logs);
    ASSERT_TRUE(trail.wait_for_text(waiting_message));
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    write_file(log, "new 1\n");
    ASSERT_TRUE(trail.wait_for_text("new 1\n"));
    EXPECT_LT(time_to_show(trail, log, "new 2\n"), milliseconds(500));
    EXPECT_EQ(file_text(trail), "old\nnew 1\nnew 2\n");
}

// Param: the limit set to 0 in a user namespace of trail's own, so that
// inotify_init1 (instances) or inotify_add_watch (watches) is refused.
class refused : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (std::system("unshare -U -r true 2>/dev/null") != 0) GTEST_SKIP() << "user namespaces are off here";
    }

    // trail, run with the limit at 0.
    trail_process start(const std::vector<std::string>& args) {
        launch how = output_piped(false);
        how.program = "unshare";
        std::vector<std::string> words = {"-U", "-r", "sh", "-c",
                                          std::string("echo 0 > /proc/sys/user/") + GetParam() + " && exec \"$0\" \"$@\"",
                                          trail_binary()};
        words.insert(words.end(), args.begin(), args.end());
        return trail_process(words, how);
    }

    // Whether the process holds an inotify watch on anything.
    static bool has_watches(pid_t pid) {
        for (const auto& info : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fdinfo")) {
            std::ifstream text(info.path());
            for (std::string line; std::getline(text, line);) {
                if (line.rfind("inotify wd:", 0) == 0) return true;
            }
        }
        return false;
    }

    static bool shows(trail_process& trail, const std::string& expected) {
        return trail.wait_until([&] { return trail.shown.size() >= expected.size(); }) && trail.shown == expected;
    }
};

TEST_P(refused, appends_rotations_and_new_matches_still_show) {
    scratch_folder folder(local_folder());
    std::string log = folder.file("app.log");
    write_file(log, "one\n");
    trail_process trail = start({log});
    ASSERT_TRUE(shows(trail, "one\n"));
    EXPECT_FALSE(has_watches(trail.pid));
    append_file(log, "two\n");
    ASSERT_TRUE(shows(trail, "one\ntwo\n"));
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, "three\n");
    ASSERT_TRUE(shows(trail, "one\ntwo\nthree\n"));
    ASSERT_TRUE(wait_until_held(trail.pid, log));
    ASSERT_EQ(unlink(log.c_str()), 0);
    write_file(log, "four\n");
    ASSERT_TRUE(shows(trail, "one\ntwo\nthree\nfour\n"));

    std::string logs = folder.file("dated");
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    write_file(logs + "/app-1.log", "day 1\n");
    trail_process by_pattern = start({logs + "/app-*.log"});
    ASSERT_TRUE(shows(by_pattern, "day 1\n"));
    write_file(logs + "/app-2.log", "day 2\n");
    ASSERT_TRUE(shows(by_pattern, "day 1\nday 2\n"));
    EXPECT_FALSE(has_watches(by_pattern.pid));
}

INSTANTIATE_TEST_SUITE_P(wake, refused, ::testing::Values("max_inotify_instances", "max_inotify_watches"));

}  // namespace
