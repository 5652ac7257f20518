// The command line: the count option's parsing, where the file name is
// taken from, and the lines that are refused.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "front/command_line.h"

namespace {

struct parsed {
    command_line_verdict verdict;
    std::int32_t ring_size;
    std::int32_t file_arg_index;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "trail");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto state = std::make_unique<follow_state>();
    command_line_verdict verdict = read_command_line(static_cast<int>(args.size()), argv.data(), *state);
    EXPECT_EQ(state->arg_list, argv.data());
    return {verdict, state->ring_size, state->file_arg_index};
}

void expect_follow(std::vector<std::string> args, std::int32_t ring_size, std::int32_t file_arg_index) {
    parsed result = parse(args);
    EXPECT_EQ(result.verdict, follow_requested) << args[0];
    EXPECT_EQ(result.ring_size, ring_size) << args[0];
    EXPECT_EQ(result.file_arg_index, file_arg_index) << args[0];
}

TEST(command_line, count_option_and_file_position) {
    expect_follow({"app.log"}, 21, 1);
    expect_follow({"-5", "app.log"}, 6, 2);
    expect_follow({"-1", "app.log"}, 2, 2);
    expect_follow({"-7x", "app.log"}, 8, 2);
    expect_follow({"-0", "app.log"}, 21, 2);
    expect_follow({"-", "app.log"}, 21, 2);
    expect_follow({"-abc", "app.log"}, 21, 2);
    // Only the first argument can be the option; the rest are ignored.
    expect_follow({"app.log", "-5"}, 21, 1);
    expect_follow({"-3", "-dashed.log", "ignored"}, 4, 2);
    // atol's rules after the hyphen: white space, a plus sign.
    expect_follow({"- 12", "app.log"}, 13, 2);
    expect_follow({"-+9", "app.log"}, 10, 2);
    // -h with a file is a count option without digits, like -abc.
    expect_follow({"-h", "app.log"}, 21, 2);
    expect_follow({"-2147483646", "app.log"}, INT32_MAX, 2);
}

TEST(command_line, help_version_and_missing_file) {
    EXPECT_EQ(parse({"--help"}).verdict, help_requested);
    EXPECT_EQ(parse({"-h"}).verdict, help_requested);
    EXPECT_EQ(parse({"--version"}).verdict, version_requested);
    // Before a file, like --help, it is a count option without digits.
    EXPECT_EQ(parse({"--version", "app.log"}).verdict, follow_requested);
    EXPECT_EQ(parse({}).verdict, no_file_named);
    EXPECT_EQ(parse({"-5"}).verdict, no_file_named);
    EXPECT_EQ(parse({"-"}).verdict, no_file_named);
    EXPECT_EQ(std::string(usage_text).rfind("usage: trail", 0), 0u);
    EXPECT_NE(std::string(usage_text).find("--version"), std::string::npos);
}

TEST(command_line, counts_that_cannot_be_held_are_refused) {
    EXPECT_EQ(parse({"--5", "app.log"}).verdict, bad_count);
    EXPECT_EQ(parse({"- -1", "app.log"}).verdict, bad_count);
    EXPECT_EQ(parse({"-2147483647", "app.log"}).verdict, bad_count);
    EXPECT_EQ(parse({"-4294967317", "app.log"}).verdict, bad_count);  // 2^32 + 21 wraps to 21 in 32 bits
    EXPECT_EQ(parse({"-99999999999999999999999", "app.log"}).verdict, bad_count);
}

TEST(command_line, parse_count_reads_like_atol) {
    EXPECT_EQ(parse_count(""), 0);
    EXPECT_EQ(parse_count("abc"), 0);
    EXPECT_EQ(parse_count("42"), 42);
    EXPECT_EQ(parse_count("42abc"), 42);
    EXPECT_EQ(parse_count(" \t\n\v\f\r42"), 42);
    EXPECT_EQ(parse_count("-42"), -42);
    EXPECT_EQ(parse_count("+42"), 42);
    EXPECT_EQ(parse_count("- 42"), 0);
    EXPECT_EQ(parse_count("--42"), 0);
    EXPECT_EQ(parse_count("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parse_count("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(parse_count("-99999999999999999999"), -INT64_MAX);
}

}  // namespace
