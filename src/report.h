// Every line the run writes: report lines and the -v listing on standard
// output, diagnostics on standard error, and the counts behind the totals. Each line is built
// whole and written with one call, so that runs sharing a pipe never tear
// one another's lines; on a terminal, control bytes of names and paths
// print as '?'.
#ifndef TXD_DEPTH_FIX_REPORT_H
#define TXD_DEPTH_FIX_REPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "file_access.h"

// What was written counts as repaired; under -n, what a real run would
// write. What was found but could not be written is still to repair.
struct report_totals {
	std::uint64_t textures;   // depths written, or under -n to be written
	std::uint64_t files;      // files read as an archive or a loose dictionary
	std::uint64_t repaired;   // those written to, or under -n to be written to
	std::uint64_t still;      // depths found but not written: a backup, an open or a write failed
	std::uint64_t left_alone; // FILE operands left alone
	std::uint64_t problems;   // diagnostic lines written
};

struct run_summary;

struct report {
	std::FILE *out, *err;
	bool out_terminal, err_terminal;
	bool out_console, err_console; // Windows consoles, written as characters
	bool quiet;   // no line for a count of 0
	bool verbose; // say why a FILE operand was left alone
	bool out_known;
	file_facts out_facts; // standard output, when it is a file
	report_totals totals;
	run_summary *summary; // what a held window shows again, or null
	int out_error;        // errno of the first failed write to out, or 0
	char *line;    // the line in hand
	std::size_t length, room;
};

// Begins a run's report on out and err; quiet and verbose start unset.
// summary, when not null, is kept up to date as the run goes.
void report_begin(report &r, std::FILE *out, std::FILE *err, run_summary *summary);
void report_end(report &r);

// Whether f is the very file standard output writes to.
bool is_standard_output(const report &r, const file_facts &f);

// A line is added to, then written: added names and paths are shown as
// the stream it goes to allows. A line that memory cannot hold whole is
// written in parts rather than lost.
void line_add(report &r, std::FILE *to, const char *text);
void line_add_shown(report &r, std::FILE *to, const char *text);
void line_add_shown_n(report &r, std::FILE *to, const char *text, std::size_t n);
void line_add_number(report &r, std::FILE *to, std::uint64_t n);
void line_end(report &r, std::FILE *to);

// Ends a line on err that a held window shows again among the problems.
void line_end_kept(report &r);

// Text as it is on out (help, the version).
void print_text(report &r, const char *text);

// "txd-depth-fix: PATH: NAME: WHAT: why\n", without NAME when it is null
// and without why when err is 0.
void print_problem(report &r, const char *path, const char *name, const char *what, int err);

// The line of one dictionary: "[PREFIX: ]Patching NAME patched N textures",
// unless quiet and count is 0. Returns whether it was printed. The totals
// count what is written, not what is printed.
bool print_count_line(report &r, const char *prefix, const char *name, std::int32_t count);

// The repairs of one dictionary, kept for the listing after its line.
struct repair {
	std::size_t native; // where the texture native starts in the buffer
	std::uint8_t old_depth;
};
struct repair_list {
	repair *items;
	std::size_t count, room;
	bool incomplete; // memory ran out before the last repair
};

// Adds a repair to the repair_list at context: a listener for
// patch_texture_depths.
void note_repair(std::size_t native, std::uint8_t old_depth, void *context);

// One line per repair, "[PREFIX: ]  NAME: FORMAT, depth OLD -> 16", read
// from the buffer the walk repaired: it changed only depth bytes, so each
// texture's name and format still stand there as they were read.
void print_listing(report &r, const char *prefix, const unsigned char *buffer, const repair_list &list);

// Under -v, why a FILE operand was left alone: "PATH: left alone: WHY";
// counted either way.
void print_left_alone(report &r, const char *path, const char *why);

// "T textures repaired in R of N files[, U still to repair][, A left
// alone][, P problems]", in text of at least TOTALS_ROOM bytes; and as a
// line on out.
constexpr std::size_t TOTALS_ROOM = 200;
void totals_text(const report_totals &t, bool dry_run, char *text, std::size_t room);
void print_totals(report &r, bool dry_run);

// What a run did, for a console window held open after it. The caller
// sets keep: the run then leaves out lines whose count is 0, and keeps the
// first problems and FILEs left alone as lines of their own, to be shown
// again at the end. release_summary frees the kept lines.
constexpr std::size_t KEPT_LINES = 20;
struct kept_lines {
	char *lines[KEPT_LINES];
	std::size_t kept;  // in lines
	std::uint64_t all; // how many there were
};
struct run_summary {
	bool keep;
	bool usage_error;
	int operands;
	report_totals totals;
	kept_lines problems, left_alone;
	char totals_line[TOTALS_ROOM]; // as --totals prints it, without its "\n"
};
void release_summary(run_summary &s);

// Flushes out and reports, once, that it could not be written: a report
// lost to a full disk or a closed pipe is a failure, not a success.
void check_output(report &r);

#endif
