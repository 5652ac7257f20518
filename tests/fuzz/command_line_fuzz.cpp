// libFuzzer target: any argument list (the input split at zero bytes) is
// either refused or gives a ring of 2 to 2^31 - 1 slots and a file name
// that is one of the arguments.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "front/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"trail"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < 8; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) args.push_back(current);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());

    static auto state = std::make_unique<follow_state>();
    command_line_verdict verdict = read_command_line(argc, argv.data(), *state);
    if (verdict == follow_requested) {
        if (state->ring_size < 2) __builtin_trap();
        if (state->file_arg_index < 1 || state->file_arg_index >= argc) __builtin_trap();
        if (state->file_arg_index == 2 && argv[1][0] != '-') __builtin_trap();
    }
    if (verdict == no_file_named && argc > 2) __builtin_trap();
    if (argc >= 2) parse_count(argv[1]);
    return 0;
}
