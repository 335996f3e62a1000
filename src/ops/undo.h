// The undo record -u keeps beside each file it changes (PATH.undo): every
// batch of entries a run is about to write is added to it, and is on the
// disk, before the first of them is written. Restoring from a record is
// undo_restore.h's.
#ifndef TXD_DEPTH_FIX_UNDO_H
#define TXD_DEPTH_FIX_UNDO_H

#include <cstddef>

#include "format/undo_record.h"
#include "platform/file_access.h"

// The record of one file while a run holds the file.
struct undo_keeper {
	char *name, *shown; // PATH.undo beside the file, and as shown
	io_handle f;        // once the record is open or made
	std::uint64_t end;  // where the next block goes
	bool kept;          // a block went to it in this run
	char *in_the_way;   // a file of another's under the name it is made under, as shown
};

// The place of the record of the file at where, its names in memory of
// their own (name null when memory is short).
void undo_begin(undo_keeper &k, place where);
place undo_place(const undo_keeper &k, place where);

// Adds one block for the entries and sees it on the disk. The first time,
// opens the record that earlier runs kept, which must be a regular file
// no one else could change and a record that reads whole up to its last
// block, or else makes one (readable as the file is) under its name only
// once it holds its first block. False with why in *what (and errno in
// *err, or 0) when it cannot: then nothing of the entries may be written.
bool keep_undo(undo_keeper &k, place where, io_handle file, const undo_entry *entries, std::size_t count,
               const char **what, int *err);

void undo_end(undo_keeper &k);

// Reads the record open as f (facts its own), of the file open as file,
// whole, and decodes it into record, when it may be trusted as a backup
// is: a regular file that only the file's owner or the user running could
// have written, of a size a record can have. What it is otherwise, with
// errno in *err where one is behind it.
enum record_verdict {
	RECORD_READ,
	RECORD_NOT_REGULAR,
	RECORD_OTHERS_COULD_WRITE,
	RECORD_TOO_LARGE,
	RECORD_UNREADABLE,
	RECORD_NO_MEMORY,
	RECORD_NOT_OURS
};
record_verdict read_trusted_record(io_handle f, io_handle file, const file_facts &facts, undo_record &record, int *err);

#endif
