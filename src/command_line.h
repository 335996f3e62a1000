// The whole command line of txd-depth-fix, with its output streams given:
// main hands it stdout and stderr, the tests and the fuzzer files of their
// own, in process.
#ifndef TXD_DEPTH_FIX_COMMAND_LINE_H
#define TXD_DEPTH_FIX_COMMAND_LINE_H

#include <cstdio>

#include "report/event.h"

// What the caller wants beside the lines: a listener of its own (the drop
// window), and lines fit for a window that shows its problems again: no
// line for a count of 0, no usage hint; and an undo record kept of each
// repair unless the run restores (a drop, which cannot ask for one).
struct run_setup {
	listener also; // heard null for none
	bool leave_out_zero_lines;
	bool usage_hint;
	bool keep_undo = false;
};

// Parses the options, handles every operand in turn and returns the exit
// status. Paths are UTF-8 on every host. out is flushed and checked at the
// end, not closed. Keeps no state between calls. On Windows, "/?" asks for
// the help.
int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err, const run_setup *setup = nullptr);

#endif
