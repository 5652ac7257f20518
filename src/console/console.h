// The few console, file, thread and process operations trail needs from the
// platform. Portable code includes this header and nothing else of the
// platform's; each platform's backend (posix.cpp, win32.cpp) is chosen by the
// build and honours what is promised here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A handle on one of the process's standard streams, or on the open watched
// file. The value no_handle means "none".
typedef std::intptr_t console_handle;
typedef std::intptr_t file_ref;
const std::intptr_t no_handle = -1;

// Columns and rows of a console screen buffer or window.
struct console_size {
    int columns;
    int rows;
};

// --- Command line ------------------------------------------------------------

// The process's arguments, the program's name first and a null entry last,
// as UTF-8 text; argc is set to their number. Where the platform hands the
// program wide (UTF-16) arguments, they are converted, so that any file
// name can be given; elsewhere argv itself comes back.
char** command_line_arguments(int& argc, char** argv);

// --- Standard streams -------------------------------------------------------

// The process's standard output and standard error. Never no_handle: a
// stream the process was started without is replaced by a sink that
// discards what is written, so its slot cannot be taken by a file we open.
console_handle console_output();
console_handle console_error();

// True when the handle is an interactive console (a terminal), false for a
// pipe, a file or a device.
bool is_console(console_handle handle);

// Writes length bytes, retrying after partial writes and interruptions. A
// pipe or a file gets the bytes as they are; a console shows them as
// characters: a POSIX terminal reads them as UTF-8, a Windows console as
// characters of its code page (WriteConsoleA). Nothing is changed or
// looked at on the way.
// Returns the number of bytes written: less than length only when the
// platform reported an error. When the handle's reader has gone away (the
// read end of a pipe closed, the terminal hung up) the control handler is
// run, as for any other control event, and this call does not return.
std::size_t console_write(console_handle handle, const char* text, std::size_t length);

// Whether the console takes text beyond its code page as UTF-16, through
// console_write_wide (a Windows console), rather than every byte written
// as UTF-8 (a POSIX terminal).
bool console_takes_wide_text(console_handle handle);

// Writes count UTF-16 code units of text to a console that takes wide text
// (WriteConsoleW), its code page untouched. Returns the number written: 0
// when the console took none, or takes no wide text.
std::size_t console_write_wide(console_handle handle, const std::uint16_t* units, std::size_t count);

// Writes a few bytes to a console only as far as it takes them at once: for
// the way out, which must not wait on a terminal that takes no output.
// Safe in a signal handler.
void console_write_at_once(console_handle handle, const char* text, std::size_t length);

// Lets a console render the escape sequences in the text written to it
// (colours: ESC [ 31 m), where it does not already and accepts the change;
// end_process() puts the console's output mode back. Nothing else of the
// console changes (its code page least of all). A POSIX terminal renders
// them always: there this changes nothing. Returns whether the console
// renders them now.
bool render_escape_sequences(console_handle handle);

// --- Keyboard ----------------------------------------------------------------

// Blocks until a key is pressed and returns its character code, without echo
// and without waiting for Enter. Ctrl+C typed as a character comes back as 3
// where the platform delivers it that way.
//
// The first call puts the console's input into the mode this needs; the
// mode is restored by end_process() and whenever the process is suspended,
// and is changed only while the process owns the console's foreground.
//
// When the process has no keyboard (standard input is not a console, or it
// has reached its end) the call waits without using the processor and never
// returns a key: the program then ends only through a control event. While
// it waits it also watches standard output, and a standard output whose
// reader has gone away is reported as a control event.
int read_key();

// --- Console buffer -----------------------------------------------------------

// The size of the largest window the console could have; {0, 0} if unknown.
console_size largest_window_size(console_handle handle);

// Gives the console's screen buffer that size. Where the buffer always has
// its window's size (a terminal) this changes nothing.
void set_screen_buffer_size(console_handle handle, console_size size);

// --- Files -------------------------------------------------------------------

struct file_facts;

// Opens a file for reading raw bytes, letting other programs go on writing,
// truncating, renaming and deleting it. Returns no_handle when it cannot be
// opened or names a directory. Never blocks on a FIFO or device.
// facts, when given, receives look_at_file's look at the file opened (on
// POSIX the open has made it already); a file that cannot be looked at is
// then not opened.
file_ref open_for_reading(const char* name, file_facts* facts = nullptr);

// Reads up to max bytes at the file's position and moves past them. Returns
// the number read, 0 when there is no data there for now, -1 on an error.
std::int64_t read_file(file_ref file, char* buffer, std::size_t max);

// Reads up to max bytes at offset without moving the file's position.
// Returns the number read, or -1 on an error.
std::int64_t read_file_at(file_ref file, std::int64_t offset, char* buffer, std::size_t max);

// Which file a name or an open file stands for: two equal identities are
// the same file (POSIX: device and inode; Windows: volume serial number and
// file index). Numbers are unique among files that are open or named; a
// file released after its last name went may lend its number to the next.
struct file_identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};

inline bool same_file(const file_identity& a, const file_identity& b) {
    return a.volume == b.volume && a.index == b.index;
}

// What one look at an open file tells.
struct file_facts {
    file_identity identity;
    // Its size in bytes, or -1 when it has none (a pipe, a device).
    std::int64_t size = -1;
    // A stamp of its last modification that changes whenever it is written.
    std::int64_t modified = 0;
    // Whether any name still leads to it: false once it has been deleted
    // (POSIX: no link left; Windows: delete pending, or gone).
    bool named = true;
};

// Looks at an open file. False when it cannot be asked.
bool look_at_file(file_ref file, file_facts& facts);

// The size of an open regular file, asked more cheaply than look_at_file
// asks (the look made at a thousand files each second). -1 when it cannot
// be asked. It may move the file's position: for files read with
// read_file_at only.
std::int64_t size_of_file(file_ref file);

// The identity of the file that name stands for now, following symbolic
// links. False when there is none that open_for_reading could open there
// (missing, a directory, no access, being deleted).
bool look_at_name(const char* name, file_identity& identity);

// Moves the file's position to offset bytes from its start. False on failure.
bool seek_file(file_ref file, std::int64_t offset);

// Closes a file. The program keeps the watched file open to the end; this
// is for callers that open many.
void close_file(file_ref file);

// --- Folders -----------------------------------------------------------------

// How the platform's names work: the characters that end the folder part
// of a path (POSIX "/"; Windows "\\", "/" and the drive's ":"), and whether
// names that differ only in case name the same file (Windows).
const char* folder_separators();
bool names_ignore_case();

// A folder open for reading its entries.
typedef std::intptr_t folder_ref;

// Opens a folder to list its entries; "" is the current folder. Returns
// no_handle when it cannot be read.
folder_ref open_folder(const char* path);

// The name of the folder's next entry, as UTF-8 ("." and ".." left out;
// on Windows the long name, never the short 8.3 one), valid until the next
// call; null when there are no more.
const char* next_folder_entry(folder_ref folder);

void close_folder(folder_ref folder);

// What a look at a name tells, following symbolic links: which file it is,
// when it was last modified (in nanoseconds since 1970 UTC, as finely as
// the file system keeps it; for a folder, when an entry was last added,
// removed or renamed), and whether it is a regular file (not a folder,
// pipe or device).
struct entry_facts {
    file_identity identity;
    std::int64_t modified_ns = 0;
    bool regular = false;
};

// False when nothing is there, or it cannot be looked at. Never stands in a
// writer's way.
bool look_at_entry(const char* path, entry_facts& facts);

// --- Waking on change ----------------------------------------------------------

// Where the kernel tells of changes to files and folders (inotify, kqueue),
// a follower can sleep until something may have changed instead of looking
// again and again. A notification only says "look now": what changed is
// always found by looking.
//
// One watch serves many followed files. Each is known by a key, a small
// number the caller chooses (0, 1, 2, ...); a folder that several keys
// watch is watched once, for all of them.
typedef std::intptr_t change_ref;

// What a wait for changes found.
struct change_news {
    // Notifications were lost (the kernel's queue overflowed): any key may
    // have changed.
    bool everything = false;
    // Keys whose file, or whose entry of their folder, may have changed; a
    // key may come more than once.
    std::vector<int> keys;
    // Keys whose watch the kernel has let go (their folder was deleted or
    // renamed, say): until they are watched again, nothing wakes for them.
    std::vector<int> lost;
};

// Opens a source of change notifications. no_handle where the platform has
// none, or refuses one (too many in use, no memory); nothing is said about
// it on the console.
change_ref open_change_watch();

// What one key watches: an open file, for changes to its data, its names
// and its attributes, and a folder, for one of its entries (or any)
// being created, deleted or renamed.
struct watch_target {
    file_ref file = no_handle;        // the open file, or none
    // The name the file was opened by, while key watched the folder that
    // name is in: a cheaper way to the file for the kernel. Should the name
    // stand for another file by now, the folder's news tells of it.
    const char* file_path = nullptr;
    // What a look at the file found just now, when the caller has it: the
    // backend need not look again.
    const file_facts* facts = nullptr;
    const char* folder = nullptr;     // a path, "" for the current folder; or none
    const char* entry = nullptr;      // the entry of the folder; none: every entry
};

// Watches target for key, in place of whatever key watched before; with
// neither a file nor a folder, key watches nothing.
// Returns true only when every such change will wake wait_for_change and
// name key in its news: both are on a file system that only this kernel
// writes (a local disk, tmpfs; not NFS, SMB, FUSE, 9p, overlays or one of
// a type not known), the file is a regular file, and the kernel took both
// watches. False otherwise, or for no_handle: then only time wakes it.
// Costs a few system calls: call it when key's file or folder changes, or
// its watch was lost.
bool watch_changes(change_ref watch, int key, const watch_target& target);

// Waits until something watched may have changed, or milliseconds have
// passed, takes in every notification that had come, and tells in news
// (emptied first) which keys they were for. With no_handle it pauses for
// the time and news stays empty.
void wait_for_change(change_ref watch, int milliseconds, change_news& news);

// Lets a watch go, with all it watches. The follower keeps its own to the
// end; this is for callers that make many.
void close_change_watch(change_ref watch);

// --- Threads, time, process -----------------------------------------------------

// Raises the number of files the process may hold open to the most the
// system lets it (the hard limit; on macOS no more than OPEN_MAX), as a
// program that follows many files must, and readies the process's table of
// them for about count files. Called before any thread starts: the table
// grows slowly once several threads share it. Best effort: nothing is said
// when it cannot.
void raise_open_file_limit(int count);

// Starts a thread running body. Platform signals are never delivered to it.
// False if the thread could not be started.
bool start_thread(void (*body)());

// Pauses the calling thread for the given number of milliseconds.
void pause_ms(int milliseconds);

// Milliseconds on a clock that only moves forward (not the time of day).
std::int64_t clock_ms();

// The time of day, in nanoseconds since 1970 UTC: what a file modified now
// has as its modified_ns.
std::int64_t time_of_day_ns();

// Makes handler run for every control event: Ctrl+C or Ctrl+Break as an
// event, the console closed, logoff, shutdown, and on POSIX the signals
// SIGINT, SIGTERM, SIGHUP and SIGQUIT. The handler may run on any thread, in
// a signal handler where the platform has them: it must end the process
// through end_process() and do nothing else.
void set_control_handler(void (*handler)());

// Ends the process at once with exit code 0, from any thread, also inside a
// signal handler. Restores the console's input mode if read_key changed it,
// and its output mode if render_escape_sequences did.
// Nothing is flushed: every write above goes straight to the platform.
[[noreturn]] void end_process();
