// The text lines: report lines, the -v listing and what was left alone on
// standard output, problems on standard error, as every earlier version
// printed them. A listener of the report.
#ifndef TXD_DEPTH_FIX_TEXT_LINES_H
#define TXD_DEPTH_FIX_TEXT_LINES_H

#include <cstddef>
#include <cstdint>

#include "report/event.h"
#include "report/lines.h"

// The problems of one file's entries, folded: each kind (what and why) is
// listed for its first three entries, then once for the rest, after the
// file's entries. Each counts as a problem all the same.
constexpr std::size_t FOLD_AFTER = 3, FOLD_KINDS = 8;
struct problem_fold {
	const char *what[FOLD_KINDS];
	int err[FOLD_KINDS];
	std::uint64_t count[FOLD_KINDS];
	std::size_t kinds;
};

// Builds in l the line of a problem, "txd-depth-fix: PATH: [ENTRY: ]...",
// unless it folds away under fold: false then. Without its "\n".
bool problem_line(line &l, problem_fold &fold, const event &e);

// After a file's entries: for each kind that had more than three, builds
// "txd-depth-fix: PATH: ... and N more entries: WHAT[: why]" in l and
// calls each(l, context). The fold starts again then.
void folded_lines(line &l, problem_fold &fold, const char *path, void (*each)(line &, void *), void *context);

struct text_lines {
	line_stream *out, *err;
	bool report_lines;          // the lines of standard output; not under --json
	bool leave_out_zero_lines;  // as -q does, whatever was asked
	bool usage_hint;            // "Try 'txd-depth-fix --help' ..." after a usage error
	run_asked asked;
	line l;
	problem_fold fold;
	// Under -bv, the lines of an archive's entries with nothing to repair,
	// waiting for the line that names its backup: the prefix, then each
	// entry's name, each ended by a NUL.
	char *waiting;
	std::size_t waiting_used, waiting_room, waiting_count;
	bool backup_named; // the file in hand has its backup, or will have none
};

void text_lines_begin(text_lines &t, line_stream &out, line_stream &err);
void text_lines_end(text_lines &t);
listener text_listener(text_lines &t);

#endif
