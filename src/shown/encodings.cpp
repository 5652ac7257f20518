// Text encodings: which one a file announces, what is UTF-8, and the
// conversions between UTF-8 and UTF-16.
#include "shown/shown.h"

text_encoding encoding_of_start(const char* bytes, std::size_t length, bool more_may_come) {
    const unsigned char* first = reinterpret_cast<const unsigned char*>(bytes);
    if (length >= 2) {
        if (first[0] == 0xFF && first[1] == 0xFE) return encoding_utf16le;
        if (first[0] == 0xFE && first[1] == 0xFF) return encoding_utf16be;
        return encoding_bytes;
    }
    bool may_be_a_mark = length == 0 || first[0] == 0xFF || first[0] == 0xFE;
    return may_be_a_mark && more_may_come ? encoding_undecided : encoding_bytes;
}

namespace {

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

int utf8_character(const unsigned char* bytes, std::size_t length, std::uint32_t& code_point) {
    unsigned char lead = bytes[0];
    std::size_t need;
    std::uint32_t value;
    // The second byte's range rules out overlong forms, surrogates and
    // values past U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        value = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        value = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < need; ++i) {
        if (i >= length) return -1;
        unsigned char byte = bytes[i];
        if (i == 1 ? (byte < low || byte > high) : !continuation(byte)) return 0;
        value = (value << 6) | (byte & 0x3Fu);
    }
    code_point = value;
    return static_cast<int>(need);
}

text_kind kind_of_text(const unsigned char* bytes, std::size_t length, bool goes_on) {
    std::size_t at = 0;
    while (at < length && bytes[at] < 0x80) ++at;
    if (at == length) return ascii_text;
    while (at < length) {
        std::uint32_t code_point;
        int taken = utf8_character(bytes + at, length - at, code_point);
        if (taken < 0) return goes_on ? utf8_text : code_page_text;  // cut short: carried on, if it goes on
        if (taken == 0) return code_page_text;
        at += static_cast<std::size_t>(taken);
    }
    return utf8_text;
}

std::size_t put_utf8(std::uint32_t code_point, char* out) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
    if (code_point < 0x80) {
        bytes[0] = static_cast<unsigned char>(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (code_point >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (code_point >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<unsigned char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
    return 4;
}

std::size_t utf8_to_utf16(const char* bytes, std::size_t length, std::uint16_t* units) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t count = 0;
    for (std::size_t at = 0; at < length;) {
        std::uint32_t code_point = 0xFFFD;
        int taken = utf8_character(text + at, length - at, code_point);
        if (taken <= 0) {
            // Runs written as UTF-16 hold checked UTF-8; should one not,
            // its stray byte shows as a replacement character.
            code_point = 0xFFFD;
            taken = 1;
        }
        at += static_cast<std::size_t>(taken);
        if (code_point >= 0x10000) {
            code_point -= 0x10000;
            units[count++] = static_cast<std::uint16_t>(0xD800 | (code_point >> 10));
            units[count++] = static_cast<std::uint16_t>(0xDC00 | (code_point & 0x3FF));
        } else {
            units[count++] = static_cast<std::uint16_t>(code_point);
        }
    }
    return count;
}
