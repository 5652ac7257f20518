// Waiting on the standard streams, inside the POSIX backend: for a key on
// standard input, for standard output's reader to go away, and for room to
// write. poll() serves where it can; where it cannot (macOS's poll takes
// no devices, and answers POLLNVAL for a terminal or /dev/null) select()
// does, from the first time poll refuses.
#pragma once

// What one wait found.
struct stream_wait {
    bool key_ready = false;    // standard input has a byte, or its end
    bool output_gone = false;  // standard output's reader has gone away
};

// Waits for either on standard input (when keys is true) and standard
// output, up to timeout_ms (-1: no limit). False when interrupted by a
// signal; standard input found closed ends in key_ready, so that its read
// tells.
bool wait_on_streams(bool keys, int timeout_ms, stream_wait& found);

// Waits up to timeout_ms until fd takes output. Safe in a signal handler.
bool wait_until_writable(int fd, int timeout_ms);
