// What a console shows for the chunks of a file: colours pass, every other
// control shows as text, sequences and characters cut by a chunk's end are
// carried on, UTF-16 is decoded, and a Windows console gets UTF-8 text as
// UTF-16 and other bytes in its code page.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "follower/follower.h"
#include "text_samples.h"

namespace {

struct shown_case {
    std::vector<std::string> chunks;  // the first starts the file
    std::string expected;
};

// What the console gets for the chunks. On a wide console each run is
// marked: [W:...] for text written as UTF-16, [N:...] for bytes.
std::string shown_for(const std::vector<std::string>& chunks, text_encoding encoding = encoding_bytes,
                      bool wide = false, bool highlight = false) {
    static shown_batch batch;
    batch.used = 0;
    batch.run_count = 0;
    shown_text text;
    text.wide_console = wide;
    text.highlight = highlight;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        char chunk[chunk_buffer_size];
        std::memcpy(chunk, chunks[i].data(), chunks[i].size());
        chunk[chunks[i].size()] = 0;
        EXPECT_TRUE(batch_has_room(batch));
        show_chunk(text, encoding, i == 0, chunk, chunks[i].size(), batch);
    }
    if (!wide) return std::string(batch.bytes, batch.used);
    std::string runs;
    for (int i = 0; i < batch.run_count; ++i) {
        std::size_t end = i + 1 < batch.run_count ? batch.runs[i + 1].start : batch.used;
        runs += (batch.runs[i].wide ? "[W:" : "[N:") +
                std::string(batch.bytes + batch.runs[i].start, end - batch.runs[i].start) + "]";
    }
    return runs;
}

TEST(shown_text, controls_show_as_text_and_colours_pass) {
    const std::vector<shown_case> cases = {
        // Colours and erase to the end of the line, byte for byte.
        {{"\x1b[31mred\x1b[0m \x1b[1;38;5;208mx\x1b[38:2::1:2:3m\x1b[K\x1b[0K\x1b[m\n"},
         "\x1b[31mred\x1b[0m \x1b[1;38;5;208mx\x1b[38:2::1:2:3m\x1b[K\x1b[0K\x1b[m\n"},
        // Title, clipboard and link.
        {{"t1 \x1b]0;pwned\x07 end\n"}, "t1 ^[]0;pwned^G end\n"},
        {{"\x1b]52;c;ZXZpbA==\x07\x1b]8;;http://x\x1b\\y\n"}, "^[]52;c;ZXZpbA==^G^[]8;;http://x^[\\y\n"},
        // Clearing, cursor moves, reset, the alternate screen, other erases.
        {{"\x1b[2J\x1b[3J\x1b[H\x1b[5A\x1b" "c\x1b[?1049h\x1b[2K\x1b[1K\n"},
         "^[[2J^[[3J^[[H^[[5A^[c^[[?1049h^[[2K^[[1K\n"},
        // Queries that make a terminal type its answer.
        {{"\x1b[6n\x1b[c\x1b[21t\x1bP$qm\x1b\\\n"}, "^[[6n^[[c^[[21t^[P$qm^[\\\n"},
        // C0 and DEL; TAB and CR LF unchanged; a lone CR shown.
        {{"a\x08" "b\x7f\x01\x1f\x07\tc\r\n"}, "a^Hb^?^A^_^G\tc\r\n"},
        {{"real\rforged\n"}, "real^Mforged\n"},
        // C1 from UTF-8 and raw; UTF-8 text and other bytes unchanged.
        {{"\xc2\x9b" "2J \xc2\x85 \x9b \x80 \xe2\x82\xac \xc3\xa4 \xff\n"}, "<U+009B>2J <U+0085> <9B> <80> \xe2\x82\xac \xc3\xa4 \xff\n"},
        // An overlong CSI is not UTF-8.
        {{"\xc0\x9b\n"}, "\xc0<9B>\n"},
        // The zero-byte rule, and the line end after a piece.
        {{std::string("\0lead\n", 6), std::string("ab\0cd\n", 6), std::string("\0\0\n", 3), "piece"},
         "lead\nab\r\npiece\r\n"},
        // Cut by a chunk's end: carried on whole to the next chunk.
        {{"abc\x1b[3", "1mred\n"}, "abc\r\n\x1b[31mred\n"},
        {{"\x1b[3", "1m\n"}, "\x1b[31m\n"},
        {{"ab\xe2\x82", "\xac\n"}, "ab\r\n\xe2\x82\xac\n"},
        {{"ab\xc2", "\x9b\n"}, "ab\r\n<U+009B>\n"},
        {{"ab\r", "\n"}, "ab\r\n\r\n"},
        {{"ab\x1b]", "0;x\n"}, "ab^[]\r\n0;x\n"},
        // A zero ends the text: nothing is carried past it.
        {{std::string("ab\x1b[3\0z", 7), "1m\n"}, "ab^[[3\r\n1m\n"},
        // Too long to carry, or cut where the file starts again: text.
        {{"\x1b[" + std::string(70, '1'), "m\n"}, "^[[" + std::string(70, '1') + "\r\nm\n"},
    };
    for (const shown_case& c : cases) EXPECT_EQ(shown_for(c.chunks), c.expected) << c.chunks[0];
}

TEST(shown_text, a_new_text_shows_what_was_carried_as_text) {
    static shown_batch batch;
    shown_text text;
    char chunk[chunk_buffer_size] = "old\x1b[3";
    show_chunk(text, encoding_bytes, true, chunk, 6, batch);
    std::strcpy(chunk, "\xff\xfe");
    show_chunk(text, encoding_utf16le, true, chunk, 2, batch);  // only the mark
    std::memcpy(chunk, "1\0m\0\n\0", 6);
    show_chunk(text, encoding_utf16le, true, chunk, 6, batch);
    EXPECT_EQ(std::string(batch.bytes, batch.used), "old\r\n^[[31m\n");
}

TEST(shown_text, forms_are_highlighted_where_the_console_renders_sequences) {
    EXPECT_EQ(shown_for({"a\x1b]0;x\x07\x01" "b\x9b\n"}, encoding_bytes, false, true),
              "a\x1b[7m^[\x1b[27m]0;x\x1b[7m^G^A\x1b[27m" "b\x1b[7m<9B>\x1b[27m\n");
}

TEST(shown_text, utf16_is_decoded_and_the_same_rules_apply) {
    for (bool le : {true, false}) {
        text_encoding encoding = le ? encoding_utf16le : encoding_utf16be;
        const std::vector<shown_case> cases = {
            {{utf16_bytes(u"Zeile 26 \u00e4\u00f6\u00fc\n", le, true)}, "Zeile 26 \xc3\xa4\xc3\xb6\xc3\xbc\n"},
            // 0A 4E is U+4E0A, not a line feed; an emoji is a surrogate pair.
            {{utf16_bytes(u"\u4e0a\u4e0b \U0001F600\n", le)}, "\xe4\xb8\x8a\xe4\xb8\x8b \xf0\x9f\x98\x80\n"},
            // Cut between the halves of a pair: shown whole, once.
            {{utf16_bytes(u"a\xd83d", le), utf16_bytes(u"\xde00\n", le)}, "a\r\n\xf0\x9f\x98\x80\n"},
            {{utf16_bytes(u"\xd83d", le), utf16_bytes(u"\xde00\n", le)}, "\xf0\x9f\x98\x80\n"},
            // Halves alone, controls, C1, and the zero rule on code units.
            {{utf16_bytes(u"\xdc00x\xd800y\n", le)}, "\xef\xbf\xbdx\xef\xbf\xbdy\n"},
            {{utf16_bytes(u"\x1b]0;t\x07\x1b[32mg\x1b[0m\u009b\r\n", le)}, "^[]0;t^G\x1b[32mg\x1b[0m<U+009B>\r\n"},
            {{utf16_bytes(std::u16string(1, u'\0') + u"z" + std::u16string(1, u'\0') + u"hidden\n", le)}, "z\r\n"},
        };
        for (const shown_case& c : cases) EXPECT_EQ(shown_for(c.chunks, encoding), c.expected) << le;
    }
}

TEST(shown_text, a_wide_console_gets_utf8_text_as_utf16_and_other_bytes_in_its_code_page) {
    const std::vector<shown_case> cases = {
        {{"ascii\n", "Gr\xc3\xbc\xc3\x9f" "e\n", "more ascii\n", "caf\x82\n", "ascii\n"},
         "[N:ascii\n][W:Gr\xc3\xbc\xc3\x9f" "e\nmore ascii\n][N:caf\x82\nascii\n]"},
        // C1 in UTF-8 still shows as text; in the code page a byte is a character.
        {{"\xc2\x9b[2J\n", "\x9b\x1b]0;x\n"}, "[W:<U+009B>[2J\n][N:\x9b^[]0;x\n]"},
        // A character cut by a piece's end goes on in the next, as text.
        {{std::string(254, 'a') + "\xe2", "\x82\xac b\n"}, "[W:" + std::string(254, 'a') + "\r\n\xe2\x82\xac b\n]"},
    };
    for (const shown_case& c : cases) EXPECT_EQ(shown_for(c.chunks, encoding_bytes, true), c.expected);
    EXPECT_EQ(shown_for({utf16_bytes(u"\u00e4\n", true, true)}, encoding_utf16le, true), "[W:\xc3\xa4\n]");
}

TEST(shown_text, encoding_of_a_files_start) {
    EXPECT_EQ(encoding_of_start("\xff\xfe", 2, true), encoding_utf16le);
    EXPECT_EQ(encoding_of_start("\xfe\xff" "a", 3, true), encoding_utf16be);
    EXPECT_EQ(encoding_of_start("ab", 2, true), encoding_bytes);
    EXPECT_EQ(encoding_of_start("\xfe\xfe", 2, true), encoding_bytes);
    EXPECT_EQ(encoding_of_start("\xff", 1, true), encoding_undecided);
    EXPECT_EQ(encoding_of_start("", 0, true), encoding_undecided);
    EXPECT_EQ(encoding_of_start("\xff", 1, false), encoding_bytes);
    EXPECT_EQ(encoding_of_start("a", 1, true), encoding_bytes);
}

}  // namespace

namespace {

// Whole plain lines copied together must show exactly as chunk after chunk
// would: any text, cut where plain_lines stops, the rest chunk by chunk.
TEST(shown_text, plain_lines_show_as_their_chunks_would) {
    std::mt19937 random(3);
    const char alphabet[] = "abc \t\r\n\x1b[m\x01\x7f\xc3\xa9\x9b";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        std::size_t length = random() % 700;
        for (std::size_t i = 0; i < length; ++i) {
            // Mostly printable, now and then anything; long lines too.
            auto pick = random() % 40;
            text += pick < 30 ? static_cast<char>('a' + pick % 26) : alphabet[random() % (sizeof alphabet - 1)];
        }
        static shown_batch batch;
        batch.used = 0;
        batch.run_count = 0;
        shown_text state;
        show_chunk(state, encoding_bytes, true, "start\n", 6, batch);
        std::size_t plain = show_plain_lines(state, batch, text.data(), text.size(), chunk_max);
        std::vector<std::string> chunks = {"start\n"};
        for (std::size_t at = 0; at < plain;) {
            std::size_t end = text.find('\n', at) + 1;
            ASSERT_LE(end - at, chunk_max) << round;
            chunks.push_back(text.substr(at, end - at));
            at = end;
        }
        std::string shown(batch.bytes, batch.used);
        ASSERT_EQ(shown, shown_for(chunks)) << round;
        // Nothing past a line that needs a look of its own is taken.
        if (plain < text.size()) {
            std::size_t line_end = text.find('\n', plain);
            std::string line = text.substr(plain, line_end == std::string::npos ? std::string::npos : line_end - plain + 1);
            bool plain_line = line_end != std::string::npos && line.size() <= chunk_max &&
                              line.find_first_not_of(" abcdefghijklmnopqrstuvwxyz\t\n") == std::string::npos;
            EXPECT_FALSE(plain_line) << round << " " << line;
        }
    }
}

}  // namespace
