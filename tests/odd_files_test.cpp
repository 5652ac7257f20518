// trail on files that are not plain growing logs: FIFOs, terminals, files
// renamed or deleted while followed, and signals arriving in bursts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "trail_process.h"

namespace {

const launch piped_with_keyboard = output_piped(true);

void write_to(int fd, const std::string& data) { ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size())); }

TEST(odd_files, a_fifo_is_followed_from_its_present_data_and_quits_at_once) {
    scratch_folder folder;
    std::string fifo = folder.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    trail_process trail({fifo}, piped_with_keyboard);
    ASSERT_TRUE(trail.wait_for_key_mode());
    int writer = open(fifo.c_str(), O_WRONLY);  // trail holds the read end open
    ASSERT_GE(writer, 0);
    write_to(writer, "through the fifo\n");
    ASSERT_TRUE(trail.wait_for_text("through the fifo\n"));
    close(writer);  // no writer: reads find the end, trail waits for the next
    writer = open(fifo.c_str(), O_WRONLY);
    write_to(writer, "second writer\n");
    ASSERT_TRUE(trail.wait_for_text("second writer\n"));
    EXPECT_EQ(trail.shown, "through the fifo\nsecond writer\n");
    trail.type("q");
    EXPECT_EQ(trail.wait_exit(), 0);
    close(writer);

    // Quitting while no writer has come yet.
    trail_process idle({fifo}, piped_with_keyboard);
    ASSERT_TRUE(idle.wait_for_key_mode());
    kill(idle.pid, SIGTERM);
    EXPECT_EQ(idle.wait_exit(), 0);
}

TEST(odd_files, a_terminal_is_followed_from_what_is_typed_at_it) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    trail_process trail({ttyname(slave)}, piped_with_keyboard);
    ASSERT_TRUE(trail.wait_for_key_mode());
    busy_watch watch(trail.pid);
    write_to(master, "typed at the other terminal\n");
    ASSERT_TRUE(trail.wait_for_text("typed at the other terminal\n"));
    ASSERT_TRUE(trail.wait_until([&] { return watch.window_passed(); }));
    EXPECT_FALSE(watch.spun());
    trail.type("x");
    EXPECT_EQ(trail.wait_exit(), 0);
    close(master);
    close(slave);
}

TEST(odd_files, renamed_and_deleted_files_go_on_being_followed) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "before\n");
    trail_process trail({log}, piped_with_keyboard);
    ASSERT_TRUE(trail.wait_for_text("before\n"));

    std::string rotated = folder.file("app.log.1");
    ASSERT_EQ(rename(log.c_str(), rotated.c_str()), 0);
    append_file(rotated, "after the rename\n");
    ASSERT_TRUE(trail.wait_for_text("after the rename\n"));

    int writer = open(rotated.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(unlink(rotated.c_str()), 0);
    busy_watch watch(trail.pid);
    write_to(writer, "after the delete\n");
    ASSERT_TRUE(trail.wait_for_text("after the delete\n"));
    close(writer);
    ASSERT_TRUE(trail.wait_until([&] { return watch.window_passed(); }));
    EXPECT_FALSE(watch.spun());
    EXPECT_EQ(trail.shown, "before\nafter the rename\nafter the delete\n");
    trail.type("q");
    EXPECT_EQ(trail.wait_exit(), 0);
    EXPECT_TRUE(same_mode(trail.terminal_mode(), trail.initial_mode));
}

TEST(odd_files, bursts_of_harmless_signals_lose_and_repeat_nothing) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "");
    trail_process trail({log}, piped_with_keyboard);
    ASSERT_TRUE(trail.wait_for_key_mode());

    std::string expected;
    for (int i = 0; i < 2000; ++i) expected += "line " + std::to_string(i) + " " + std::string(i % 300, '.') + "\n";
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (std::size_t at = 0; at < expected.size(); at += 4000) append_file(log, expected.substr(at, 4000));
        writing = false;
    });
    int sent = 0;
    while (writing || sent < 3000) {
        for (int signal_number : {SIGWINCH, SIGCHLD, SIGCONT, SIGURG}) kill(trail.pid, signal_number);
        sent += 4;
    }
    writer.join();
    bool complete = trail.wait_until([&] { return trail.shown.size() >= expected.size(); });
    std::size_t same = 0;
    while (same < trail.shown.size() && same < expected.size() && trail.shown[same] == expected[same]) ++same;
    ASSERT_TRUE(complete) << trail.shown.size() << " of " << expected.size() << " shown, the first " << same
                          << " as written; trail " << (trail.running() ? "still runs" : "has ended");
    EXPECT_EQ(trail.shown, expected);
    EXPECT_TRUE(trail.running());
    trail.type("q");
    EXPECT_EQ(trail.wait_exit(), 0);
    EXPECT_TRUE(same_mode(trail.terminal_mode(), trail.initial_mode));
}

}  // namespace
