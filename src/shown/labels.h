// Telling several files' output apart: a header into a pipe or a file, a
// label on every line on a console (labels.cpp).
//
// Into a pipe the bytes between headers are exactly a file's bytes, under
// the header convention of the tail programs: "==> NAME <==" and a line
// feed before a file's bytes whenever they come from another file than the
// last bytes written, with a line feed before every header but the first.
//
// On a console the lines of several logs interleave, so each console line
// starts with its file's label: the name, padded to the widest label in
// use, then "| ", in a colour of its own where the console renders colours.
// A name is text like any other: its controls show in caret form.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Into a pipe: whose bytes went out last.
struct header_state {
    bool any = false;  // a header has gone out
    int last_key = -1;
    std::string last_name;
};

// Appends the header for the bytes of the file with this key and name to
// out, when a header is due (always, when forced); true when one was.
bool add_header(header_state& headers, int key, const std::string& name, bool forced, std::string& out);

// The most of a name a label shows (of a longer one, its end).
const std::size_t label_max_bytes = 255;

// A file's label on a console.
struct file_label {
    std::string shown_name;  // the name as the console shows it
    std::size_t width = 0;   // in the terminal's columns
    bool ascii = true;       // the prefix is ASCII alone
    // What goes before each of its lines: its colour, the name padded to
    // the widest label, "| ", and the colour's end.
    std::string prefix;
};

// One file's name for its label: the whole name, and where its last part
// begins.
struct label_request {
    const std::string* name;
    std::size_t last_part;
    file_label* label;
};

// Gives each file its label: the last part of its name when no other file
// has the same last part, else the name as given; all padded to the
// widest. colours: each label in a colour of its own, by its place.
void make_labels(const std::vector<label_request>& files, bool colours);

// The name as a console shows it, every control as text; width: how many
// columns it takes there.
std::string shown_form(const std::string& name, std::size_t& width);
