// The file follower: the thread that follows every file of the command
// line, and its pieces (reading chunks, finding the last lines, which file
// is read from where, when to look again, what goes out). Its records are
// in state.h; what a console shows of the chunks is in shown/shown.h.
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
#include <string>

#include "follower/state.h"

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
// when it opened: the file becomes watched_file, read from its start, and
// facts what a look at it found as it opened.
bool try_to_open(follow_state& state, followed_file& file, file_facts& facts);

// Starts reading watched_file, just opened, from its start: what kind of
// file it is, and which file it is. Its encoding is told by its first
// bytes, unless the caller reads them itself (tell_encoding false).
// opened: a look at it made as it opened, if there is one.
void begin_file(follow_state& state, followed_file& file, bool tell_encoding = true,
                const file_facts* opened = nullptr);

// Called after data was read: looks at the name when a look is due, so
// that files replacing the open one are kept from the first moment.
void after_data(follow_state& state, followed_file& file);

// Whether the open file's size, modification or names are not what the
// last look found: the safety look's question at a stream, where watches
// serve.
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
// chunk_buffer_size bytes. opened: a look at it made as it opened, if there
// is one.
std::int64_t locate_last_lines(follow_state& state, followed_file& file, char* buffer,
                               const file_facts* opened = nullptr);

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

// Whether a write to the open file wakes the follower: its watch can be
// trusted, and it is not being read out after its name moved on.
bool writes_are_told(const followed_file& file);

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
file_ref open_next_match(followed_file& file, std::string& name, file_facts& facts);

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
