// Headers into a pipe and labels on a console, for several files at once
// (the rules are in labels.h).
#include "shown/labels.h"

#include <cstdint>
#include <unordered_map>

#include "shown/shown.h"

namespace {

// Colours a terminal renders on any background, one per file in turn.
const char* const palette[] = {"\x1b[36m", "\x1b[33m", "\x1b[32m", "\x1b[35m", "\x1b[34m", "\x1b[96m"};
const char colour_end[] = "\x1b[0m";

void add_hex(std::string& out, const char* prefix, unsigned value) {
    const char digits[] = "0123456789ABCDEF";
    out += prefix;
    out += digits[(value >> 4) & 0xF];
    out += digits[value & 0xF];
    out += '>';
}

// Where a terminal gives a character other than one column: none for a
// mark that combines with the character before it (and the invisible
// spaces and joiners), two for East Asian wide and full-width characters
// and the pictographs drawn as wide, so that labels of such names line up.
struct column_range {
    std::uint32_t first, last;
    unsigned columns;
};
const column_range column_ranges[] = {
    {0x0300, 0x036F, 0},   {0x1100, 0x115F, 2},   {0x1AB0, 0x1AFF, 0},   {0x1DC0, 0x1DFF, 0},
    {0x200B, 0x200F, 0},   {0x20D0, 0x20FF, 0},   {0x2E80, 0x303E, 2},   {0x3041, 0x33FF, 2},
    {0x3400, 0x4DBF, 2},   {0x4E00, 0x9FFF, 2},   {0xA000, 0xA4CF, 2},   {0xA960, 0xA97F, 2},
    {0xAC00, 0xD7A3, 2},   {0xF900, 0xFAFF, 2},   {0xFE00, 0xFE0F, 0},   {0xFE10, 0xFE19, 2},
    {0xFE20, 0xFE2F, 0},   {0xFE30, 0xFE6F, 2},   {0xFF00, 0xFF60, 2},   {0xFFE0, 0xFFE6, 2},
    {0x1F300, 0x1F64F, 2}, {0x1F900, 0x1F9FF, 2}, {0x20000, 0x2FFFD, 2}, {0x30000, 0x3FFFD, 2},
};

unsigned columns_of(std::uint32_t code_point) {
    for (const column_range& range : column_ranges) {
        if (code_point < range.first) break;
        if (code_point <= range.last) return range.columns;
    }
    return 1;
}

// A label is kept to a line's width: of a longer name, its end.
std::string label_text(const std::string& name) {
    if (name.size() <= label_max_bytes) return name;
    std::size_t from = name.size() - label_max_bytes;
    while (from < name.size() && (static_cast<unsigned char>(name[from]) & 0xC0) == 0x80) ++from;
    return "..." + name.substr(from);
}

}  // namespace

bool add_header(header_state& headers, int key, const std::string& name, bool forced, std::string& out) {
    if (!forced && headers.any && headers.last_key == key && headers.last_name == name) return false;
    if (headers.any) out += '\n';
    out += "==> ";
    out += name;
    out += " <==\n";
    headers.any = true;
    headers.last_key = key;
    headers.last_name = name;
    return true;
}

// The same rules as for a log's text: controls in caret form, C1 controls
// and bytes that are not UTF-8 as hexadecimal, the rest as it is.
std::string shown_form(const std::string& name, std::size_t& width) {
    std::string out;
    width = 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name.data());
    std::size_t at = 0;
    while (at < name.size()) {
        std::size_t before = out.size();
        unsigned char byte = bytes[at];
        std::size_t taken = 1;
        if (byte < 0x20 || byte == 0x7F) {
            out += '^';
            out += static_cast<char>(byte ^ 0x40);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            std::uint32_t code_point = 0;
            int character = utf8_character(bytes + at, name.size() - at, code_point);
            if (character > 0 && code_point > 0x9F) {
                taken = static_cast<std::size_t>(character);
                out.append(name, at, taken);
                width += columns_of(code_point);  // however many bytes
                at += taken;
                continue;
            }
            if (character > 0) {
                taken = static_cast<std::size_t>(character);
                add_hex(out, "<U+00", code_point);
            } else {
                add_hex(out, "<", byte);
            }
        }
        width += out.size() - before;
        at += taken;
    }
    return out;
}

void make_labels(const std::vector<label_request>& files, bool colours) {
    std::unordered_map<std::string, int> last_parts;
    for (const label_request& file : files) ++last_parts[file.name->substr(file.last_part)];
    std::size_t widest = 0;
    for (const label_request& file : files) {
        std::string last = file.name->substr(file.last_part);
        file.label->shown_name = shown_form(label_text(last_parts[last] > 1 ? *file.name : last), file.label->width);
        if (file.label->width > widest) widest = file.label->width;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        file_label& label = *files[i].label;
        label.prefix.clear();
        if (colours) label.prefix += palette[i % (sizeof palette / sizeof palette[0])];
        label.prefix += label.shown_name;
        label.prefix.append(widest - label.width, ' ');
        label.prefix += "| ";
        if (colours) label.prefix += colour_end;
        label.ascii = true;
        for (char c : label.prefix) {
            if (static_cast<unsigned char>(c) >= 0x80) label.ascii = false;
        }
    }
}
