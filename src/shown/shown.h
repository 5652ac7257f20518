// What a terminal or console shows for the bytes of the watched file.
//
// A log's lines are written by others: a request path, a user name, a
// message body. Written to a terminal as they are, they could command it:
// retitle the window, write the clipboard, wipe the scrollback, move the
// cursor to forge lines, or make the terminal type answers into trail's (and
// then the shell's) input. So on a terminal or console:
// - colour (SGR: ESC [ digits ; : ... m) and erase to the end of the line
//   (ESC [ K, ESC [ 0 K) pass as the file holds them;
// - every other control shows as text in caret notation (ESC as ^[, BEL as
//   ^G, DEL as ^?, a CR that does not end a line as ^M), and the rest of a
//   sequence that was not let through as the plain text it is;
// - C1 controls, which terminals take from UTF-8 too, show as <U+009B>, and
//   on a terminal that reads UTF-8 a raw byte 0x80-0x9F that is not part of
//   UTF-8 as <9B>;
// - TAB, LF and a CR directly before LF are unchanged; a zero byte ends the
//   chunk's text (one at its very start is skipped), and a chunk that does
//   not end in a line feed is ended as a console line (CR LF added).
// A sequence, a UTF-8 character or a CR cut by the end of a chunk is carried
// on to the next chunk, so that no part of it goes through alone.
//
// A file that begins with a UTF-16 byte-order mark is read as UTF-16: its
// chunks end at the code unit 000A, and their text is decoded and then goes
// through the same rules.
//
// Into a pipe or a file none of this applies: the bytes go out as they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/console.h"
#include "shown/labels.h"

// How the watched file's bytes are text. Undecided until its first two bytes
// are there to tell.
enum text_encoding { encoding_undecided, encoding_bytes, encoding_utf16le, encoding_utf16be };

// The encoding that a file's first bytes announce: UTF-16 when they are a
// byte-order mark (FF FE little-endian, FE FF big-endian), else bytes as
// they are. Undecided while fewer than two bytes are there and those could
// still begin a mark, unless no more can come.
text_encoding encoding_of_start(const char* bytes, std::size_t length, bool more_may_come);

// A UTF-16 chunk ends after the code unit 000A or after this many bytes,
// which keeps every chunk a whole number of code units.
const std::size_t utf16_chunk_max = 254;

// The longest escape sequence carried from one chunk to the next whole; a
// longer one cut by a chunk's end shows as text.
const std::size_t sequence_max = 64;

// How the console takes text, and what is carried from one chunk to the next.
struct shown_text {
    // The console takes text beyond ASCII as UTF-16 and other bytes as
    // characters of its code page (a Windows console), rather than reading
    // every byte as UTF-8 (a terminal).
    bool wide_console = false;
    // The console renders escape sequences: the caret forms are shown in
    // reverse video, so that they stand out from the same text written
    // literally.
    bool highlight = false;
    // The end of the last chunk that may go on in the next: an escape
    // sequence, a UTF-8 character or a CR.
    char pending[sequence_max] = {};
    std::size_t pending_length = 0;
    // A UTF-16 high surrogate waiting for its low half.
    std::uint16_t pending_unit = 0;
    // The colours the text has set since it last reset them, given again
    // after its label when its lines are labelled.
    char colour[sequence_max] = {};
    std::size_t colour_length = 0;
};

// The console text of a burst of chunks, written in one go. On a wide
// console it is a list of runs: UTF-8 text that is written as UTF-16, and
// bytes that are written as they are (characters of the code page).
// A batch takes chunks while it holds less than shown_batch_target bytes,
// so a log's text goes out in writes of about 32 KiB; past that it has room
// for the most one chunk can add: every byte of a chunk, or of what was
// carried into it, shown as a highlighted form.
const std::size_t shown_batch_target = 32 * 1024;
// A label adds its prefix, the colours it gives again and their resets.
const std::size_t shown_chunk_max = 8 * 1024 + 16 * label_max_bytes + 4 * sequence_max;
const std::size_t shown_batch_size = shown_batch_target + shown_chunk_max;
const int most_text_runs = 64;

// A run goes on to the next run's start, the last to the batch's end.
struct text_run {
    bool wide;
    std::size_t start;
};

struct shown_batch {
    char bytes[shown_batch_size];
    std::size_t used = 0;
    text_run runs[most_text_runs];
    int run_count = 0;
    // Room for a run's text as UTF-16, when it is written.
    std::uint16_t units[shown_batch_size];
    // The console's colours may not be its own: a log's text set some and
    // has not reset them (labelled lines reset them before each label).
    bool colours_left_on = false;
};

// Whether the batch has room for one more chunk.
bool batch_has_room(const shown_batch& batch);

// Adds what the console shows for one chunk: length bytes at chunk, in the
// given encoding. A chunk that starts the file (at offset 0) begins a new text:
// what was carried from before shows as text first, and a byte-order mark
// is not shown. With a label, the console line begins with it, and the
// colours the file's text had left on are given again after it.
void show_chunk(shown_text& text, text_encoding encoding, bool starts_file, const char* chunk, std::size_t length,
                shown_batch& batch, const file_label* label = nullptr);

// The room the batch has before it is full.
std::size_t batch_room(const shown_batch& batch);

// --- Plain text (plain.cpp) ---

// Copies the printable ASCII at the start of bytes to out and returns how
// many bytes that was.
std::size_t copy_printable(const unsigned char* bytes, std::size_t length, char* out);

// Adds to the batch, as they are, the whole lines at the start of text
// that a console shows exactly as they are, each of them one chunk: lines
// of at most chunk_most bytes with their line feed, of printable ASCII,
// TAB and a CR before the line feed. Returns how many bytes that was (0
// when the first line needs a look of its own). What it adds is what
// show_chunk would add for each line, with nothing carried in from before;
// length is at most the batch's room.
std::size_t show_plain_lines(const shown_text& text, shown_batch& batch, const char* bytes, std::size_t length,
                             std::size_t chunk_most);

// --- Colours left on (colours.cpp) ---

// Keeps in text.colour what the colour sequence (ESC [ ... m, whole) leaves
// set, after what earlier ones left.
void note_colours(shown_text& text, const unsigned char* sequence, std::size_t length);

// --- Writing (write.cpp) ---

// Notes that a colour sequence was let through.
void note_colour_passed();

// Writes the batch to the console and empties it. Once the program is
// ending, nothing more is written.
void write_batch(console_handle out, shown_batch& batch);

// Called on the way out, from any thread or a signal handler: stops what is
// shown and, if a colour sequence was let through, resets the console's
// attributes, so that a colour the log left on does not outlive trail.
void end_showing(console_handle out);

// The text of a chunk of length bytes: from its first byte, or its second
// when the first is zero, up to its first zero byte.
const char* chunk_text(const char* buffer, std::size_t length, std::size_t& text_length);

// Prepares a chunk just read for the console: skips one leading zero byte,
// ends the text at its first zero byte, and adds a carriage return and line
// feed when the text does not end in a line feed. Returns the start of the
// text (buffer or buffer + 1), zero-terminated, inside buffer.
char* normalize_chunk(char* buffer);

// --- Text encodings (encodings.cpp) ---

// The length of the UTF-8 character that starts at bytes (at most length
// bytes), its code point in code_point; 0 when the bytes there are not
// UTF-8 (overlong forms, surrogates and values past U+10FFFF are not), and
// -1 when they begin a character that length cuts short.
int utf8_character(const unsigned char* bytes, std::size_t length, std::uint32_t& code_point);

// Whether text is ASCII, UTF-8 beyond ASCII (a character cut short at its
// very end allowed when the text goes on), or neither: then, on a wide
// console, characters of the code page.
enum text_kind { ascii_text, utf8_text, code_page_text };
text_kind kind_of_text(const unsigned char* bytes, std::size_t length, bool goes_on);

// Appends the code point to out as UTF-8 and returns how many bytes it took.
std::size_t put_utf8(std::uint32_t code_point, char* out);

// Converts valid UTF-8 to UTF-16 and returns the number of code units.
std::size_t utf8_to_utf16(const char* bytes, std::size_t length, std::uint16_t* units);
