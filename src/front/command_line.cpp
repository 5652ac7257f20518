// The command line: `trail [-N] FILE...`.
#include "front/command_line.h"

#include <cstring>

const char usage_text[] =
    "usage: trail [-N] FILE...\n"
    "       trail --help | --version\n"
    "Shows the last N lines of each FILE (20 when N is left out or 0), then\n"
    "whatever is appended to it, as soon as it is (every 100 ms where the system\n"
    "cannot tell of changes: network file systems, pipes, Windows). Waits for a\n"
    "FILE to be created.\n"
    "With several files, each line on a terminal starts with its file's label,\n"
    "and into a pipe each file's output follows a header: ==> FILE <==\n"
    "With * or ? in its last part (quoted), FILE follows the newest match, then\n"
    "each file that comes to match later.\n"
    "Keys: q, x or Ctrl+C quit; + sets the console buffer to the largest window.\n";

const char version_text[] = "trail " TRAIL_VERSION "\n";

std::int64_t parse_count(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        int digit = *text - '0';
        if (value > (INT64_MAX - digit) / 10) {
            value = INT64_MAX;  // saturate; the rest is digits we need not read
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

command_line_verdict read_command_line(int argc, char** argv, follow_state& state) {
    state.arg_list = argv;
    state.arg_count = argc;
    state.file_arg_index = 1;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        return help_requested;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return version_requested;
    std::int64_t count = 0;
    if (argc >= 2 && argv[1][0] == '-') {
        count = parse_count(argv[1] + 1);
        state.file_arg_index = 2;
    }
    if (state.file_arg_index >= argc) return no_file_named;
    if (count < 0 || count > largest_line_count) return bad_count;
    if (count == 0) count = default_line_count;
    state.ring_size = static_cast<std::int32_t>(count + 1);
    return follow_requested;
}
