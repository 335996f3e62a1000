// The whole run of txd-depth-fix on one command line, with its output
// streams given: main hands it stdout and stderr, the tests and the fuzzer
// files of their own, in process.
#ifndef TXD_DEPTH_FIX_PATCH_RUN_H
#define TXD_DEPTH_FIX_PATCH_RUN_H

#include <cstdio>

enum { EXIT_CLEAN = 0, EXIT_REPORTED = 1 };

// Repairs the archive named by argv[1] (UTF-8 on every host) and returns the
// exit status. Report lines go to out, diagnostics to err; out is flushed
// and checked at the end but not closed. Keeps no state between calls.
int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err);

#endif
