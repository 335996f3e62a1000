// The console window that Windows opens for a program started from
// Explorer (files dropped onto it, a double click): when it would close
// before anyone could read it, what it keeps of a run to show again then,
// and the wait for Enter. A listener of the report; nothing of it is in
// the rest of the tool.
#ifndef TXD_DEPTH_FIX_DROP_WINDOW_H
#define TXD_DEPTH_FIX_DROP_WINDOW_H

#include <cstddef>
#include <cstdint>

#include "report/event.h"
#include "report/report.h"
#include "report/text_lines.h"

// Whether a Windows console would close as soon as the tool ends: the tool
// is the only process attached to it (started by a double click or by files
// dropped on it) and reads its standard input from it.
bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console);

// The same for this process's own console; never off Windows.
bool console_window_closes_at_exit();

// The first lines of a kind, to show again, and how many there were.
constexpr std::size_t KEPT_LINES = 20;
struct kept_lines {
	char *lines[KEPT_LINES];
	std::size_t kept;  // in lines
	std::uint64_t all; // how many there were
};

// What problems the hint has a next step for.
enum { SEEN_IN_USE = 1, SEEN_DENIED = 2 };

// What the window keeps of a run. keep is the caller's: whether the window
// is to be held at all (a --check never is).
struct run_summary {
	bool keep;
	bool usage_error;
	bool restore;
	bool dry_run;
	bool keep_undo;
	int operands;
	report_totals totals;
	unsigned seen; // SEEN_IN_USE, SEEN_DENIED
	kept_lines problems, left_alone, restored;
	problem_fold fold;
	line_stream shown; // the window's own: a terminal
	line l;
	char totals_line[TOTALS_ROOM]; // as --totals prints it, without its "\n"
};

// Keeps in s what the window shows: the first problems, each as its line
// on standard error, and the files left alone (but backups a search passed
// over, which a second run over a repaired folder finds by the hundred).
listener drop_window_listener(run_summary &s);
void release_summary(run_summary &s);

// The hint a held window ends with, fitting what happened: the options
// were wrong; nothing was dropped; there were problems; what was dropped
// was all left alone; nothing found in what was dropped was of either kind
// (or had a backup to restore from); everything found was sound already.
enum held_window_hint {
	HINT_NONE,
	HINT_USAGE,
	HINT_DROP_SOMETHING,
	HINT_PROBLEMS,
	HINT_LEFT_ALONE,
	HINT_NOTHING_FOUND,
	HINT_NO_BACKUP,
	HINT_NOTHING_NEEDED,
	HINT_NOT_RESTORED,
	HINT_DROP_TO_RESTORE
};
held_window_hint held_window_hint_for(const run_summary &summary);

// What the held window shows after the run: each problem again, each file
// restored and each left alone (the first 20 of each, then how many more),
// the totals, the way back when undo records were kept,
// the hint (with the next step for files in use or access denied) and the
// prompt; with nothing dropped or the options wrong, only the hint and the
// prompt. In memory of its own, null when there is none.
char *held_window_text(const run_summary &summary);

// Shows that on the console itself, never on redirected output, and waits
// for Enter.
void hold_console_window(const run_summary &summary);

#endif
