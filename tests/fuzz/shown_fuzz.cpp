// libFuzzer target: what a console is sent for any file, cut into chunks as
// read_chunk cuts them. The first byte chooses the console (a terminal, or
// a Windows console taking UTF-16), the highlight and the file's encoding.
// Whatever the bytes: no ESC starts anything but a colour or an erase to
// the end of the line, no C1 control goes out as such, and what is written
// as UTF-16 is well-formed UTF-8 before it. A UTF-16 file always comes out
// as UTF-8, and so does a UTF-8 file (without zero bytes, which cut a
// chunk's text short).
#include <cstdint>
#include <cstring>
#include <string>

#include "../text_samples.h"
#include "follower/follower.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Checks the batch's runs and adds them to terminal (what a terminal would
// read; a wide console's code-page runs are not UTF-8 and stay out).
void take(shown_batch& batch, bool wide, std::string& terminal) {
    if (!wide) {
        terminal.append(batch.bytes, batch.used);
    } else {
        for (int i = 0; i < batch.run_count; ++i) {
            std::size_t end = i + 1 < batch.run_count ? batch.runs[i + 1].start : batch.used;
            std::string run(batch.bytes + batch.runs[i].start, end - batch.runs[i].start);
            if (batch.runs[i].wide) {
                check(valid_utf8(run));
                terminal += run;
            } else {
                // Characters of the code page: only the ESC rule applies.
                for (char& c : run) c = static_cast<unsigned char>(c) >= 0x80 ? '?' : c;
                check(first_command(run) == std::string::npos);
            }
        }
    }
    batch.used = 0;
    batch.run_count = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static shown_batch batch;
    batch.used = 0;
    batch.run_count = 0;
    shown_text text;
    text.wide_console = data[0] & 1;
    text.highlight = data[0] & 2;
    text_encoding encoding = (data[0] >> 2) % 3 == 0 ? encoding_bytes : (data[0] >> 2) % 3 == 1 ? encoding_utf16le
                                                                                                : encoding_utf16be;
    bool utf16 = encoding != encoding_bytes;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (utf16) file.resize(file.size() & ~static_cast<std::size_t>(1));

    std::string terminal;
    std::size_t most = utf16 ? utf16_chunk_max : chunk_max;
    for (std::size_t at = 0; at < file.size();) {
        std::size_t end = at;
        while (end < file.size() && end - at < most) {
            if (!utf16 && file[end++] == '\n') break;
            if (utf16) {
                bool line_feed = encoding == encoding_utf16le ? file[end] == '\n' && file[end + 1] == 0
                                                              : file[end] == 0 && file[end + 1] == '\n';
                end += 2;
                if (line_feed) break;
            }
        }
        char chunk[chunk_buffer_size];
        std::memcpy(chunk, file.data() + at, end - at);
        chunk[end - at] = 0;
        if (!batch_has_room(batch)) take(batch, text.wide_console, terminal);
        show_chunk(text, encoding, at == 0, chunk, end - at, batch);
        at = end;
    }
    take(batch, text.wide_console, terminal);

    check(first_command(terminal) == std::string::npos);
    bool utf8_in = !utf16 && valid_utf8(file) && file.find('\0') == std::string::npos;
    if (utf16 || (utf8_in && !text.wide_console)) check(valid_utf8(terminal));
    return 0;
}
