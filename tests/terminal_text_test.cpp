// What trail shows on a terminal for a log's lines: colours, and every other
// control as text, never as a command; UTF-16 logs as their text; a colour
// left on reset on the way out; and into a pipe the bytes as they are.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "text_samples.h"
#include "trail_process.h"

namespace {

std::string without(std::string text, const std::string& part) {
    for (std::size_t at; (at = text.find(part)) != std::string::npos;) text.erase(at, part.size());
    return text;
}

// The file's text as shown: without the status lines, and without the
// reverse video that trail puts around the forms it shows for controls.
std::string file_text(const trail_process& trail) {
    return without(without(without(trail.shown, blanking_line), "\x1b[7m"), "\x1b[27m");
}

bool shows(trail_process& trail, const std::string& expected) {
    return trail.wait_until([&] { return file_text(trail).size() >= expected.size(); }) && file_text(trail) == expected;
}

struct hostile_line {
    const char* written;
    const char* shown;
};

// One line for each way a line could command a terminal, and the colours
// that pass.
const hostile_line hostile_lines[] = {
    {"title \x1b]0;pwned\x07 end\n", "title ^[]0;pwned^G end\n"},
    {"clipboard \x1b]52;c;cm0gLXJmIH4=\x07\n", "clipboard ^[]52;c;cm0gLXJmIH4=^G\n"},
    {"link \x1b]8;;http://evil/\x1b\\ok\x1b]8;;\x1b\\\n", "link ^[]8;;http://evil/^[\\ok^[]8;;^[\\\n"},
    {"clear \x1b[2J\x1b[3J\x1b[H\n", "clear ^[[2J^[[3J^[[H\n"},
    {"cursor \x1b[5A\x1b[2;1H\x1b" "7\x1b" "8\n", "cursor ^[[5A^[[2;1H^[7^[8\n"},
    {"reset \x1b" "c alternate \x1b[?1049h\n", "reset ^[c alternate ^[[?1049h\n"},
    {"queries \x1b[6n\x1b[c\x1b[21t\x1bP$qm\x1b\\\n", "queries ^[[6n^[[c^[[21t^[P$qm^[\\\n"},
    {"c0 \x01\x07\x08\x0b\x0c\x0e\x1f del \x7f tab \t end\n", "c0 ^A^G^H^K^L^N^_ del ^? tab \t end\n"},
    {"lone cr \rforged line\r\n", "lone cr ^Mforged line\r\n"},
    {"c1 utf-8 \xc2\x9b" "2J \xc2\x9d" "0;x\xc2\x9c raw \x9b" "2J \x90 euro \xe2\x82\xac\n",
     "c1 utf-8 <U+009B>2J <U+009D>0;x<U+009C> raw <9B>2J <90> euro \xe2\x82\xac\n"},
    {"colours \x1b[1;31mred\x1b[0m \x1b[38;5;208mo\x1b[38:2:1:2:3mt\x1b[m\x1b[K\x1b[0K\n",
     "colours \x1b[1;31mred\x1b[0m \x1b[38;5;208mo\x1b[38:2:1:2:3mt\x1b[m\x1b[K\x1b[0K\n"},
};

TEST(terminal_text, hostile_lines_show_as_text_in_the_last_lines_and_when_appended) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    std::string written, shown;
    for (const hostile_line& line : hostile_lines) {
        written += line.written;
        shown += line.shown;
    }
    write_file(log, written);
    trail_process trail({"-50", log});
    ASSERT_TRUE(shows(trail, shown)) << file_text(trail);
    append_file(log, written);
    ASSERT_TRUE(shows(trail, shown + shown)) << file_text(trail);
    EXPECT_EQ(first_command(trail.shown), std::string::npos);
    // The forms stand out from the same text written literally.
    EXPECT_NE(trail.shown.find("title \x1b[7m^[\x1b[27m]0;pwned\x1b[7m^G\x1b[27m end\n"), std::string::npos);
    trail.type("q");
    EXPECT_EQ(trail.wait_exit(), 0);
}

TEST(terminal_text, a_sequence_cut_by_a_piece_boundary_never_passes_in_part) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    std::string data;
    // Each sequence straddles the 255-byte boundary at every place.
    for (int lead = 240; lead <= 256; ++lead) {
        data += std::string(static_cast<std::size_t>(lead), 'a') + "\x1b]0;evil\x07\x1b[2J\x1b[31mred\x1b[0m\xc2\x9b" "6n\n";
    }
    write_file(log, data + "the end\n");
    trail_process trail({"-1000", log});
    ASSERT_TRUE(trail.wait_for_text("the end\n"));
    EXPECT_EQ(first_command(trail.shown), std::string::npos) << trail.shown.substr(first_command(trail.shown), 20);
    // The colour passes whole wherever it was cut.
    std::string text = file_text(trail);
    std::size_t reds = 0;
    for (std::size_t at = text.find("\x1b[31mred"); at != std::string::npos; at = text.find("\x1b[31mred", at + 1)) ++reds;
    EXPECT_EQ(reds, 17u);
}

// The ways out: keys, then signals sent to trail.
const char* const roads[] = {"q", "x", "\x03", "TERM", "HUP", "QUIT"};

TEST(terminal_text, a_colour_left_on_is_reset_on_the_way_out_by_keys_and_control_signals) {
    scratch_folder folder;
    std::string coloured = folder.file("coloured.log");
    write_file(coloured, "\x1b[1;31mred, never turned off\n");
    std::string plain = folder.file("plain.log");
    write_file(plain, "no colour here\n");
    for (const char* road : roads) {
        for (const std::string& log : {coloured, plain}) {
            trail_process trail({log});
            ASSERT_TRUE(trail.wait_for_text("\n"));
            ASSERT_TRUE(trail.wait_for_key_mode());
            std::string name = road;
            if (name.size() == 1) {
                trail.type(name);
            } else {
                kill(trail.pid, name == "TERM" ? SIGTERM : name == "HUP" ? SIGHUP : SIGQUIT);
            }
            EXPECT_EQ(trail.wait_exit(), 0) << road;
            bool reset = trail.shown.size() >= 4 && trail.shown.compare(trail.shown.size() - 4, 4, "\x1b[0m") == 0;
            EXPECT_EQ(reset, log == coloured) << road << " " << log;
        }
    }
}

TEST(terminal_text, into_a_pipe_the_bytes_stay_as_the_file_holds_them) {
    scratch_folder folder;
    std::string log = folder.file("app.log");
    std::string data;
    for (const hostile_line& line : hostile_lines) data += line.written;
    data += utf16_bytes(u"\xfeff" u"UTF-16 in a byte log\n", true);
    write_file(log, data);
    trail_process trail({"-100", log}, output_piped(false));
    ASSERT_TRUE(trail.wait_until([&] { return trail.shown.size() >= data.size(); }));
    EXPECT_EQ(trail.shown, data);

    std::string utf16_log = folder.file("utf16.log");
    std::string utf16 = utf16_bytes(u"one \x1b]0;x\x07\ntwo \u4e0a\n", true, true);
    write_file(utf16_log, utf16);
    trail_process from_utf16({utf16_log}, output_piped(false));
    ASSERT_TRUE(from_utf16.wait_until([&] { return from_utf16.shown.size() >= utf16.size(); }));
    EXPECT_EQ(from_utf16.shown, utf16);
}

// Param: true for UTF-16LE, false for UTF-16BE.
class utf16_log : public ::testing::TestWithParam<bool> {};

TEST_P(utf16_log, shows_as_its_text_through_appends_long_lines_and_a_rotation) {
    bool le = GetParam();
    scratch_folder folder;
    std::string log = folder.file("powershell.log");
    // U+4E0A is 0A 4E in UTF-16LE and U+0A0A is 0A 0A in both: no line feeds.
    std::u16string lines;
    std::string shown;
    for (int i = 1; i <= 30; ++i) {
        std::string n = std::to_string(i);
        lines += u"Zeile " + std::u16string(n.begin(), n.end()) + u" \u00e4\u00f6\u00fc \u4e0a\u0a0a\n";
        if (i > 25) shown += "Zeile " + n + " \u00e4\u00f6\u00fc \u4e0a\u0a0a\n";
    }
    write_file(log, utf16_bytes(lines, le, true));
    trail_process trail({"-5", log});
    ASSERT_TRUE(shows(trail, shown)) << file_text(trail);

    // Appends cut inside a code unit and between the halves of a pair: each
    // character shows whole, once, when it is complete.
    // What comes before the cut shows as an unfinished line once trail has
    // read that far.
    std::string cut_unit = utf16_bytes(u"unit \u00e4 cut\n", le);
    append_file(log, cut_unit.substr(0, 11));  // "unit " and half of the next
    ASSERT_TRUE(shows(trail, shown += "unit \r\n")) << file_text(trail);
    append_file(log, cut_unit.substr(11));
    ASSERT_TRUE(shows(trail, shown += "\u00e4 cut\n")) << file_text(trail);
    std::string pair = utf16_bytes(u"pair \U0001F600 \x1b]0;t\x07\n", le);
    append_file(log, pair.substr(0, 12));  // "pair " and the high half
    ASSERT_TRUE(shows(trail, shown += "pair \r\n")) << file_text(trail);
    append_file(log, pair.substr(12));
    ASSERT_TRUE(shows(trail, shown += "\U0001F600 ^[]0;t^G\n")) << file_text(trail);

    // 300 characters: pieces of 127 code units, the pair at the first
    // piece's end carried whole into the second.
    append_file(log, utf16_bytes(std::u16string(126, u'x') + u"\U0001F600" + std::u16string(172, u'y') + u"\n", le));
    shown += std::string(126, 'x') + "\r\n\U0001F600" + std::string(126, 'y') + "\r\n" + std::string(46, 'y') + "\n";
    ASSERT_TRUE(shows(trail, shown)) << file_text(trail);

    // Rotated for a UTF-8 log, which shows as UTF-8.
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    write_file(log, "utf-8 now \u00e4 \x1b]0;x\x07\n");
    shown += "utf-8 now \u00e4 ^[]0;x^G\n";
    ASSERT_TRUE(shows(trail, shown)) << file_text(trail);
    EXPECT_EQ(first_command(trail.shown), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(terminal_text, utf16_log, ::testing::Values(true, false));

}  // namespace
