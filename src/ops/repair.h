// The repair of one file in place: a VER2 archive, whose texture
// dictionaries are read, repaired and written back entry by entry, or one
// loose texture dictionary, read, repaired and written back whole.
#ifndef TXD_DEPTH_FIX_FILE_REPAIR_H
#define TXD_DEPTH_FIX_FILE_REPAIR_H

#include "platform/file_access.h"
#include "format/file_kind.h"
#include "report/report.h"

struct run_options {
	bool dry_run;  // open read-only and write nothing
	bool verbose;  // list each depth changed after its entry's line
	bool backup;   // copy a file whole to PATH.bak before its first write
	bool preserve; // a written file keeps its access and modification times
};

// Opens the regular file at where (following a link only when follow is
// set; for update unless a dry run), reads its first bytes and repairs it
// when they say it is of a kind that rule allows; false when they say
// neither, and the file was closed untouched. An archive's lines start
// with its path when name_archive_lines is set. Anything but a regular
// file is refused once open, as is standard output itself.
bool repair_file(report &r, place where, bool follow, kind_rule rule, bool name_archive_lines,
                 const run_options &options);

// Whether a file found in a folder is an archive or a loose dictionary by
// its first bytes and name; a file gone since the folder was listed, or
// swapped for a link, is neither, and said nothing of.
bool found_file_of_a_kind(report &r, place where);

// A file found in a folder: its first bytes are read, and only a file
// whose bytes and name say archive or loose dictionary is opened to be
// repaired, never following a link.
void repair_found_file(report &r, place where, const run_options &options);

#endif
