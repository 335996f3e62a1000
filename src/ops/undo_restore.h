// --restore from an undo record: each change it holds undone, newest
// first, entry by entry, where the entry is still as it was written.
#ifndef TXD_DEPTH_FIX_UNDO_RESTORE_H
#define TXD_DEPTH_FIX_UNDO_RESTORE_H

#include "ops/run_options.h"
#include "ops/target.h"
#include "report/report.h"

// Whether the file at where has an undo record beside it (regular or not).
bool has_undo_record(place where);

// Puts the file, opened as t and held unless a dry run, back as it was
// before the runs its record covers changed it. An entry changed since
// (its bytes, but for the depths the record holds, differ from what was
// written) is left as it is and named, a problem; when none is, the record
// is removed and the file told restored from it.
void restore_from_record(report &r, target &t, const run_options &options);

#endif
