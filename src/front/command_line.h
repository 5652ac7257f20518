// Reading trail's command line: an optional count option, then the names
// of the files to follow.
#pragma once

#include <cstdint>

#include "follower/follower.h"

enum command_line_verdict {
    follow_requested,  // follow_state holds the file's index and ring_size
    help_requested,    // --help or -h alone
    version_requested, // --version alone
    no_file_named,     // nothing to follow: show the usage
    bad_count,         // the count option is negative or too large
};

const std::int32_t default_line_count = 20;
// ring_size is the count plus one and must fit a signed 32-bit integer.
const std::int64_t largest_line_count = INT32_MAX - 1;

extern const char usage_text[];
// "trail X.Y.Z" and a line feed.
extern const char version_text[];

// Reads the decimal number at the start of text as atol does: white space
// skipped, an optional sign, then digits up to the first non-digit; no
// digits gives 0. Values beyond the 64-bit range are held at its ends.
std::int64_t parse_count(const char* text);

// Fills arg_list, arg_count, file_arg_index (the first file's name; every
// argument from there on names a file) and ring_size of state from the
// command line. A first argument that begins with a hyphen is the count option
// whatever follows it (0 or no digits mean 20); only the first argument is
// looked at for it.
command_line_verdict read_command_line(int argc, char** argv, follow_state& state);
