// The whole command line of txd-depth-fix, with its output streams given:
// main hands it stdout and stderr, the tests and the fuzzer files of their
// own, in process.
#ifndef TXD_DEPTH_FIX_COMMAND_LINE_H
#define TXD_DEPTH_FIX_COMMAND_LINE_H

#include <cstdio>

enum { EXIT_CLEAN = 0, EXIT_REPORTED = 1, EXIT_USAGE = 2 };

// Parses the options, handles every FILE in turn and returns the exit
// status. Paths are UTF-8 on every host. out is flushed and checked at the
// end, not closed. Keeps no state between calls.
int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err);

// Whether a Windows console would close as soon as the tool ends: the tool
// is the only process attached to it (started by a double click or by files
// dropped on it) and reads its standard input from it.
bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console);

#endif
