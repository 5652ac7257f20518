// The follower's records: follow_state, the one record of the process,
// and under it a followed_file for each file of the command line (what is
// read of it, which file its name stands for, when to look at it again,
// what a console shows of it). The functions that work on them are in
// follower.h.
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
    // The last read gave less than it asked for: the file ended there then.
    bool ended_at_read = false;
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
    int folder_index = -1;           // the folder of its name, in follow_state::folders
    std::int64_t next_poll_ms = 0;   // where it is not told: the next look
    std::int64_t next_watch_ms = 0;  // where it is not told: the next try to be
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
    // The identities of the files opened so far, a bit per hash (sized with
    // the files): a clear bit means no other name stands for the file.
    std::vector<std::uint64_t> opened_bits;
    // How many files are open; while none is, when the waiting message is
    // due again. waiting_changed: a file has come to be waited for.
    int open_count = 0;
    std::int64_t next_message_ms = 0;
    bool waiting_changed = true;

    // What goes out (output.cpp).
    header_state headers;
    std::string pending_output;  // into a pipe: small writes gathered
};
