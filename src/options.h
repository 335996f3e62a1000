// What the command line asks for, read from argv: the options, and the
// operands gathered in order.
#ifndef TXD_DEPTH_FIX_OPTIONS_H
#define TXD_DEPTH_FIX_OPTIONS_H

#include "ops/run_options.h"
#include "report/report.h"

// The exit statuses of a run.
enum exit_status { EXIT_CLEAN = 0, EXIT_REPORTED = 1, EXIT_USAGE = 2 };
// Those of --check, with the convention of diff and cmp.
enum check_status { CHECK_NOTHING_TO_REPAIR = 0, CHECK_TO_REPAIR = 1, CHECK_PROBLEM = 2 };

struct read_ahead;

struct command {
	run_options run;
	bool quiet, verbose, with_filename, totals;
	bool loose; // -t: each FILE is a loose dictionary
	bool check; // a dry run whose status says whether anything needs repair
	bool restore; // put files back from their backups
	bool json;    // JSON Lines on standard output instead of the report's lines
	bool one_file_system;  // -x: a search stays on the file system of its FOLDER
	bool no_preserve_root; // a FOLDER may be the root of the system
	unsigned jobs;     // requests the read-ahead keeps in flight; 1 for none
	read_ahead *ahead; // its helpers, while the operands are handled
	char **operands;   // gathered at the front of argv, in order
	int count;
	int before_double_dash; // how many of them came before "--"
};

// How many requests the read-ahead keeps in flight unless told: what did
// best on a cold tree of 20,000 files (bench/folders.sh cold).
const unsigned DEFAULT_JOBS = 3;

// Seconds to wait for a file another run holds unless told: long enough
// for another run to repair a multi-GiB archive on a slow disk.
const unsigned DEFAULT_WAIT = 60;

// Reads the options into c, which starts zeroed, and gathers the operands
// at the front of argv: -1 when the files are to be handled, else the exit
// status (help, version, a usage error), its text told to the report.
int read_options(int argc, char *argv[], report &r, command &c);

#endif
