// Telling several files apart: the headers into a pipe, and the labels on a
// console (which name, how padded, how a name's controls show).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shown/labels.h"

namespace {

TEST(labels, a_header_comes_when_the_bytes_come_from_another_file) {
    struct step {
        int key;
        std::string name;
        bool forced;
        std::string expected;
    };
    header_state headers;
    std::string out;
    for (const step& next : std::vector<step>{{0, "a.log", false, "==> a.log <==\n"},
                                              {0, "a.log", false, ""},
                                              {0, "a.log", true, "\n==> a.log <==\n"},
                                              {1, "b.log", false, "\n==> b.log <==\n"},
                                              // A pattern's next match: another name, the same file record.
                                              {1, "logs/b-2.log", false, "\n==> logs/b-2.log <==\n"},
                                              {0, "a.log", false, "\n==> a.log <==\n"}}) {
        std::string before = out;
        EXPECT_EQ(add_header(headers, next.key, next.name, next.forced, out), !next.expected.empty());
        EXPECT_EQ(out.substr(before.size()), next.expected);
    }
}

TEST(labels, the_last_part_unless_shared_padded_to_the_widest) {
    struct named {
        std::string name;
        std::size_t last_part;
    };
    std::vector<named> names = {{"/var/log/a.log", 9}, {"/srv/x/app.log", 7}, {"/srv/y/app.log", 7}};
    std::vector<file_label> labels(names.size());
    std::vector<label_request> requests;
    for (std::size_t i = 0; i < names.size(); ++i) requests.push_back({&names[i].name, names[i].last_part, &labels[i]});
    make_labels(requests, false);
    EXPECT_EQ(labels[0].prefix, "a.log         | ");
    EXPECT_EQ(labels[1].prefix, "/srv/x/app.log| ");
    EXPECT_EQ(labels[2].prefix, "/srv/y/app.log| ");

    // In colour: each its own, by its place, ended after the bar.
    make_labels(requests, true);
    EXPECT_EQ(labels[0].prefix, "\x1b[36ma.log         | \x1b[0m");
    EXPECT_EQ(labels[1].prefix, "\x1b[33m/srv/x/app.log| \x1b[0m");
}

TEST(labels, a_name_shows_as_text) {
    struct shown_case {
        std::string name, shown;
        std::size_t width;
    };
    for (const shown_case& c : std::vector<shown_case>{
             {"plain.log", "plain.log", 9},
             {"e\x1b]0;x\x07.log", "e^[]0;x^G.log", 13},
             {"del\x7f", "del^?", 5},
             {"c1\xc2\x9b", "c1<U+009B>", 10},
             {"raw\x9b", "raw<9B>", 7},
             {"caf\xc3\xa9.log", "caf\xc3\xa9.log", 8},  // one character, two bytes
             // Wide characters take two columns, a combining mark none.
             {"\xe6\x97\xa5\xe5\xbf\x97.log", "\xe6\x97\xa5\xe5\xbf\x97.log", 8},
             {"\xea\xb0\x80\xef\xbc\xa1", "\xea\xb0\x80\xef\xbc\xa1", 4},
             {"e\xcc\x81\xf0\x9f\x93\x9c", "e\xcc\x81\xf0\x9f\x93\x9c", 3},
         }) {
        std::size_t width = 0;
        EXPECT_EQ(shown_form(c.name, width), c.shown) << c.name;
        EXPECT_EQ(width, c.width) << c.name;
    }
    // A name longer than a label holds shows its end.
    std::string name(400, 'n');
    name += "end.log";
    file_label label;
    std::vector<label_request> one = {{&name, 0, &label}};
    make_labels(one, false);
    EXPECT_EQ(label.prefix.substr(0, 3), "...");
    EXPECT_EQ(label.prefix.substr(label.prefix.size() - 9), "end.log| ");
    EXPECT_EQ(label.width, label_max_bytes + 3);
}

}  // namespace
