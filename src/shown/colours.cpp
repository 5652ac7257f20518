// What colours a file's text has left on: given again after the label that
// begins each of its lines among several files, so that a log's colour
// goes on with its next line and never colours another file's.
#include <cstring>

#include "shown/shown.h"

namespace {

// Whether the SGR parameter [from, to) resets every attribute: empty, or
// all zeros.
bool resets(const unsigned char* from, const unsigned char* to) {
    for (; from < to; ++from) {
        if (*from != '0') return false;
    }
    return true;
}

}  // namespace

// Keeps what a colour sequence let through leaves set: its parameters after
// the last reset among them, after those of the sequences before it (when
// it reset none). The arguments of an extended colour (38;5;0, 48;2;0;0;0)
// are not resets.
void note_colours(shown_text& state, const unsigned char* sequence, std::size_t length) {
    const unsigned char* end = sequence + length - 1;  // at the m
    const unsigned char* kept = sequence + 2;
    bool reset = false;
    int arguments = 0;  // of an extended colour, still to come
    for (const unsigned char* at = sequence + 2; at <= end;) {
        const unsigned char* stop = at;
        while (stop < end && *stop != ';') ++stop;
        if (arguments == -1) {
            // The kind: 5 takes an index, 2 three components.
            bool one = stop - at == 1;
            arguments = one && *at == '5' ? 1 : one && *at == '2' ? 3 : 0;
        } else if (arguments > 0) {
            --arguments;
        } else if (stop - at == 2 && (at[0] == '3' || at[0] == '4' || at[0] == '5') && at[1] == '8') {
            arguments = -1;
        } else if (resets(at, stop)) {
            reset = true;
            kept = stop + 1;
        }
        at = stop + 1;
    }
    if (reset) state.colour_length = 0;
    if (kept >= end) return;  // nothing set after the reset
    std::size_t parameters = static_cast<std::size_t>(end - kept);
    if (state.colour_length + parameters + 3 > sequence_max) state.colour_length = 0;
    if (parameters + 3 > sequence_max) return;
    char* out = state.colour + state.colour_length;
    out[0] = '\x1b';
    out[1] = '[';
    std::memcpy(out + 2, kept, parameters);
    out[2 + parameters] = 'm';
    state.colour_length += parameters + 3;
}

