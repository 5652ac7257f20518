// The keyboard loop, the console buffer command and quit_program.
#include "front/keyboard.h"

#include "console/console.h"
#include "follower/follower.h"

namespace {

const int key_ctrl_c = 3;
const int key_plus = '+';
const int key_q = 'q';
const int key_x = 'x';

void grow_screen_buffer() {
    console_handle out = shared_follow_state.console_out;
    set_screen_buffer_size(out, largest_window_size(out));
}

}  // namespace

void quit_program() {
    // A colour the log left on is reset on the way out.
    end_showing(shared_follow_state.console_out);
    end_process();
}

void run_keyboard_loop() {
    for (;;) {
        // Only lower-case q and x quit; every code counts as one key.
        switch (read_key()) {
            case key_ctrl_c:
            case key_q:
            case key_x:
                quit_program();
            case key_plus:
                grow_screen_buffer();
                break;
            default:
                break;
        }
    }
}
