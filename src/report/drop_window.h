// The console window that Windows opens for a program started from
// Explorer: when it would close before anyone could read it, what it
// shows then, and the wait for Enter.
#ifndef TXD_DEPTH_FIX_CONSOLE_WINDOW_H
#define TXD_DEPTH_FIX_CONSOLE_WINDOW_H

#include "report/report.h"

// Whether a Windows console would close as soon as the tool ends: the tool
// is the only process attached to it (started by a double click or by files
// dropped on it) and reads its standard input from it.
bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console);

// The same for this process's own console; never off Windows.
bool console_window_closes_at_exit();

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

// What the held window shows after the run: each problem again and each
// file left alone (the first 20 of each, then how many more), the totals,
// the hint (with the next step for files in use or access denied) and the
// prompt; with nothing dropped or the options wrong, only the hint and the
// prompt. In memory of its own, null when there is none.
char *held_window_text(const run_summary &summary);

// Shows that on the console itself, never on redirected output, and waits
// for Enter.
void hold_console_window(const run_summary &summary);

#endif
