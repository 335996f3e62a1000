// The file operations that differ between POSIX and Windows: what a path is,
// opening by a UTF-8 name, identities and times of open files, creating a
// backup, 64-bit positions and listing a folder.
#ifndef TXD_DEPTH_FIX_FILE_ACCESS_H
#define TXD_DEPTH_FIX_FILE_ACCESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A name and the folder it is relative to. On POSIX, folder is an open
// descriptor of the folder, or PLACE_CWD, so that paths deeper than PATH_MAX
// still open; on Windows folder is always PLACE_CWD and name the whole path.
constexpr int PLACE_CWD = -1;
struct place {
	int folder;
	const char *name; // UTF-8 on every host
};

enum path_kind { PATH_MISSING, PATH_FOLDER, PATH_REGULAR, PATH_OTHER };

// What a path is, following a symbolic link; PATH_MISSING with errno set when
// it cannot be told.
path_kind kind_of_path(const char *path);

// Opens a binary stream for reading, and for writing too when update is
// set; never creates or truncates, never waits for a FIFO's other end and,
// with follow unset, never follows a symbolic link. Null with errno set.
std::FILE *open_file(place where, bool update, bool follow = true);

// Reads up to n of the first bytes of the file at where, never following a
// link and never waiting for a FIFO: an open, a read and a close, the
// least a file of neither kind can cost. False with errno set.
bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got);

// Creates where for writing; fails with EEXIST when it exists already.
// remove_file takes away a file that create_new_file made, as far as it can.
std::FILE *create_new_file(place where);
void remove_file(place where);

// Access and modification times, in the platform's own units.
struct file_times {
	std::int64_t access, modify;
};

// What the run needs to know of an open file, from one look at it.
struct file_facts {
	bool regular;
	std::uint64_t volume, index; // the same pair means the same file
	file_times times;
};

// Looks at an open file; false with errno set when it cannot. A regular
// file keeps the O_NONBLOCK it was opened with: it means nothing there.
bool inspect_file(std::FILE *f, file_facts *facts);
bool set_file_times(std::FILE *f, const file_times &times);

bool is_terminal(std::FILE *f);

// Whether f is a Windows console, where UTF-8 bytes would be read in the
// console's code page; write_console writes text to it as the characters
// they are. Never a console elsewhere.
bool is_console(std::FILE *f);
bool write_console(std::FILE *f, const char *text, std::size_t n);
bool seek_to(std::FILE *f, std::uint64_t pos);

// The file's length in bytes; false with errno set when it has none.
bool file_length(std::FILE *f, std::uint64_t *length);

// One name in a folder and what the folder says it is. Symbolic links (on
// Windows every reparse point), FIFOs, sockets and devices are ENTRY_OTHER.
enum entry_kind { ENTRY_FOLDER, ENTRY_FILE, ENTRY_OTHER };
struct folder_entry {
	const char *name;
	entry_kind kind;
};

// The names of one folder, "." and ".." left out, in the order the folder
// gives them; handle is the folder's open descriptor on POSIX (for places
// below it), PLACE_CWD on Windows.
struct folder_listing {
	int handle;
	folder_entry *entries;
	std::size_t count;
	char *names; // the text behind every entry's name
};

// Lists the folder at where (a link is followed only when follow is set).
// False with errno set when it cannot be listed; the listing then holds
// nothing to release.
bool list_folder(place where, bool follow, folder_listing *listing);
void release_listing(folder_listing *listing);

#ifdef _WIN32
// A wide string of the system's as UTF-8, in memory of its own; null when
// it cannot be converted or held.
char *utf8_from_wide(const wchar_t *wide);
#endif

// Where a name of the listing is opened: below the listed folder's
// descriptor on POSIX, by its whole path on Windows.
place place_in(const folder_listing &listing, const char *name, const char *path);

#endif
