// Which names a wildcard matches, and which names hold one.
#include <gtest/gtest.h>

#include "follower/follower.h"

namespace {

struct wildcard_case {
    const char* pattern;
    const char* name;
    bool ignore_case;
    bool matches;
};

TEST(wildcard_match, star_question_mark_and_case) {
    const wildcard_case cases[] = {
        {"u_ex*.log", "u_ex261209.log", false, true},
        {"u_ex*.log", "u_ex.log", false, true},
        {"u_ex*.log", "u_ex261209.logx", false, false},  // the 8.3 trap: no match
        {"u_ex*.log", "xu_ex1.log", false, false},
        {"*.log", ".log", false, true},
        {"log*_*.txt", "log20261209_001.txt", false, true},
        {"log*_*.txt", "log20261209.txt", false, false},
        {"catalina.*.log", "catalina.2026-12-09.log", false, true},
        {"app-?.log", "app-1.log", false, true},
        {"app-?.log", "app-12.log", false, false},
        {"app-?.log", "app-.log", false, false},
        {"app-?.log", "app-\xc3\xa4.log", false, true},  // one character, two bytes
        {"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
        {"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", false, true},
        {"**", "", false, true},
        {"?", "", false, false},
        {"APP-*.LOG", "app-1.log", false, false},
        {"APP-*.LOG", "app-1.log", true, true},
        {"App-?.Log", "aPP-x.lOG", true, true},
    };
    for (const wildcard_case& c : cases) {
        EXPECT_EQ(wildcard_match(c.pattern, c.name, c.ignore_case), c.matches) << c.pattern << " " << c.name;
    }
}

TEST(wildcard_match, only_the_last_part_of_a_name_makes_it_a_pattern) {
    EXPECT_TRUE(has_wildcard("/var/log/app-*.log"));
    EXPECT_TRUE(has_wildcard("app-?.log"));
    EXPECT_FALSE(has_wildcard("/var/log*/app.log"));
    EXPECT_FALSE(has_wildcard("app.log"));
}

}  // namespace
