// The command line: the loop over operands, the totals and the exit
// status.
#include "command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "walk/policy.h"
#include "platform/file_access.h"
#include "format/file_kind.h"
#include "ops/repair.h"
#include "walk/folder_search.h"
#include "options.h"
#include "walk/read_ahead.h"
#include "report/report.h"
#include "ops/restore.h"
#include "walk/wildcards.h"

// What a search passed over is counted, and said under -v; a held window
// shows links and special files among what was left alone, not backups,
// which a second run over a repaired folder finds by the hundred. A
// restore says nothing of its own backups.
static void search_folder(report &r, const command &c, const char *path)
{
	search s;
	found_file f;
	search_begin(s, path, c.ahead);
	while (next_found_file(s, f)) {
		if (f.problem != nullptr)
			print_problem(r, f.where.shown, nullptr, f.problem, f.err);
		else if (f.passed_over != nullptr && !(c.restore && is_backup_name(f.where.name)))
			print_left_alone(r, f.where.shown, f.passed_over, !is_backup_name(f.where.name));
		else if (c.restore && f.passed_over == nullptr)
			restore_found_file(r, f.where, c.run);
		else if (f.passed_over == nullptr)
			repair_found_file(r, f.where, c.run);
	}
	search_end(s);
}

// A FILE opens, and is backed up, below its folder held open; a FILE that
// is a link, below the folder of the file it leads to, never through the
// link again: the backup lies beside the file, not beside the link, where
// the file's readers may not be the link's.
static void repair_operand(report &r, const command &c, const char *operand, const char *target)
{
	const char *name;
	open_folder *folder = open_folder_of(target != nullptr ? target : operand, &name);
	if (folder == nullptr) {
		print_problem(r, operand, nullptr, nullptr, errno);
		return;
	}
	place where = {folder, name, operand, target};
	bool follow = target == nullptr;
	if (c.restore)
		restore_file(r, where, follow, true, c.run);
	else if (!repair_file(r, where, follow, c.loose ? DICTIONARIES_ONLY : EITHER_KIND, c.count > 1 || c.with_filename, c.run))
		print_left_alone(r, operand, c.loose || has_txd_extension(name) ? "not a texture dictionary" : "not a VER2 archive");
	close_folder(folder);
}

// Lines of several archives say which archive they come from, as grep's do.
static void handle_operand(report &r, const command &c, const char *operand)
{
	operand_plan plan = plan_operand(operand);
	switch (plan.kind) {
	case OPERAND_FOLDER: search_folder(r, c, operand); break;
	case OPERAND_MISSING: print_problem(r, operand, nullptr, nullptr, plan.err); break;
	case OPERAND_BACKUP: print_left_alone(r, operand, "a backup"); break;
	case OPERAND_LINK_TO_BACKUP: print_left_alone(r, operand, "a link to a backup"); break;
	case OPERAND_NOT_REGULAR: print_problem(r, operand, nullptr, "not a regular file", 0); break;
	case OPERAND_FILE: repair_operand(r, c, operand, plan.target); break;
	}
	release_operand_plan(plan);
}

// The status of a run that ended normally: with --check, whether anything
// needs repair.
static int status_of(const report &r, const command &c)
{
	if (c.check)
		return r.totals.problems > 0 ? CHECK_PROBLEM : r.totals.textures > 0 ? CHECK_TO_REPAIR : CHECK_NOTHING_TO_REPAIR;
	return r.totals.problems > 0 ? EXIT_REPORTED : EXIT_CLEAN;
}

// Windows programs expand the wildcards of their operands themselves, those
// before "--"; true when the operands are then the expanded ones. Memory
// running out leaves them as they were, and says so; what was expanded
// by then is only released.
static bool expand_wildcards(report &r, command &c, path_list &expanded)
{
	bool any = false;
	for (int i = 0; i < c.before_double_dash; i++)
		any = any || std::strpbrk(c.operands[i], "*?") != nullptr;
	if (!WINDOWS_COMMAND_LINE || !any)
		return false;
	bool whole = true;
	for (int i = 0; whole && i < c.count; i++)
		whole = i < c.before_double_dash ? expand_operand(c.operands[i], expanded) : add_operand(c.operands[i], expanded);
	if (!whole || expanded.count > INT_MAX) {
		print_problem(r, "wildcards", nullptr, "not enough memory to expand them", 0);
		return false;
	}
	c.count = static_cast<int>(expanded.count);
	return true;
}

// Helpers read ahead of a folder search or of several operands; one FILE
// is read by the walk alone, as it always was.
static void start_helpers(command &c, const char *const *paths, std::size_t count)
{
	if (c.jobs <= 1 || count == 0 || (count == 1 && kind_of_path(paths[0]) != PATH_FOLDER))
		return;
	c.ahead = start_read_ahead(c.jobs, on_rotating_disk(paths[0]));
	read_ahead_paths(c.ahead, paths, count);
}

// The operands, expanded or as given.
static void handle_operands(report &r, command &c)
{
	path_list expanded = {nullptr, 0, 0};
	if (!expand_wildcards(r, c, expanded)) {
		start_helpers(c, c.operands, static_cast<std::size_t>(c.count));
		for (int i = 0; i < c.count; i++)
			handle_operand(r, c, c.operands[i]);
	} else {
		for (std::size_t i = 0; i < expanded.count; i++) {
			if (expanded.items[i].only_passed_over)
				print_left_alone(r, expanded.items[i].path, "only backups or links match it");
			else
				handle_operand(r, c, expanded.items[i].path);
		}
	}
	stop_read_ahead(c.ahead);
	c.ahead = nullptr;
	release_paths(expanded); // what an expansion cut short by memory made too
}

// Handles every operand: -1 then, or the status of a run that ended on
// its command line (help, version, a usage error, nothing given).
static int run_command(report &r, int argc, char *argv[], command &c, run_summary &summary)
{
	if (argc <= 1) {
		if (!summary.keep) { // a held window says how to start instead
			line_add(r, r.err, "txd-depth-fix: no FILE or FOLDER given; try 'txd-depth-fix --help'");
			line_end(r, r.err);
		}
		return EXIT_CLEAN;
	}
	int status = read_options(argc, argv, r, c);
	if (c.check)
		summary.keep = false; // a check is a script's, and never waits
	summary.restore = c.restore;
	if (status != -1)
		return status;
	r.quiet = c.quiet || summary.keep;
	r.verbose = c.run.verbose;
	r.dry_run = c.run.dry_run;
	handle_operands(r, c);
	if (c.totals)
		print_totals(r, c.restore);
	summary.operands = c.count;
	return -1;
}

int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err, run_summary *summary)
{
	run_summary own = {};
	run_summary &s = summary != nullptr ? *summary : own;
	s.operands = 0;
	report r;
	report_begin(r, out, err, &s);
	command c = {};
	int status = run_command(r, argc, argv, c, s);
	check_output(r);
	if (status == -1)
		status = status_of(r, c);
	else if (status == EXIT_CLEAN && r.totals.problems > 0) // help that could not be written
		status = c.check ? int{CHECK_PROBLEM} : int{EXIT_REPORTED};
	s.totals = r.totals;
	s.seen = r.seen;
	s.usage_error = status == EXIT_USAGE && !c.none_given; // options with nothing to use them on: drop something
	totals_text(r.totals, c.run.dry_run, c.restore, s.totals_line, sizeof s.totals_line);
	report_end(r);
	return status;
}
