// --restore: the way back. A repaired file is put back as its newest
// backup holds it, in place, when the file still equals that backup but
// for depths this tool repairs; the backup is removed then.
#ifndef TXD_DEPTH_FIX_RESTORE_H
#define TXD_DEPTH_FIX_RESTORE_H

#include "ops/run_options.h"
#include "platform/file_access.h"
#include "report/report.h"

// Restores the regular file at where (following a link only when follow
// is set) from its newest backup. A FILE named on the command line without
// a backup is left alone and said so under -v; a file found in a folder
// without one is passed over in silence. Under -n, only says what it would
// do. The file keeps its identity, hard links, owner and permissions, and
// under -p its times.
void restore_file(report &r, place where, bool follow, bool named, const run_options &options);

// A file found in a folder: restored only when its first bytes say it is
// an archive or a loose dictionary.
void restore_found_file(report &r, place where, const run_options &options);

#endif
