// What differs between POSIX and Windows in files and folders, behind one
// interface: paths, opening by a UTF-8 name below a folder held open,
// reading and writing at 64-bit positions, holding a file for one run,
// identities and times of open files, making and naming a copy. Each platform has files of its own (file_access_posix.cpp;
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
// the user gave it. shown is the whole path as the tool prints it; beside,
// when not null, the path its backups are shown by (the file a link named
// on the command line leads to, in whose folder they lie).
struct place {
	const open_folder *folder;
	const char *name;  // UTF-8 on every host
	const char *shown; // UTF-8 on every host
	const char *beside = nullptr;
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

// A folder held open for another thread's own opens below it, until
// released: a second hold of the same folder. Null with errno set.
open_folder *hold_folder_again(const open_folder *folder);

// A UTF-16 unit as the platform's names compare it without regard to case:
// on Windows as its file systems fold it, elsewhere ASCII's.
char16_t folded_unit(char16_t unit);

// Windows conventions on the command line: "/?" asks for help.
extern const bool WINDOWS_COMMAND_LINE;

enum path_kind { PATH_MISSING, PATH_FOLDER, PATH_REGULAR, PATH_OTHER };

// What a path is, following a symbolic link; PATH_MISSING with errno set when
// it cannot be told.
path_kind kind_of_path(const char *path);

// Told when an open fails for want of descriptors (EMFILE, ENFILE): a hook
// that has others close theirs, and says whether any were freed, so that
// the open is tried once more. The read-ahead sets it while its helpers run,
// so that the walk can always open what it could open alone; null for none.
typedef bool descriptors_hook(void *context);
void set_descriptors_hook(descriptors_hook *hook, void *context);

// Whether an open that failed with err is worth trying again: the hook
// freed descriptors.
bool descriptors_freed(int err);

// An open file: a descriptor on POSIX, a handle on Windows. Every read and
// write names its position, so nothing depends on where a file stands.
typedef std::intptr_t io_handle;
constexpr io_handle NO_HANDLE = -1;

// Opens a file for reading; never creates, never waits for a FIFO's other
// end and, with follow unset, never follows a symbolic link. NO_HANDLE with
// errno set.
io_handle open_file(place where, bool follow);

// Opens for reading and writing the same file as *f, which open_file gave
// for where, and holds it for this run alone until it is closed: no other
// run gets it for writing meanwhile. *f is the new one then, the read-only
// one closed. Refused has errno set; replaced means where has come to name
// another file since *f was opened; in use, that another run holds it.
enum write_access { WRITE_GRANTED, WRITE_REFUSED, WRITE_REPLACED, WRITE_IN_USE };
write_access open_for_writing(io_handle *f, place where, bool follow);

// Reads or writes n bytes at pos, in as many calls as it takes: all of
// them, fewer because the file ends there (a read), or a failure with errno
// set. *done says how many went; after a failed read they are not to be
// trusted, after a failed write they reached the file.
enum io_result { IO_WHOLE, IO_SHORT, IO_FAILED };
io_result read_at(io_handle f, std::uint64_t pos, unsigned char *buffer, std::size_t n, std::size_t *done);
io_result write_at(io_handle f, std::uint64_t pos, const unsigned char *data, std::size_t n, std::size_t *done);

// Asks the system to read length bytes at pos of f into its cache, not
// waiting for them; where it cannot be asked, nothing.
void advise_reading(io_handle f, std::uint64_t pos, std::uint64_t length);

// Whether the system's cache holds the first bytes of the file at where,
// as far as it can tell without reading them from the disk and without
// touching the file's access time; unknown where it cannot tell so.
enum cache_state { CACHE_UNKNOWN, CACHE_COLD, CACHE_WARM };
cache_state first_bytes_cached(place where);

// Whether the file or folder at path is on a disk that rotates, as far as
// the system tells.
bool on_rotating_disk(const char *path);

// Closes f; false with errno set when what was written may not have
// reached the file. f is closed either way.
bool close_file(io_handle f);

// The file a stream writes to (standard output), or NO_HANDLE.
io_handle file_of_stream(std::FILE *f);

// Opens a file found in a folder to look at its first bytes: never
// following a link, never waiting for a FIFO, and where the system lets
// this user ask, leaving its access time as it was. NO_HANDLE with errno
// set.
io_handle open_quietly(place where);

// Reads up to n bytes from the start of f, just opened, in one call: of a
// FIFO, what it holds now, and of a regular file what it holds there.
// False with errno set.
bool read_start(io_handle f, unsigned char *head, std::size_t n, std::size_t *got);

// What a name in a folder stands for, without following a link; unknown
// (errno set) when that cannot be told.
enum name_kind { NAME_FREE, NAME_FILE, NAME_OTHER, NAME_UNKNOWN };
name_kind kind_of_name(place where);

// When path is a symbolic link, the path of the file that it (or a chain of
// them) leads to, in memory of its own; else null.
char *link_target(const char *path);

// A copy of a file in the making: where the system has them, a file
// without a name, which no other program can reach and which vanishes with
// the run if it stops before it is named; elsewhere a file created under a
// temporary name that this run holds as long as it lives. It is readable
// by no one who cannot read the file it copies: its owner, group, mode
// bits and access list are the file's where they can be given; where the
// owner cannot, it is the run's user's alone.
struct new_copy {
	io_handle f;
	bool unnamed;
};

// Creates the copy of like beside it; the temporary name is used only
// where an unnamed file cannot be made, and with may_clear set a cut copy
// that a stopped run left under it (a regular file that no live run holds)
// is taken away first. False with errno set (EEXIST when the temporary
// name is taken).
bool create_copy(place temporary, io_handle like, bool may_clear, new_copy *copy);

// Gives final, which must not exist, to the copy; the temporary name is
// gone then. Where the file system has no
// hard links and cannot rename without replacing, a plain rename to a
// name seen free. False with errno set (EEXIST when final is taken).
bool name_copy(new_copy &copy, place temporary, place final);

// Closes the copy, and takes away what it left under the temporary name.
void discard_copy(new_copy &copy, place temporary);

// Takes away the file at where, never a folder, never a link's target;
// false with errno set when it cannot.
bool remove_file(place where);

// The same, only while the name is still the file open as same: what was
// checked is what goes, never a file put under its name since.
enum removal { REMOVED, REMOVAL_FAILED, NAME_REPLACED };
removal remove_same_file(place where, io_handle same);

// Sees that what was written to f is on the disk.
bool flush_to_disk(io_handle f);

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
	std::uint64_t size;          // in bytes, for a regular file
	file_times times;
};

// Whether anyone but the owner of file and the user running could have
// written the open file copy: it is owned by neither of them, or it lets
// write whom file does not (another group, others, an access list of its
// own). True also when that cannot be told. On Windows, by its owner alone.
bool others_could_write(io_handle copy, io_handle file);

// Looks at an open file; false with errno set when it cannot. A regular
// file keeps the O_NONBLOCK it was opened with: it means nothing there.
bool inspect_file(io_handle f, file_facts *facts);
bool set_file_times(io_handle f, const file_times &times);

// One name in a folder and what the folder says it is. Symbolic links are
// ENTRY_LINK (on Windows every reparse point); FIFOs, sockets and devices
// ENTRY_OTHER.
enum entry_kind { ENTRY_FOLDER, ENTRY_FILE, ENTRY_LINK, ENTRY_OTHER };
struct folder_entry {
	const char *name;
	entry_kind kind;
	std::uint64_t index; // where the file system keeps it (an inode), 0 where unknown
};

// What a folder is on: its file system (the same number, the same one)
// and whether that is a view the system gives of itself (proc, sysfs,
// cgroup, debugfs and the like) rather than files kept on a disk, told by
// the file system's type, whatever the folder's path.
struct folder_facts {
	std::uint64_t volume;
	bool system_view;
};

// The names of one folder, "." and ".." left out, in the order the folder
// gives them, and the folder held open for the places below it.
struct folder_listing {
	open_folder *folder;
	folder_entry *entries;
	std::size_t count;
	char *names;        // the text behind every entry's name
	folder_facts facts; // where they were asked for, else zero
};

// Lists the folder at where (a link is followed only when follow is set).
// False with errno set when it cannot be listed; the listing then holds
// nothing to release.
bool list_folder(place where, bool follow, folder_listing *listing);

// The same in two steps, so that a folder can be looked at before a name
// of it is read: opens the folder at where to list it, then lists the
// folder so opened, which the listing holds from then on (closed when it
// cannot be listed). Null, or false, with errno set.
open_folder *open_listed_folder(place where, bool follow);
bool read_listing(open_folder *folder, folder_listing *listing);

// Looks at a folder open for listing; false with errno set.
bool inspect_folder(const open_folder *folder, folder_facts *facts);

// Whether path is the root of the system, whatever way it is written
// ("/", "//", "/.", a link to it; on Windows the root of the drive Windows
// runs from). It is only looked up, never opened.
bool is_system_root(const char *path);
void release_listing(folder_listing *listing);

// Puts the entries in ascending byte order of their names.
void sort_by_name(folder_listing &listing);

#ifdef _WIN32
// A wide string of the system's as UTF-8, in memory of its own; null when
// it cannot be converted or held.
char *utf8_from_wide(const wchar_t *wide);
#endif

#endif
