// Texts the tests put into logs: UTF-16 with or without its mark, and a
// check that a terminal's bytes hold no escape sequence but colours.
#pragma once

#include <cctype>
#include <string>

inline std::string utf16_bytes(const std::u16string& text, bool little_endian, bool mark = false) {
    std::string bytes;
    if (mark) bytes = little_endian ? "\xff\xfe" : "\xfe\xff";
    for (char16_t unit : text) {
        char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
        bytes += little_endian ? std::string{low, high} : std::string{high, low};
    }
    return bytes;
}

// Where the first ESC in text starts a sequence other than SGR (ESC [,
// digits ; :, m) or erase to the end of the line (ESC [ K, ESC [ 0 K), or
// the first C1 control (U+0080-U+009F as UTF-8, or a raw byte 0x80-0x9F
// outside a UTF-8 character) lies; npos when there is none.
inline std::size_t first_command(const std::string& text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte == 0x1b) {
            std::size_t end = at + 1;
            if (end >= text.size() || text[end] != '[') return at;
            std::size_t params = ++end;
            while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == ';' || text[end] == ':')) ++end;
            bool erase = end < text.size() && text[end] == 'K' && (end == params || text.compare(params, end - params, "0") == 0);
            if (end >= text.size() || (text[end] != 'm' && !erase)) return at;
            at = end;
        } else if (byte == 0xC2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) <= 0x9F &&
                   static_cast<unsigned char>(text[at + 1]) >= 0x80) {
            return at;
        } else if (byte >= 0x80 && byte <= 0x9F) {
            // A continuation byte: part of a character only after a lead byte
            // and the continuations before it.
            std::size_t lead = at;
            while (lead > 0 && lead + 3 > at && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
            unsigned char first = static_cast<unsigned char>(text[lead]);
            std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC2 ? 2 : 0;
            if (length == 0 || at >= lead + length) return at;
        }
    }
    return std::string::npos;
}

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
inline bool valid_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        if (length == 0 || at + length > text.size()) return false;
        unsigned value = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        unsigned least = length == 2 ? 0x80 : length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        at += length;
    }
    return true;
}
