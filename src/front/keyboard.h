// The main thread's life after start-up: serving the keyboard, and the one
// way the program ends.
#pragma once

// Reads keys forever: q, x or Ctrl+C (as the character 3) end the program,
// + sets the console's buffer to the largest window size, every other key
// is ignored. Never returns.
[[noreturn]] void run_keyboard_loop();

// Ends the process at once with exit code 0, from any thread; also the
// handler of every console control event.
[[noreturn]] void quit_program();
