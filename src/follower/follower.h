// The file follower: the state the start-up hands to the follower thread,
// one record per followed file under it, and the pieces of that thread
// (reading chunks, finding the last lines, which file is read from where,
// when to look again). What a console shows of the chunks is in
// shown/shown.h.
//
// A chunk is the unit in which a followed file is read and shown: bytes
// from the read position up to and including the first line feed, or 255
// bytes, or up to the end of the data there is now, whichever comes first.
// A line of up to 254 bytes and its line feed is one chunk; a longer line
// is several. In a UTF-16 file the line feed is the code unit 000A and a
// piece is 254 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "shown/labels.h"
#include "shown/shown.h"

const std::size_t chunk_max = 255;
// Room for a chunk, the carriage return and line feed normalize_chunk may
// add, and a terminating zero byte.
const std::size_t chunk_buffer_size = chunk_max + 3;
// Files are read in blocks of this size, and chunks cut from them in memory.
const std::size_t read_block_size = 64 * 1024;
// How many of the last bytes read are kept to recognise the file later.
const std::size_t recent_max = 64;

// What is read of a file and not shown yet, and what is known of it. The
// bytes themselves are in the one read block that serves every file
// (follow_state): [block_start, block_end) of it while this file holds the
// block, in carry while another does. file_pos is the file offset just
// after them.
struct read_ahead {
    std::int64_t modified_seen = 0;  // the file's stamp at the last look
    std::size_t block_start = 0;
    std::size_t block_end = 0;
    std::int64_t file_pos = 0;
    std::string carry;
    // Where the file ended when its last lines were found: what is before
    // it is shown at once, in one turn.
    std::int64_t first_end = 0;

    // A regular file is read at explicit offsets, each read starting on the
    // last bytes read before file_pos (recent), to notice a writer that
    // truncated the file and wrote it past our position again.
    bool regular_file = false;
    char recent[recent_max];
    std::size_t recent_length = 0;
    // A file whose size reads 0 although it holds data (/proc, /sys): it is
    // read as a stream, and its size taken for nothing.
    bool size_says_nothing = false;
    // How its bytes are text, looked at afresh whenever it is read from its
    // start: a UTF-16 file's chunks end at the code unit 000A.
    text_encoding encoding = encoding_undecided;
};

// How often trail looks at a file, and at its name, where nothing tells it
// of changes: while it waits for the file, and while data keeps coming.
const int poll_ms = 100;

// How many files that stood at a followed name after the open one are kept
// open, waiting for their turn.
const int most_later_files = 32;

// A file seen at the followed name after the open one, and when it was
// last seen to grow.
struct later_file {
    file_ref file = no_handle;
    file_identity identity;
    std::int64_t size = -1;
    std::int64_t changed_ms = 0;
    std::string name;  // for a pattern, the match's path
};

// The followed name and the files it has stood for: the open one, then
// every other file seen at the name since, oldest first, each kept open
// from the first look that saw it so that none of its bytes is missed.
struct name_watch {
    file_identity open_identity;    // the identity of watched_file
    std::int64_t open_size = -1;    // its size at the last look
    std::int64_t open_changed_ms = 0;  // when that size was last seen to change
    bool open_named = true;  // a name still led to it at the last look
    std::vector<later_file> later;
    std::int64_t next_look_ms = 0;  // when the name is due for a look
};

// A followed name whose last part holds * or ?: the files of that folder
// that match it, taken one after the other (pattern.cpp).
struct pattern_watch {
    bool active = false;
    std::string folder;   // the folder part, its separator included; "" for here
    std::string pattern;  // the last part
    // When the folder was last modified, at the last look. It is read again
    // when that changes, and while it is less than a second ago: two files
    // made within one tick of its clock leave it as it was after the first.
    bool folder_seen = false;
    std::int64_t folder_modified_ns = 0;
    // Read again at the next look all the same (a match could not be kept).
    bool read_again = false;
    // Every file that has matched and is still there, or is held: none of
    // them is shown again from its start. Sorted.
    std::vector<file_identity> known;
    bool opened_any = false;  // a match has been followed since the start
};

// When a file is looked at again (wake.cpp).
struct wake_up {
    // Every change to the open file and to its name wakes the follower, as
    // far as the last watch taken can tell.
    bool trusted = false;
    bool watched = false;        // a watch has been taken for it
    bool look = false;           // due for a look now
    int folder_index = -1;           // its folder in follow_state::folders
    std::int64_t next_poll_ms = 0;   // where it is not told: the next look
    std::int64_t next_watch_ms = 0;  // where it is not told: the next try to be
    std::string folder;  // the folder of the followed name
};

// A folder of followed names, as its last safety look found it: a name in
// it can only have come to stand for another file if it changed.
struct folder_seen {
    std::string path;
    file_identity identity;
    std::int64_t modified_ns = 0;
    unsigned last_look = 0;  // the safety look that looked at it last
    bool changed = false;    // at that look
};

// What a console shows of a file's chunks, kept only where the output is a
// console.
struct console_side {
    shown_text shown;
    file_label label;
};

// One followed file: a FILE of the command line. (What the look each
// second reads comes first: a thousand of them are looked at together.)
struct followed_file {
    int key = 0;              // its place among the followed files
    bool ready = false;       // may have data to read now
    bool serving = false;     // in follow_state::serving
    bool said_waiting = false;  // its line saying it is waited for was shown
    bool header_due = false;  // into a pipe: its header goes out even with no data
    // The same file as one named before it: not followed.
    bool duplicate = false;
    file_ref watched_file = no_handle;
    wake_up wake;
    name_watch name_seen;
    read_ahead reading;
    const char* given = "";   // its name as given
    std::string name;         // the name shown for it: as given, or the match read
    pattern_watch pattern;
    // What a console shows of its chunks (none when raw_output).
    std::unique_ptr<console_side> console;
};

// The one record the start-up fills and the follower thread reads. The
// start-up writes every setting before the follower starts; afterwards the
// follower alone touches the files, the ring and the read block.
struct follow_state {
    char** arg_list = nullptr;        // the program's name first
    std::int32_t arg_count = 0;       // entries of arg_list, its null end left out
    std::int32_t file_arg_index = 1;  // where the first followed file's name is
    std::int32_t ring_size = 0;       // line count + 1
    std::int64_t* offset_ring = nullptr;
    std::int32_t ring_pos = 0;  // the ring's next slot to write
    console_handle console_out = no_handle;
    // Where the waiting message and the blanking line go: a console, or
    // no_handle when there is none to show them on.
    console_handle status_out = no_handle;
    // Standard output is not a console: chunks go out exactly as the file
    // holds them, with nothing added or dropped.
    bool raw_output = false;
    // How a console shows text (copied into each file's shown_text), and
    // whether labels may have colours (NO_COLOR unset).
    bool highlight = false;
    bool wide_console = false;
    bool label_colours = true;

    std::vector<followed_file> files;
    // Several FILE arguments were given: each file's output is told apart,
    // by a header into a pipe, a label on a console.
    bool several = false;

    // The read block every file reads into, and the file whose bytes it
    // holds. Room for a whole block of new data after the recent bytes that
    // each read of a regular file takes again (reads of a whole 64 KiB pass
    // through a pipe markedly faster).
    char read_block[recent_max + read_block_size];
    followed_file* block_owner = nullptr;
    // Among several files one is read at a time, a block per turn, so that
    // a file written flat out cannot hold up the others.
    bool turn_limited = false;
    int turn_reads = 0;
    bool turn_over = false;  // a read was refused: the file has had its turn

    // Waking on change (wake.cpp).
    bool watch_opened = false;
    change_ref watch = no_handle;
    change_news news;
    std::int64_t next_safety_look_ms = 0;
    unsigned safety_looks = 0;
    std::vector<folder_seen> folders;
    // The files due a look now, those that may have data to read, and
    // those looked at on time alone (found again when polled_stale).
    std::vector<int> due;
    std::vector<int> serving;
    std::vector<int> polled;
    bool polled_stale = true;
    // How many files are open; while none is, when the waiting message is
    // due again. waiting_changed: a file has come to be waited for.
    int open_count = 0;
    std::int64_t next_message_ms = 0;
    bool waiting_changed = true;

    // What goes out (output.cpp).
    labels_in_use labels;
    header_state headers;
    std::string pending_output;  // into a pipe: small writes gathered
};

// The process's state, filled by the start-up and read by follow_file.
extern follow_state shared_follow_state;

// The follower thread's body: waits for the followed files, shows their
// last lines, then everything appended to them. Never returns.
void follow_file();

// Adds the followed files named on the command line: each name once (a
// name given twice, or two names of one file, at its first place).
void add_followed_files(follow_state& state);

// A record for one more followed file named name, ready to be waited for.
followed_file& add_followed_file(follow_state& state, const char* name);

// --- Reading (read_chunk.cpp) ---

// Reads the next chunk into chunk (at least chunk_buffer_size bytes), ends
// it with a zero byte and returns its length; 0 when there is no data at
// the read position for now. A UTF-16 file's chunks are whole code units,
// and the encoding is decided by the first bytes of the file's text.
std::size_t read_chunk(follow_state& state, followed_file& file, char* chunk);

// The same, without the copy: bytes points at the chunk (not followed by a
// zero byte) until the next read.
std::size_t next_chunk(follow_state& state, followed_file& file, const char*& bytes);

// The file offset of the next chunk read_chunk will return.
std::int64_t read_position(const follow_state& state, const followed_file& file);

// Makes the read block hold the file's unread bytes, setting aside those of
// the file that held it.
void claim_block(follow_state& state, followed_file& file);

// Records bytes just read, which end at file_pos, as the most recent.
void remember_read(read_ahead& reading, const char* bytes, std::size_t length);

// Moves the read position to offset, dropping the read-ahead.
void move_to(follow_state& state, followed_file& file, std::int64_t offset);

// What the read-ahead holds now, without taking it (nothing is read);
// take_read_ahead takes the first length bytes of it.
std::size_t read_ahead_held(follow_state& state, followed_file& file, const char*& bytes);
void take_read_ahead(followed_file& file, std::size_t length);

// Takes all the read-ahead holds, reading more first if it is empty, and
// returns its length (0 when there is no data for now); bytes points at it
// until the next read.
std::size_t read_available(follow_state& state, followed_file& file, const char*& bytes);

// --- Which file, read from where (which_file.cpp) ---

// Whether trail holds the file open for this name: the one it reads, or one
// waiting its turn.
bool holds_file(const followed_file& file, const file_identity& identity);

// Keeps a file just opened at the followed name (or matching it) to be read
// in its turn, after the open one and those kept before it. False when
// there is no room for more.
bool keep_for_later(followed_file& file, file_ref opened, const file_facts& facts, std::int64_t now,
                    const std::string& name);

// One try to open the followed name (or the pattern's next match); true
// when it opened: the file becomes watched_file, read from its start.
bool try_to_open(follow_state& state, followed_file& file);

// Starts reading watched_file, just opened, from its start: what kind of
// file it is, and which file it is. Its encoding is told by its first
// bytes, unless the caller reads them itself (tell_encoding false).
void begin_file(follow_state& state, followed_file& file, bool tell_encoding = true);

// Called after data was read: looks at the name when a look is due, so
// that files replacing the open one are kept from the first moment.
void after_data(follow_state& state, followed_file& file);

// Whether the open file's size, modification or names are not what the
// last look found: the safety look's question, where watches serve.
bool changed_since_look(const followed_file& file);

// Called when the open file may have changed: whether there may be
// something to read now. Looks at the name, goes back to the start of a
// truncated file, moves on to the next file once the open one has been
// replaced or deleted and has stayed quiet, and lets a deleted one go.
bool may_have_new_data(follow_state& state, followed_file& file);

// --- The last lines (locate.cpp) ---

// Moves the read position of the freshly opened file to the first of its
// last ring_size - 1 chunks (0 when it has no more than that) and returns
// that offset. A regular file is searched backwards from its end; a pipe
// or device is left where it is. buffer is scratch space of
// chunk_buffer_size bytes.
std::int64_t locate_last_lines(follow_state& state, followed_file& file, char* buffer);

// The offset where the last count chunks of the file's first size bytes
// begin, found by reading backwards from size; the read position is left
// there. -1 if a read failed or fell short.
std::int64_t find_last_lines_start(follow_state& state, followed_file& file, std::int64_t size, std::int64_t count);

// The same place found by one forward pass from the read position (the
// file's start), keeping the last ring_size chunk starts in offset_ring.
// Works on any stream; moves the read position there and returns it.
std::int64_t locate_last_lines_forward(follow_state& state, followed_file& file, char* buffer);

// The last line feed in bytes[0, length), or null, found eight bytes at a
// time: the search where the C library has no memrchr.
const char* last_line_feed_by_words(const char* bytes, std::size_t length);

// --- When to look again (wake.cpp) ---

// Watches the file's open file (when one is open) and its name for
// changes, before they are looked at: a change after this wakes the next
// wait.
// facts: what a look at the open file found just now, if that was made.
void watch_followed(follow_state& state, followed_file& file, const file_facts* facts = nullptr);

// The follower's wait when nothing was read: until a change may have come
// to a file, or it is time to look at some all the same. Marks the files
// due for a look (wake.look), and takes their watches again where lost.
// at_once: takes in what has come without waiting, while data flows.
void wait_for_news(follow_state& state, bool at_once = false);

// Marks the file due a look (follow_state::due), or ready to be read
// (follow_state::serving), once.
void mark_due(follow_state& state, followed_file& file);
void mark_ready(follow_state& state, followed_file& file);

// The same, when the file has no watch yet, or none it can trust and a
// second has passed since it last asked for one; true when it watched.
bool watch_if_due(follow_state& state, followed_file& file);

// --- Names with wildcards (pattern.cpp) ---

// The last part of a path: what follows its last folder separator.
const char* last_part(const char* name);

// Whether the last part of name holds * or ?.
bool has_wildcard(const char* name);

// Whether name matches pattern: * stands for any run of characters, ? for
// exactly one (a UTF-8 character), everything else for itself, ignoring
// case (ASCII letters) when asked.
bool wildcard_match(const char* pattern, const char* name, bool ignore_case);

// Makes the followed name a pattern when it holds a wildcard and no file
// stands at it literally.
void decide_pattern(followed_file& file);

// Opens the match to follow when no file is open: at the start the newest
// (latest modification, then the name last in byte order), later the
// oldest of those that have come to match since; its path goes to name.
// no_handle when there is none.
file_ref open_next_match(followed_file& file, std::string& name);

// Reads the folder again if it may have changed, and keeps every regular
// file that has come to match since, in the order of their modification,
// to be read in its turn.
void look_at_pattern(followed_file& file);

// --- What goes out (output.cpp) ---

// Shows what can be read of the file now, in one turn, with its header or
// label among several files; returns how many bytes of the file it took.
std::size_t serve_file(follow_state& state, followed_file& file, shown_batch& batch);

// Sends out what is gathered for the console or the pipe.
void flush_output(follow_state& state, shown_batch& batch);

// The status texts: the waiting message while no file is open, the
// blanking line once one opens, and among several files a line for each
// file that is waited for while others are followed.
void show_waiting_message(follow_state& state, shown_batch& batch);
void show_blanking_line(follow_state& state, shown_batch& batch);
void show_file_waited_for(follow_state& state, followed_file& file, shown_batch& batch);

// Works out the labels again after a file's shown name changed.
void name_changed(follow_state& state);
