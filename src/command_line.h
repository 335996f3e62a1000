// The whole command line of txd-depth-fix, with its output streams given:
// main hands it stdout and stderr, the tests and the fuzzer files of their
// own, in process.
#ifndef TXD_DEPTH_FIX_COMMAND_LINE_H
#define TXD_DEPTH_FIX_COMMAND_LINE_H

#include <cstdio>

#include "options.h"
#include "report/report.h"

// Parses the options, handles every operand in turn and returns the exit
// status; fills summary when it is not null (and keeps its lines when it
// asks). Paths are UTF-8 on every host. out is flushed and checked at the
// end, not closed. Keeps no state between calls. On Windows, "/?" asks for
// the help.
int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err, run_summary *summary = nullptr);

#endif
