// What differs between POSIX and Windows in files and folders, behind one
// interface: paths, opening by a UTF-8 name below a folder held open,
// identities and times of open files, creating and naming a backup, 64-bit
// positions. Each platform has files of its own (file_access_posix.cpp;
// file_access_windows.cpp with folder_access_windows.cpp and
// windows_paths.cpp).
#ifndef TXD_DEPTH_FIX_FILE_ACCESS_H
#define TXD_DEPTH_FIX_FILE_ACCESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A folder held open while its names are handled, so that they open below
// it however long its path and whatever its path comes to mean meanwhile.
struct open_folder;

// Where a file is: a name below an open folder, or (folder null) a path as
// the user gave it. shown is the whole path as the tool prints it.
struct place {
	const open_folder *folder;
	const char *name;  // UTF-8 on every host
	const char *shown; // UTF-8 on every host
};

// The separator the platform joins names with; on Windows '/' separates
// too. Whether a folder's path of n bytes needs one before a name.
extern const char PATH_SEPARATOR;
bool needs_separator_after(const char *folder, std::size_t n);

// The last name of a path: what follows its last separator (on Windows
// also a drive's colon).
const char *leaf_name(const char *path);

// The last name of path as the system will open it, in *n bytes: on
// Windows without the separators, dots and blanks it drops at the end, or
// a stream's ":name" after it.
const char *last_name_as_opened(const char *path, std::size_t *n);

// Holds open the folder that path's last name is in (a link to it
// followed), so that the name opens, and its backup is made, in that very
// folder however its path is changed meanwhile; *name is that last name as
// the system resolves it, until close_folder. Null with errno set.
open_folder *open_folder_of(const char *path, const char **name);
void close_folder(open_folder *folder);

// A UTF-16 unit as the platform's names compare it without regard to case:
// on Windows as its file systems fold it, elsewhere ASCII's.
char16_t folded_unit(char16_t unit);

// Windows conventions on the command line: "/?" asks for help.
extern const bool WINDOWS_COMMAND_LINE;

enum path_kind { PATH_MISSING, PATH_FOLDER, PATH_REGULAR, PATH_OTHER };

// What a path is, following a symbolic link; PATH_MISSING with errno set when
// it cannot be told.
path_kind kind_of_path(const char *path);

// Opens a binary stream for reading; never creates, never waits for a
// FIFO's other end and, with follow unset, never follows a symbolic link.
// Null with errno set.
std::FILE *open_file(place where, bool follow);

// The same file as f, the stream open_file gave for where, open for
// reading and writing; f is closed then. Null, f still open, when writing
// is refused (errno set), or when where has come to name another file
// since f was opened (errno 0).
std::FILE *reopen_for_writing(std::FILE *f, place where, bool follow);

// Reads up to n of the first bytes of the file at where, never following a
// link and never waiting for a FIFO: an open, a read and a close, the
// least a file of neither kind can cost. False with errno set.
bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got);

// What a name in a folder stands for, without following a link; unknown
// (errno set) when that cannot be told.
enum name_kind { NAME_FREE, NAME_FILE, NAME_OTHER, NAME_UNKNOWN };
name_kind kind_of_name(place where);

// Creates where, which must not exist, for writing, readable by no one
// who cannot read the file like is open on (its permission bits, its owner
// and group where they can be given; on Windows its access list). Null
// with errno set (EEXIST when the name is taken).
std::FILE *create_new_file(place where, std::FILE *like);

// Gives final, which must not exist, to the file at temporary, which is
// gone then. False with errno set (EEXIST when final is taken), the file
// still at temporary.
bool name_new_file(place temporary, place final);

// Takes away the file at where, never a folder, never a link's target.
void remove_file(place where);

// Sees that what was written to f is on the disk.
bool flush_to_disk(std::FILE *f);

// Access and modification times, in the platform's own epoch, seconds and
// nanoseconds apart, so that no time a file can have overflows.
struct file_times {
	std::int64_t access_seconds, modify_seconds;
	std::int32_t access_nanoseconds, modify_nanoseconds;
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
// gives them, and the folder held open for the places below it.
struct folder_listing {
	open_folder *folder;
	folder_entry *entries;
	std::size_t count;
	char *names; // the text behind every entry's name
};

// Lists the folder at where (a link is followed only when follow is set).
// False with errno set when it cannot be listed; the listing then holds
// nothing to release.
bool list_folder(place where, bool follow, folder_listing *listing);
void release_listing(folder_listing *listing);

// Puts the entries in ascending byte order of their names.
void sort_by_name(folder_listing &listing);

#ifdef _WIN32
// A wide string of the system's as UTF-8, in memory of its own; null when
// it cannot be converted or held.
char *utf8_from_wide(const wchar_t *wide);
#endif

#endif
