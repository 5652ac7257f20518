// trail's entry: read the command line, start the follower thread, then
// serve the keyboard until the program is ended.
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "console/console.h"
#include "follower/follower.h"
#include "front/command_line.h"
#include "front/keyboard.h"

namespace {

void write_text(console_handle handle, const char* text) { console_write(handle, text, std::strlen(text)); }

int refuse_count(const char* option, const char* why) {
    char message[512];
    std::snprintf(message, sizeof message, "trail: bad line count '%.200s': %s\n", option, why);
    write_text(console_error(), message);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    follow_state& state = shared_follow_state;
    state.console_out = console_output();
    argv = command_line_arguments(argc, argv);

    switch (read_command_line(argc, argv, state)) {
        case help_requested:
            write_text(state.console_out, usage_text);
            return 0;
        case version_requested:
            write_text(state.console_out, version_text);
            return 0;
        case no_file_named:
            write_text(console_error(), usage_text);
            return 2;
        case bad_count:
            return refuse_count(argv[1], "the count must be a whole number from 0 to 2147483646");
        case follow_requested:
            break;
    }

    state.offset_ring = static_cast<std::int64_t*>(std::malloc(sizeof(std::int64_t) * static_cast<std::size_t>(state.ring_size)));
    if (!state.offset_ring) return refuse_count(argv[1], "not enough memory for that many lines");

    // On a console the status lines go with the chunks; when the chunks go
    // to a pipe or file they must not be mixed in there, so they go to
    // standard error if that is a console, else nowhere.
    state.raw_output = !is_console(state.console_out);
    if (!state.raw_output) {
        state.status_out = state.console_out;
    } else if (is_console(console_error())) {
        state.status_out = console_error();
    }

    // Followers of many files need many descriptors: the soft limit is
    // often 1,024.
    raise_open_file_limit(argc - state.file_arg_index);
    // Labels of several files are plain where the user asks for no colour
    // (no-color.org).
    const char* no_color = std::getenv("NO_COLOR");
    state.label_colours = !no_color || !*no_color;

    set_control_handler(quit_program);
    // From here on the program ends only through quit_program, which puts
    // the console's modes back.
    if (!state.raw_output) {
        state.highlight = render_escape_sequences(state.console_out);
        state.wide_console = console_takes_wide_text(state.console_out);
    }
    start_thread(follow_file);
    run_keyboard_loop();
}
