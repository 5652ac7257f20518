// trail.exe, the Win32 build, run under wine in a pseudo-terminal and with
// its output a pipe.
//
// Wine's console renders a screen rather than passing bytes through: it
// wraps each write in cursor hide and show sequences, may draw the blanking
// line as an erase to the end of the line, and ends every line with a
// carriage return and line feed. shown_by_wine() undoes exactly these; all
// else the program writes is compared as it is. Byte 3 typed at the
// terminal reaches trail.exe as a Ctrl+C control event.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <tuple>

#include "text_samples.h"
#include "trail_process.h"

namespace {

const launch piped_no_keyboard = output_piped(false);

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string line_ends_folded(const std::string& text) { return replaced(text, "\r\n", "\n"); }

std::string shown_by_wine(const std::string& raw) {
    std::string text = replaced(replaced(raw, "\x1b[?25l", ""), "\x1b[?25h", "");
    return line_ends_folded(replaced(text, "\x1b[K", blanking_line));
}

bool shows(trail_process& trail, const std::string& expected) {
    return trail.wait_until([&] { return shown_by_wine(trail.shown) == line_ends_folded(expected); });
}

int run_helper(const std::vector<std::string>& args) {
    std::string command = "wine " + std::string(TRAIL_WINE_HELPER);
    for (const std::string& arg : args) command += " '" + arg + "'";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(wine, last_lines_following_and_the_quit_keys) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    std::string lines;
    for (int i = 1; i <= 30; ++i) lines += "line " + std::to_string(i) + "\n";
    write_file(log, lines);
    trail_process trail({"-3", log});
    std::string expected = blanking_line + "line 28\nline 29\nline 30\n";
    ASSERT_TRUE(shows(trail, expected)) << shown_by_wine(trail.shown);

    append_file(log, "abc");
    expected += "abc\r\n";
    ASSERT_TRUE(shows(trail, expected)) << shown_by_wine(trail.shown);
    append_file(log, "def\n" + std::string("ab\0cd\n", 6) + std::string("\0lead\n", 6) + std::string(300, 'w') + "\n");
    expected += "def\nab\r\nlead\n" + std::string(255, 'w') + "\r\n" + std::string(45, 'w') + "\n";
    ASSERT_TRUE(shows(trail, expected)) << shown_by_wine(trail.shown);

    trail.type("QX+a");
    append_file(log, "still here\n");
    expected += "still here\n";
    ASSERT_TRUE(shows(trail, expected)) << shown_by_wine(trail.shown);
    EXPECT_TRUE(trail.running());
    trail.type("q");
    EXPECT_EQ(trail.wait_exit(), 0);
}

TEST(wine, waits_for_the_file_and_ends_on_x_and_ctrl_c) {
    scratch_folder folder;
    std::string log = folder.file("later.log");
    trail_process trail({log});
    ASSERT_TRUE(trail.wait_until([&] {
        std::string text = shown_by_wine(trail.shown);
        return text.find(waiting_message + waiting_message) != std::string::npos;
    }));
    write_file(log, "hello\n");
    ASSERT_TRUE(trail.wait_until([&] {
        std::string text = shown_by_wine(trail.shown);
        return text.size() >= 6 && text.compare(text.size() - 6, 6, "hello\n") == 0;
    }));
    std::string text = shown_by_wine(trail.shown);
    EXPECT_EQ(text.substr(text.find(blanking_line)), blanking_line + "hello\n");
    trail.type("x");
    EXPECT_EQ(trail.wait_exit(), 0);

    trail_process waiting({folder.file("never.log")});
    ASSERT_TRUE(waiting.wait_until([&] { return shown_by_wine(waiting.shown).find(waiting_message) != std::string::npos; }));
    waiting.type("\x03");
    EXPECT_EQ(waiting.wait_exit(), 0);
}

TEST(wine, output_to_a_pipe_is_the_files_bytes) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    std::string data = std::string("first\r\nsecond\0with zero\n", 25) + std::string(300, 'p') + "\nunfinished";
    write_file(log, data);
    trail_process trail({"-5", log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= data.size(); }));
    EXPECT_EQ(trail.shown, data);
    append_file(log, " now\n");
    ASSERT_TRUE(trail.wait_for_text("unfinished now\n"));
    EXPECT_EQ(trail.shown, data + " now\n");
    EXPECT_EQ(trail.error_text, "");
    // The reader goes away: the next write finds the pipe closed. (Windows
    // also fails a write of nothing to such a pipe, which trail tries while
    // idle; wine lets that one succeed, so here new data is what tells.)
    trail.close_output();
    append_file(log, "to nobody\n");
    EXPECT_EQ(trail.wait_exit(), 0);
}

TEST(wine, usage_and_bad_counts) {
    trail_process usage({}, piped_no_keyboard);
    EXPECT_EQ(usage.wait_exit(), 2);
    EXPECT_EQ(usage.error_text.rfind("usage: trail", 0), 0u) << usage.error_text;
    trail_process bad({"-2147483647", "x.log"}, piped_no_keyboard);
    EXPECT_EQ(bad.wait_exit(), 2);
    EXPECT_NE(bad.error_text.find("'-2147483647'"), std::string::npos) << bad.error_text;
    EXPECT_EQ(bad.shown, "");
}

TEST(wine, a_name_outside_the_code_page_opens) {
    scratch_folder folder;
    std::string log = folder.file("журнал-日志.log");
    write_file(log, "unicode name\n");
    trail_process trail({log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("unicode name\n"));
    EXPECT_EQ(trail.shown, "unicode name\n");
}

TEST(wine, a_windows_writer_may_rename_and_delete_the_followed_file) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "before\n");
    trail_process trail({log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("before\n"));
    std::string rotated = folder.file("app.log.1");
    ASSERT_EQ(run_helper({"rename", log, rotated}), 0);
    append_file(rotated, "after the rename\n");
    ASSERT_TRUE(trail.wait_for_text("after the rename\n"));
    // Deleting succeeds; as on Windows, the name goes once trail lets go.
    ASSERT_EQ(run_helper({"delete", rotated}), 0);
    append_file(rotated, "after the delete\n");
    ASSERT_TRUE(trail.wait_for_text("after the delete\n"));
    EXPECT_EQ(trail.shown, "before\nafter the rename\nafter the delete\n");
    EXPECT_TRUE(trail.running());
}

// Rotation by a Windows writer: renamed then created, deleted then created.
// Created with CREATE_NEW, so a deleted file that trail still held would keep
// the name taken: the create goes through once trail has let it go. Wine's
// own DeleteFile leaves the name in place until the last handle closes and
// tells the holders nothing (no delete pending, the link still counted), so
// the delete is made here as Windows 10 makes it by default, POSIX-style:
// the name goes at once and the held file has no link left.
TEST(wine, a_windows_writer_rotating_the_followed_file) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "first\n");
    trail_process trail({log}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("first\n"));

    ASSERT_EQ(run_helper({"rename", log, folder.file("app.log.1")}), 0);
    ASSERT_EQ(run_helper({"create", log, "second\n"}), 0);
    ASSERT_TRUE(trail.wait_for_text("first\nsecond\n"));
    append_file(log, "second goes on\n");
    ASSERT_TRUE(trail.wait_for_text("second goes on\n"));

    ASSERT_EQ(unlink(log.c_str()), 0);
    ASSERT_EQ(run_helper({"create", log, "third\n"}), 0);
    std::string expected = "first\nsecond\nsecond goes on\nthird\n";
    ASSERT_TRUE(trail.wait_for_text(expected));
    EXPECT_EQ(trail.shown, expected);
}

// Keys reach trail.exe however its output is redirected: the key read
// blocks in the console's read, which is what wine's console (like any)
// answers at once, rather than polling for pending keys.
class wine_quit_key : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(wine_quit_key, ends_it_with_its_output_a_pipe_or_a_file) {
    auto [key, to_file] = GetParam();
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "shown first\n");
    launch how = output_piped(true);
    if (to_file) {
        how.output_to_pipe = false;
        how.output_file = folder.file("copy.log");
    }
    trail_process trail({log}, how);
    if (to_file) {
        ASSERT_TRUE(trail.wait_until([&] {
            std::ifstream copy(how.output_file);
            std::string line;
            return std::getline(copy, line) && line == "shown first";
        }));
    } else {
        ASSERT_TRUE(trail.wait_for_text("shown first\n"));
    }
    trail.type(key);
    EXPECT_EQ(trail.wait_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(wine, wine_quit_key,
                         ::testing::Combine(::testing::Values("q", "x", "\x03"), ::testing::Values(false, true)));

// The Windows path of a file here, as wine maps it (Z: is the root).
std::string dos_path(const std::string& path) { return "Z:" + replaced(path, "/", "\\"); }

// What wine's console showed, its escape sequences taken out.
std::string without_escapes(const std::string& raw) {
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() && !std::isalpha(static_cast<unsigned char>(raw[i]))) ++i;
        } else {
            text += raw[i];
        }
    }
    return text;
}

struct console_report {
    int page_before = -1, page_after = -1, exit_code = -1;
    unsigned long mode_before = 0, mode_during = 0, mode_after = 0;
};

// The helper's last line: the console's code page before and after the
// program it ran, its output mode before, during and after, and the
// program's exit code.
bool read_report(const std::string& shown, console_report& report) {
    std::string text;
    for (char c : without_escapes(shown)) {
        if (c != ' ') text += c;
    }
    std::size_t at = text.rfind("codepage");
    return at != std::string::npos &&
           std::sscanf(text.c_str() + at, "codepage%d/%dmode%lu/%lu/%luexit%d", &report.page_before, &report.page_after,
                       &report.mode_before, &report.mode_during, &report.mode_after, &report.exit_code) == 6;
}

// Runs trail.exe on log through the helper, on a console with the given code
// page, until it shows "last"; then ends it with key. Returns what the
// console showed, escape sequences taken out, and the helper's report.
std::string run_on_console(int code_page, const std::vector<std::string>& logs, const char* key,
                           console_report& report, std::string* raw = nullptr) {
    launch on_console;
    on_console.program = TRAIL_WINE_HELPER;
    std::vector<std::string> args = {"console", std::to_string(code_page), dos_path(TRAIL_BINARY)};
    for (const std::string& log : logs) args.push_back(dos_path(log));
    trail_process helper(args, on_console);
    bool shown = helper.wait_until([&] { return without_escapes(helper.shown).find("last") != std::string::npos; });
    EXPECT_TRUE(shown) << helper.shown;
    helper.type(key);
    EXPECT_EQ(helper.wait_exit(), 0);
    EXPECT_TRUE(read_report(helper.shown, report)) << helper.shown;
    EXPECT_EQ(report.exit_code, 0);
    if (raw) *raw = helper.shown;
    return without_escapes(helper.shown);
}

std::string run_on_console(int code_page, const std::string& log, const char* key, console_report& report,
                           std::string* raw = nullptr) {
    return run_on_console(code_page, std::vector<std::string>{log}, key, report, raw);
}

// UTF-8 logs shown as text on a console whose code page is not UTF-8, a
// log in the code page itself as before, and the code page and output mode
// left as they were found.
class wine_code_page : public ::testing::TestWithParam<int> {};

TEST_P(wine_code_page, utf8_and_code_page_text_both_show_and_the_console_is_left_as_found) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    // A euro sign cut by the first 255-byte piece boundary: the piece after
    // it must still show as UTF-8, not as code-page characters.
    std::string cut = std::string(254, 'a') + "\u20ac after the cut: Gr\u00fc\u00dfe\n";
    write_file(log, "Gr\u00fc\u00dfe \u20ac\n" + std::string("caf\x82 in the code page\n") + cut + "last\n");
    console_report report;
    std::string text = run_on_console(GetParam(), log, "q", report);
    EXPECT_NE(text.find("Gr\u00fc\u00dfe \u20ac"), std::string::npos) << text;
    // 0x82 is e acute in both code pages.
    EXPECT_NE(text.find("caf\u00e9 in the code page"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(254, 'a')), std::string::npos) << text;
    EXPECT_NE(text.find("after the cut: Gr\u00fc\u00dfe"), std::string::npos) << text;
    // UTF-8 bytes shown as code-page 437 or 850 characters start with these.
    EXPECT_EQ(text.find("\u251c"), std::string::npos) << text;
    EXPECT_EQ(text.find("\u00c3"), std::string::npos) << text;

    EXPECT_EQ(report.page_before, GetParam());
    EXPECT_EQ(report.page_after, GetParam());
    EXPECT_EQ(report.mode_after, report.mode_before);
}

INSTANTIATE_TEST_SUITE_P(wine, wine_code_page, ::testing::Values(437, 850));

// Wine's console in a terminal passes escape sequences through whatever the
// output mode, so what is checked is the mode: virtual terminal processing
// on while trail runs, the mode as found once it has ended.
TEST(wine, colour_sequences_are_rendered_and_the_output_mode_put_back) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    write_file(log, "\x1b[31mred\x1b[0m and plain\nlast\n");
    console_report report;
    const unsigned long virtual_terminal_processing = 4;
    // Now and then (about one run in six, the build before this one's too)
    // the helper never sees the mode change while the program runs under
    // wine: a look is taken again then.
    std::string text;
    for (int attempt = 0; attempt < 3 && report.mode_during == report.mode_before; ++attempt) {
        text = run_on_console(437, log, "x", report);
    }
    EXPECT_NE(text.find("red and plain"), std::string::npos) << text;
    EXPECT_EQ(report.mode_before & virtual_terminal_processing, 0u);
    EXPECT_EQ(report.mode_during, report.mode_before | virtual_terminal_processing);
    EXPECT_EQ(report.mode_after, report.mode_before);

    // A colour the log leaves on is reset as trail ends, on every road out,
    // before the helper writes its report (wine passes colours through).
    write_file(log, "\x1b[1;31mred, never turned off\nlast\n");
    for (const char* key : {"q", "x", "\x03"}) {
        std::string raw;
        run_on_console(437, log, key, report, &raw);
        std::size_t reset = raw.find("\x1b[0m", raw.find("last"));
        EXPECT_LT(reset, raw.find("codepage")) << key << "\n" << raw;
    }
}

// The console renders sequences, so a log's commands must reach it as text;
// UTF-16 logs show as their text through WriteConsoleW. Wine draws its own
// screen, so what is checked is the text it shows, and that none of the
// log's own commands came through to the terminal.
TEST(wine, hostile_lines_and_utf16_logs_show_as_text_on_code_page_437) {
    scratch_folder folder;
    std::string log = folder.file("hostile.log");
    write_file(log, "title \x1b]0;pwned\x07 end\nclip \x1b]52;c;eA==\x07\nclear \x1b[2J\x1b[3J query \x1b[21t\n"
                    "c0 \x01\x7f cr \rforged\nc1 \xc2\x9b" "2J\nraw \x9b" "6n\nlast\n");
    console_report report;
    std::string raw;
    std::string text = run_on_console(437, log, "q", report, &raw);
    for (const char* shown : {"title ^[]0;pwned^G end", "clip ^[]52;c;eA==^G", "clear ^[[2J^[[3J query ^[[21t",
                              "c0 ^A^? cr ^Mforged", "c1 <U+009B>2J",
                              // Not UTF-8: a character of the code page.
                              "raw \u00a2" "6n"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    }
    EXPECT_EQ(raw.find("\x1b]0;pwned"), std::string::npos);
    EXPECT_EQ(raw.find("\x1b]52"), std::string::npos);
    EXPECT_EQ(raw.find("\x1b[21t"), std::string::npos);
    EXPECT_EQ(report.page_after, 437);

    for (bool le : {true, false}) {
        std::string utf16_log = folder.file(le ? "le.log" : "be.log");
        std::u16string lines;
        for (int i = 1; i <= 30; ++i) {
            std::string n = std::to_string(i);
            lines += u"Zeile " + std::u16string(n.begin(), n.end()) + u" \u00e4\u00f6\u00fc \u4e0a \x1b]0;x\x07\n";
        }
        write_file(utf16_log, utf16_bytes(lines + u"last\n", le, true));
        text = run_on_console(437, utf16_log, "q", report);
        EXPECT_NE(text.find("Zeile 30 \u00e4\u00f6\u00fc \u4e0a ^[]0;x^G"), std::string::npos) << text;
        EXPECT_NE(text.find("Zeile 12 "), std::string::npos) << text;
        EXPECT_EQ(text.find("Zeile 11 "), std::string::npos) << text;
        EXPECT_EQ(report.page_before, 437);
        EXPECT_EQ(report.page_after, 437);
    }
}

// A wildcard in a Windows path (backslashes, a drive), matched ignoring
// case and by the long name only: app.logx is no match for *.log, though
// its short 8.3 name would be.
TEST(wine, a_wildcard_follows_the_newest_match_of_a_windows_path_whatever_its_case) {
    scratch_folder folder;
    auto aged = [](const std::string& path, const std::string& data, int seconds_ago) {
        write_file(path, data);
        struct timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= seconds_ago;
        times[1] = times[0];
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
    aged(folder.file("U_EX261207.LOG"), "two days ago\n", 300);
    aged(folder.file("u_ex261208.log"), "yesterday\n", 200);
    aged(folder.file("u_ex261208.logx"), "the 8.3 trap\n", 100);
    trail_process trail({dos_path(folder.path) + "\\U_EX*.LOG"}, piped_no_keyboard);
    ASSERT_TRUE(trail.wait_for_text("yesterday\n"));
    write_file(folder.file("U_Ex261209.Log"), "today\n");
    append_file(folder.file("u_ex261208.logx"), "not followed\n");
    ASSERT_TRUE(trail.wait_for_text("yesterday\ntoday\n"));
    append_file(folder.file("U_Ex261209.Log"), "today again\n");
    ASSERT_TRUE(trail.wait_for_text("yesterday\ntoday\ntoday again\n"));
    EXPECT_EQ(trail.shown, "yesterday\ntoday\ntoday again\n");
}

TEST(wine, plus_gives_the_buffer_the_largest_window_size) {
    launch on_console;
    on_console.program = TRAIL_WINE_HELPER;
    trail_process helper({"buffer"}, on_console);
    EXPECT_EQ(helper.wait_exit(), 0);
    // Wine draws the helper's text with cursor movements between the
    // characters: read it with every escape sequence and space taken out.
    std::string text;
    for (char c : without_escapes(helper.shown)) {
        if (c != ' ') text += c;
    }
    int largest_columns = 0, largest_rows = 0, columns = 0, rows = 0;
    std::size_t at = text.find("largest");
    ASSERT_NE(at, std::string::npos) << text;
    ASSERT_EQ(std::sscanf(text.c_str() + at, "largest%dx%dbuffer%dx%d", &largest_columns, &largest_rows, &columns, &rows),
              4)
        << text;
    EXPECT_GT(largest_columns, 0);
    EXPECT_GT(largest_rows, 0);
    EXPECT_EQ(columns, largest_columns);
    EXPECT_EQ(rows, largest_rows);
}

}  // namespace

namespace {

// Several files: into a pipe under headers (each name as given; a pattern's
// match by the folder as given and its own name), on the console a label
// on every line.
TEST(wine, several_files_under_headers_into_a_pipe_and_labels_on_the_console) {
    scratch_folder folder;
    std::string a = folder.file("a.log");
    write_file(a, "a1\n");
    write_file(folder.file("day-1.txt"), "d1\nlast\n");
    std::string match = dos_path(folder.path) + "\\day-1.txt";
    trail_process trail({dos_path(a), dos_path(folder.path) + "\\DAY-*.TXT"}, piped_no_keyboard);
    std::string expected = "==> " + dos_path(a) + " <==\na1\n\n==> " + match + " <==\nd1\nlast\n";
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= expected.size(); }));
    EXPECT_EQ(trail.shown, expected);
    append_file(a, "a2\n");
    expected += "\n==> " + dos_path(a) + " <==\na2\n";
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= expected.size(); }));
    EXPECT_EQ(trail.shown, expected);

    console_report report;
    std::string text = run_on_console(437, {a, folder.file("day-1.txt")}, "q", report);
    for (const char* shown : {"a.log    | a1", "day-1.txt| d1", "day-1.txt| last"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    }
    EXPECT_EQ(report.page_after, 437);
}

}  // namespace
