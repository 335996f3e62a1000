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

#include "platform/file_access.h"

// What was written counts as repaired; under -n, what a real run would
// write. What was found but could not be written is still to repair.
struct report_totals {
	std::uint64_t textures;   // depths written, or under -n to be written
	std::uint64_t files;      // files read as an archive or a loose dictionary
	std::uint64_t repaired;   // those written to, or under -n to be written to
	std::uint64_t still;      // depths found but not written: refused, in use, a backup or a write failed
	std::uint64_t left_alone; // FILE operands left alone, and what a search passed over
	std::uint64_t problems;   // problems met, each folded one too
	std::uint64_t restored;   // files restored, or under -n to be restored
};

// What problems a held window's hint has a next step for.
enum { SEEN_IN_USE = 1, SEEN_DENIED = 2 };

struct run_summary;

struct report {
	std::FILE *out, *err;
	bool out_terminal, err_terminal;
	bool out_console, err_console; // Windows consoles, written as characters
	bool quiet;   // no line for a count of 0
	bool verbose; // say why a file was left alone, and where a backup went
	bool dry_run; // lines say what a run would do
	bool out_known;
	file_facts out_facts; // standard output, when it is a file
	report_totals totals;
	run_summary *summary; // what a held window shows again, or null
	int out_error;        // errno of the first failed write to out, or 0
	bool out_gone;        // its reader went away: nothing more is written to it
	unsigned seen;        // SEEN_IN_USE, SEEN_DENIED
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

// "txd-depth-fix: PATH: NAME: WHAT: why\n", without NAME when it is null,
// without WHAT when it is null and without why when err is 0.
void print_problem(report &r, const char *path, const char *name, const char *what, int err);

// "txd-depth-fix: PATH: left alone: WHY OTHER", a problem that leaves a
// file alone for what another file (its backup) is; counted as both.
void print_left_alone_problem(report &r, const char *path, const char *why, const char *other);

// "txd-depth-fix: PATH: cannot write: in use by another run".
void print_in_use(report &r, const char *path);

// The problems of one file's entries, folded: each kind (what and why) is
// listed for its first three entries, then once for the rest, after the
// file. Each counts as a problem all the same.
constexpr std::size_t FOLD_AFTER = 3, FOLD_KINDS = 8;
struct problem_fold {
	const char *what[FOLD_KINDS];
	int err[FOLD_KINDS];
	std::uint64_t count[FOLD_KINDS];
	std::size_t kinds;
};
void print_entry_problem(report &r, problem_fold &fold, const char *path, const char *name, const char *what, int err);

// "txd-depth-fix: PATH: ... and N more entries: WHAT[: why]" for each kind
// that had more than three.
void print_folded(report &r, const problem_fold &fold, const char *path);

// The line of one dictionary, after its write was tried: in a dry run
// "[PREFIX: ]Checking NAME found N textures to repair"; else "[PREFIX:
// ]Patching NAME patched K textures", then ", M still to repair" when
// found depths were not written. None when quiet and nothing was found.
// Returns whether it was printed.
bool print_count_line(report &r, const char *prefix, const char *name, std::int32_t found, std::int32_t written,
                      std::int32_t still);

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

// Under -v, why a file was left alone: "PATH: left alone: WHY"; counted
// either way, and kept for a held window unless told not to.
void print_left_alone(report &r, const char *path, const char *why, bool kept = true);

// Under -v, "PATH: backed up to BACKUP".
void print_backed_up(report &r, const char *path, const char *backup);

// "Restored PATH from BACKUP", or in a dry run "Would restore PATH from
// BACKUP"; none when quiet. Counted either way.
void print_restored(report &r, const char *path, const char *backup);

// "T textures repaired in R of N files[, U still to repair][, A left
// alone][, P problems]", or for a restore "R files restored[, A left
// alone][, P problems]" ("to repair", "to restore" in a dry run), in text
// of at least TOTALS_ROOM bytes; and as a line on out.
constexpr std::size_t TOTALS_ROOM = 200;
void totals_text(const report_totals &t, bool dry_run, bool restore, char *text, std::size_t room);
void print_totals(report &r, bool restore);

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
	bool restore;
	int operands;
	report_totals totals;
	unsigned seen; // SEEN_IN_USE, SEEN_DENIED
	kept_lines problems, left_alone;
	char totals_line[TOTALS_ROOM]; // as --totals prints it, without its "\n"
};
void release_summary(run_summary &s);

// Flushes out and reports, once, that it could not be written: a report
// lost to a full disk is a failure, not a success. A reader that went away
// (a closed pipe) is none: it wanted no more.
void check_output(report &r);

#endif
