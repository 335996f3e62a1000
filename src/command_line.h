// The whole command line of txd-depth-fix, with its output streams given:
// main hands it stdout and stderr, the tests and the fuzzer files of their
// own, in process.
#ifndef TXD_DEPTH_FIX_COMMAND_LINE_H
#define TXD_DEPTH_FIX_COMMAND_LINE_H

#include <cstdint>
#include <cstdio>

enum { EXIT_CLEAN = 0, EXIT_REPORTED = 1, EXIT_USAGE = 2 };

#include "report.h"

// What a run did, for a console window held open after it.
struct run_summary {
	int operands;
	std::uint64_t left_alone;
	char totals[TOTALS_ROOM]; // the line --totals prints, without its "\n"
};

// Parses the options, handles every operand in turn and returns the exit
// status; fills summary when it is not null. Paths are UTF-8 on every
// host. out is flushed and checked at the end, not closed. Keeps no state
// between calls. On Windows, "/?" asks for the help.
int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err, run_summary *summary = nullptr);

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

#endif
