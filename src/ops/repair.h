// The repair of one file in place: a VER2 archive, whose texture
// dictionaries are read, repaired and written back entry by entry, or one
// loose texture dictionary, read, repaired and written back whole. What it
// finds and does is told to the report.
#ifndef TXD_DEPTH_FIX_REPAIR_H
#define TXD_DEPTH_FIX_REPAIR_H

#include "format/file_kind.h"
#include "ops/run_options.h"
#include "platform/file_access.h"
#include "report/report.h"

// Opens the regular file at where (following a link only when follow is
// set; read-only until a write is needed), reads its first bytes and
// repairs it when they say it is of a kind that rule allows; false when
// they say neither, and the file was closed untouched. An archive's lines
// start with its path when name_archive_lines is set. Anything but a
// regular file is refused once open, as is standard output itself.
bool repair_file(report &r, place where, bool follow, kind_rule rule, bool name_archive_lines,
                 const run_options &options);

// A file found in a folder: its first bytes are read, and only a file
// whose bytes and name say archive or loose dictionary is repaired, never
// following a link; a file gone since the folder was listed, or swapped for
// a link, is said nothing of.
void repair_found_file(report &r, place where, const run_options &options);

// Whether the first bytes of a file found in a folder, and its name, say
// archive or loose dictionary.
bool found_of_a_kind(const struct target &t);

#endif
