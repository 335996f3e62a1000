// A file the repair or the restore works on, one way for both: opened as
// named, looked at once, checked to be a regular file and not standard
// output, its first bytes read once, held for writing only when a change
// needs it, flushed, its times kept, let go. What stands in the way is told
// to the report once, in the same words for both.
#ifndef TXD_DEPTH_FIX_TARGET_H
#define TXD_DEPTH_FIX_TARGET_H

#include <cstddef>

#include "format/archive.h"
#include "ops/run_options.h"
#include "platform/file_access.h"
#include "report/report.h"

struct target {
	place where;
	bool follow;   // where's last name may be a link (a FILE named so)
	io_handle f;   // read-only until held
	file_facts facts; // as it was when opened
	unsigned char head[HEADER_SIZE];
	std::size_t head_got;
	bool held;     // open for writing, held for this run alone
	bool refused;  // holding it failed, and was told
	unsigned wait; // seconds to wait for it while another run holds it
	bool waited;   // it was held by another run first: what was read before may have changed
};

// Opens the file at where (a link followed only when follow is set) and
// looks at it; false when it cannot be used, which is told then (the
// target needs no closing).
bool open_target(report &r, target &t, place where, bool follow, const run_options &options);

// A file found in a folder, whose first bytes decide whether it is looked
// at at all: opened without following a link, its first bytes read, and
// (found_of_a_kind) only then looked at. False when it is of no use: gone
// since the folder was listed or swapped for a link (said nothing of),
// unreadable or not a regular file (told).
bool open_found_target(report &r, target &t, place where, const run_options &options, bool (*of_a_kind)(const target &));

// Reads the first bytes of a target opened by name; false, told with
// what, when they cannot be read.
bool read_target_head(report &r, target &t, const char *what);

// Holds the target for writing, once; false when that is refused or
// another run holds it (after waiting up to wait seconds for it to let go,
// which is told), which is told the first time.
bool hold_target(report &r, target &t);

// Sees that what was written is on the disk; false, told, when not.
bool flush_target(report &r, target &t);

// Gives a held target its times back when keep_times is set, and closes
// it; what fails is told.
void close_target(report &r, target &t, bool keep_times);

#endif
