// Whether a file is a repair of a backup: equal to it byte for byte, never
// by dates or sizes, except at depth bytes a repair of the backup would
// set to 16, each of which holds 16 or the backup's value. --restore puts
// back a file that is; -b makes no new backup of one.
#ifndef TXD_DEPTH_FIX_BACKUP_CHECK_H
#define TXD_DEPTH_FIX_BACKUP_CHECK_H

#include <cstddef>
#include <cstdint>

#include "platform/file_access.h"

// A byte of the file: where it is and a value. Where a repair of the
// backup would set a depth to 16, with the depth the backup held there when
// it was walked, sorted by position; and the bytes of the file to put back.
struct byte_change {
	std::uint64_t at;
	unsigned char value;
};
struct depth_list {
	byte_change *items;
	std::size_t count, room;
	bool incomplete; // memory ran out
};
struct change_list {
	byte_change *items;
	std::size_t count, room;
};

// One backup looked at for a file open as file, of size bytes, named name.
struct backup_check {
	io_handle file;
	std::uint64_t size;
	const char *name;
	io_handle backup; // open once looked at, until released
	file_facts facts; // the backup's
	depth_list depths;
	std::uint64_t noted_to; // where the spans walked so far end, at most
	change_list changes;    // what to write to the file to make it the backup
	int err;                // behind a verdict that the backup cannot be read
};

enum backup_verdict {
	REPAIR_OF_IT,     // the file is a repair of the backup
	NOT_REGULAR,      // the backup is not a regular file
	THE_FILE_ITSELF,  // the backup is the file, a hard link to it
	OTHERS_COULD_WRITE, // someone else could have written the backup
	NO_KIND,          // the backup is no archive or texture dictionary
	CHANGED_SINCE,    // the file differs from it in more than repaired depths
	UNREADABLE,       // the backup cannot be opened or read (err)
	NOT_COMPARED      // the file or the backup cannot be read to compare them (err)
};

// Opens the backup at where without following a link and checks the file
// (its facts as given) against it; the backup is read once, and what the
// changes hold is what was read.
backup_verdict check_backup(backup_check &c, place where, io_handle file, const file_facts &facts, const char *name);
void release_backup_check(backup_check &c);

#endif
