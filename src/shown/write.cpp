// Writing what a console shows, and the colour reset on the way out.
#include "shown/shown.h"

#include <atomic>

namespace {

// Between the follower, which writes batches, and whichever thread ends the
// program: a colour reset must come after the last batch, not inside one.
std::atomic<bool> writing{false};
std::atomic<bool> ending{false};
std::atomic<bool> colour_passed{false};

}  // namespace

void note_colour_passed() { colour_passed.store(true, std::memory_order_relaxed); }

void write_batch(console_handle out, shown_batch& batch) {
    if (batch.used == 0) return;
    // Marked before ending is looked at, as end_showing marks ending before
    // it looks at this: one of the two sees the other.
    writing.store(true);
    if (ending.load()) {
        // The program is ending and has its last words to write.
        writing.store(false);
        for (;;) pause_ms(1000);
    }
    if (batch.run_count == 0) {
        console_write(out, batch.bytes, batch.used);
    }
    for (int i = 0; i < batch.run_count; ++i) {
        const text_run& run = batch.runs[i];
        std::size_t end = i + 1 < batch.run_count ? batch.runs[i + 1].start : batch.used;
        const char* bytes = batch.bytes + run.start;
        std::size_t length = end - run.start;
        // A console that takes no UTF-16 at all still gets the text.
        if (!run.wide || console_write_wide(out, batch.units, utf8_to_utf16(bytes, length, batch.units)) == 0) {
            console_write(out, bytes, length);
        }
    }
    writing.store(false);
    batch.used = 0;
    batch.run_count = 0;
}

void end_showing(console_handle out) {
    if (ending.exchange(true) || !colour_passed.load()) return;
    // A batch being written goes first (but a console that takes no output
    // is not waited for long).
    for (int i = 0; i < 100 && writing.load(); ++i) pause_ms(10);
    const char reset[] = "\x1b[0m";
    console_write_at_once(out, reset, sizeof reset - 1);
}
