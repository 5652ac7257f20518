// Turning the chunks of the watched file into what a terminal or console
// shows (the rules are in shown.h).
#include "shown/shown.h"

#include <cstring>

namespace {

const char reverse_on[] = "\x1b[7m";
const char reverse_off[] = "\x1b[27m";

const char colours_reset[] = "\x1b[0m";

// Where one chunk's console text goes.
struct shown_out {
    shown_batch& batch;
    bool highlight;
    bool highlighted;  // reverse video is on
    // The label that begins the console line, before the chunk's first
    // byte shown (nothing at all may be shown of a chunk that is carried on
    // whole), and the file's text state, whose colours follow it.
    const file_label* label;
    const shown_text& text;
    bool wide_console;
};

void append(shown_batch& batch, const void* bytes, std::size_t length) {
    std::memcpy(batch.bytes + batch.used, bytes, length);
    batch.used += length;
}

// The label, in colours of its own: whatever colours the last line left on
// are reset before it, and the file's own given again after it. On a wide
// console a label beyond ASCII goes in a wide run of its own.
void put_label(shown_out& out) {
    const file_label& label = *out.label;
    out.label = nullptr;
    shown_batch& batch = out.batch;
    bool text_run_wide = batch.run_count > 0 && batch.runs[batch.run_count - 1].wide;
    bool own_run = out.wide_console && !label.ascii && !text_run_wide;
    if (out.highlight && batch.colours_left_on) append(batch, colours_reset, sizeof colours_reset - 1);
    if (own_run) batch.runs[batch.run_count++] = text_run{true, batch.used};
    append(batch, label.prefix.data(), label.prefix.size());
    if (own_run) batch.runs[batch.run_count++] = text_run{false, batch.used};
    batch.colours_left_on = false;
    if (out.highlight && out.text.colour_length > 0) {
        append(batch, out.text.colour, out.text.colour_length);
        batch.colours_left_on = true;
    }
}

void put(shown_out& out, const void* bytes, std::size_t length) {
    if (out.label) put_label(out);
    if (out.highlighted) {
        append(out.batch, reverse_off, sizeof reverse_off - 1);
        out.highlighted = false;
    }
    append(out.batch, bytes, length);
}

// A control's shown form; forms that follow each other share one highlight.
void put_form(shown_out& out, const char* form, std::size_t length) {
    if (out.label) put_label(out);
    if (out.highlight && !out.highlighted) {
        append(out.batch, reverse_on, sizeof reverse_on - 1);
        out.highlighted = true;
    }
    append(out.batch, form, length);
}

void put_hex_form(shown_out& out, const char* prefix, std::size_t prefix_length, unsigned value) {
    const char digits[] = "0123456789ABCDEF";
    char form[8];
    std::memcpy(form, prefix, prefix_length);
    std::size_t at = prefix_length;
    form[at++] = digits[(value >> 4) & 0xF];
    form[at++] = digits[value & 0xF];
    form[at++] = '>';
    put_form(out, form, at);
}

// On a wide console the text goes on in a run of its kind; ASCII goes either
// way, so it stays in the run there is.
void use_run(shown_batch& batch, bool wide_console, text_kind kind) {
    if (!wide_console) return;
    if (batch.run_count > 0 && (kind == ascii_text || batch.runs[batch.run_count - 1].wide == (kind == utf8_text))) return;
    batch.runs[batch.run_count++] = text_run{kind == utf8_text, batch.used};
}

// The length of the sequence let through that starts with the ESC at
// bytes: SGR (ESC [, digits ; and :, then m) or erase to the end of the
// line (ESC [ K, ESC [ 0 K). 0 when it is none of those, -1 when the end of
// the text cuts short what may still become one.
long allowed_sequence(const unsigned char* bytes, std::size_t length) {
    if (length < 2) return -1;
    if (bytes[1] != '[') return 0;
    std::size_t at = 2;
    while (at < length && ((bytes[at] >= '0' && bytes[at] <= '9') || bytes[at] == ';' || bytes[at] == ':')) ++at;
    if (at == length) return -1;
    if (bytes[at] == 'm') return static_cast<long>(at + 1);
    bool erase_to_end = at == 2 || (at == 3 && bytes[2] == '0');
    if (bytes[at] == 'K' && erase_to_end) return static_cast<long>(at + 1);
    return 0;
}

// Shows text by the rules. When the line goes on past the text (the chunk
// had no line feed), a sequence, UTF-8 character or CR that its end cuts
// short is kept in pending instead. high_bytes_as_code_page: bytes beyond
// ASCII are characters of the console's code page, else UTF-8. Returns how
// many bytes were shown (not kept).
std::size_t show_text(shown_text& state, const unsigned char* text, std::size_t length, bool line_goes_on,
                      bool high_bytes_as_code_page, shown_out& out) {
    std::size_t at = 0;
    while (at < length) {
        unsigned char byte = text[at];
        if (byte >= 0x20 && byte < 0x7F) {
            put(out, "", 0);  // ends a highlight
            std::size_t plain = copy_printable(text + at, length - at, out.batch.bytes + out.batch.used);
            out.batch.used += plain;
            at += plain;
            continue;
        }
        std::size_t rest = length - at;
        std::size_t taken = 1;
        bool cut_short = false;
        if (byte == '\t' || byte == '\n') {
            put(out, &byte, 1);
        } else if (byte == '\r') {
            if (rest > 1 && text[at + 1] == '\n') {
                put(out, &byte, 1);
            } else if (rest == 1 && line_goes_on) {
                cut_short = true;  // the line feed may come next
            } else {
                put_form(out, "^M", 2);
            }
        } else if (byte == 0x1B) {
            long sequence = allowed_sequence(text + at, rest);
            if (sequence > 0) {
                taken = static_cast<std::size_t>(sequence);
                put(out, text + at, taken);
                if (text[at + taken - 1] == 'm') {
                    note_colour_passed();
                    note_colours(state, text + at, taken);
                    out.batch.colours_left_on = true;
                }
            } else if (sequence < 0 && line_goes_on && rest <= sequence_max) {
                cut_short = true;
            } else {
                put_form(out, "^[", 2);
            }
        } else if (byte < 0x20 || byte == 0x7F) {
            char form[2] = {'^', static_cast<char>(byte ^ 0x40)};
            put_form(out, form, 2);
        } else if (high_bytes_as_code_page) {
            put(out, &byte, 1);
        } else {
            std::uint32_t code_point = 0;
            int character = utf8_character(text + at, rest, code_point);
            if (character > 0) {
                taken = static_cast<std::size_t>(character);
                if (code_point <= 0x9F) {
                    put_hex_form(out, "<U+00", 5, code_point);
                } else {
                    put(out, text + at, taken);
                }
            } else if (character < 0 && line_goes_on) {
                cut_short = true;
            } else if (byte <= 0x9F) {
                put_hex_form(out, "<", 1, byte);
            } else {
                put(out, &byte, 1);  // not UTF-8; the terminal shows its own mark for it
            }
        }
        if (cut_short) {
            std::memcpy(state.pending, text + at, rest);
            state.pending_length = rest;
            return at;
        }
        at += taken;
    }
    return at;
}

// Shows text (what was carried in, then the chunk's own), on a wide console
// in a run of its kind. Returns how many bytes were shown.
std::size_t show_in_run(shown_text& state, const unsigned char* text, std::size_t length, bool line_goes_on,
                        shown_out& out) {
    text_kind kind = state.wide_console ? kind_of_text(text, length, line_goes_on) : ascii_text;
    use_run(out.batch, state.wide_console, kind);
    state.pending_length = 0;
    return show_text(state, text, length, line_goes_on, kind == code_page_text, out);
}

// Shows what was carried from before a file's text started again: it will
// not go on, so it shows as text.
void show_pending(shown_text& state, shown_out& out) {
    if (state.pending_length > 0) {
        unsigned char left[sequence_max];
        std::size_t length = state.pending_length;
        std::memcpy(left, state.pending, length);
        show_in_run(state, left, length, false, out);
    }
    if (state.pending_unit != 0) {
        use_run(out.batch, state.wide_console, utf8_text);
        put(out, "\xEF\xBF\xBD", 3);  // half a surrogate pair
        state.pending_unit = 0;
    }
}

// The text after what was carried in, ended as a console line when it does
// not end in a line feed (unless all of it was kept for the next chunk).
// may_carry: the text reaches the end of a chunk that had no line feed, so
// the line goes on in the next chunk.
void show_with_pending(shown_text& state, const char* text, std::size_t length, bool may_carry, shown_out& out) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned char joined[sequence_max + 4 * utf16_chunk_max];
    std::size_t total = length;
    if (state.pending_length > 0) {
        std::memcpy(joined, state.pending, state.pending_length);
        std::memcpy(joined + state.pending_length, text, length);
        total += state.pending_length;
        bytes = joined;
    }
    std::size_t shown = show_in_run(state, bytes, total, may_carry, out);
    bool ends_line = total > 0 && bytes[total - 1] == '\n';
    if (!ends_line && shown > 0) put(out, "\r\n", 2);
}

std::uint16_t unit_at(const char* bytes, bool little_endian) {
    unsigned first = static_cast<unsigned char>(bytes[0]);
    unsigned second = static_cast<unsigned char>(bytes[1]);
    return static_cast<std::uint16_t>(little_endian ? first | (second << 8) : (first << 8) | second);
}

// A UTF-16 chunk: the same rules on the text it decodes to, the zero rule
// and the line feed taken on code units.
void show_utf16_chunk(shown_text& state, bool little_endian, bool starts_file, const char* chunk, std::size_t length,
                      shown_out& out) {
    std::size_t count = length / 2;
    std::size_t first = 0;
    if (starts_file && count > 0 && unit_at(chunk, little_endian) == 0xFEFF) first = 1;  // the mark
    if (first < count && unit_at(chunk + 2 * first, little_endian) == 0) ++first;
    std::size_t end = first;
    while (end < count && unit_at(chunk + 2 * end, little_endian) != 0) ++end;
    if (end == first) return;
    // The line goes on in the next chunk: a cut character or sequence may be
    // carried there (not past a zero, which ends the text).
    bool line_goes_on = end == count && unit_at(chunk + 2 * (end - 1), little_endian) != '\n';

    char text[4 * utf16_chunk_max];
    std::size_t used = 0;
    for (std::size_t i = first; i < end; ++i) {
        std::uint32_t unit = unit_at(chunk + 2 * i, little_endian);
        std::uint32_t code_point = unit;
        if (state.pending_unit != 0) {
            // A high surrogate from the chunk before, waiting for this one.
            std::uint32_t high = state.pending_unit;
            state.pending_unit = 0;
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                used += put_utf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), text + used);
                continue;
            }
            used += put_utf8(0xFFFD, text + used);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t next = i + 1 < end ? unit_at(chunk + 2 * (i + 1), little_endian) : 0;
            if (next >= 0xDC00 && next <= 0xDFFF) {
                code_point = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            } else if (i + 1 == end && line_goes_on) {
                state.pending_unit = static_cast<std::uint16_t>(unit);  // its low half comes later
                break;
            } else {
                code_point = 0xFFFD;
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            code_point = 0xFFFD;  // a low half alone
        }
        used += put_utf8(code_point, text + used);
    }
    bool all_kept = used == 0 && state.pending_unit != 0;
    if (all_kept) return;
    show_with_pending(state, text, used, line_goes_on, out);
}

}  // namespace

std::size_t batch_room(const shown_batch& batch) {
    return batch.used < shown_batch_target ? shown_batch_target - batch.used : 0;
}

bool batch_has_room(const shown_batch& batch) {
    return batch.used < shown_batch_target && batch.run_count + 4 <= most_text_runs;
}

void show_chunk(shown_text& state, text_encoding encoding, bool starts_file, const char* chunk, std::size_t length,
                shown_batch& batch, const file_label* label) {
    shown_out out{batch, state.highlight, false, label, state, state.wide_console};
    if (starts_file) show_pending(state, out);
    if (encoding == encoding_utf16le || encoding == encoding_utf16be) {
        show_utf16_chunk(state, encoding == encoding_utf16le, starts_file, chunk, length, out);
    } else {
        std::size_t text_length;
        const char* text = chunk_text(chunk, length, text_length);
        bool may_carry = text + text_length == chunk + length && chunk[length - 1] != '\n';
        if (text_length > 0) show_with_pending(state, text, text_length, may_carry, out);
    }
    if (out.highlighted) append(batch, reverse_off, sizeof reverse_off - 1);
}
