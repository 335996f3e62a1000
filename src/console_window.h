// The console window that Windows opens for a program started from
// Explorer: when it would close before anyone could read it, what it
// shows then, and the wait for Enter.
#ifndef TXD_DEPTH_FIX_CONSOLE_WINDOW_H
#define TXD_DEPTH_FIX_CONSOLE_WINDOW_H

#include "report.h"

// Whether a Windows console would close as soon as the tool ends: the tool
// is the only process attached to it (started by a double click or by files
// dropped on it) and reads its standard input from it.
bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console);

// What a held window shows before its prompt, besides the totals line: a
// hint that loose dictionaries are repaired by dropping their folder, when
// a dropped file was left alone; how to use the program, when nothing was
// dropped at all.
enum held_window_hint { HINT_NONE, HINT_DROP_THE_FOLDER, HINT_DROP_SOMETHING };
held_window_hint held_window_hint_for(const run_summary &summary);

// When the console would close at exit: the totals, the hint and a prompt,
// on the console itself, then a wait for Enter. Nothing elsewhere.
void hold_console_window(const run_summary &summary);

#endif
