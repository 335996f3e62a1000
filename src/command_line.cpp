// The command line: the loop over operands, the totals and the exit
// status.
#include "command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "format/file_kind.h"
#include "ops/repair.h"
#include "ops/restore.h"
#include "options.h"
#include "platform/file_access.h"
#include "report/json_lines.h"
#include "report/lines.h"
#include "report/report.h"
#include "report/text_lines.h"
#include "walk/folder_search.h"
#include "walk/policy.h"
#include "walk/read_ahead.h"
#include "walk/wildcards.h"

// What a search passed over is told, and counted; a restore says nothing
// of its own backups.
static void search_folder(report &r, const command &c, const char *path)
{
	search s;
	found_file f;
	search_begin(s, path, c.ahead, c.one_file_system);
	while (next_found_file(s, f)) {
		if (f.problem != nullptr)
			tell_problem(r, f.where.shown, nullptr, f.problem, f.err);
		else if (f.passed_over != nullptr && !(c.restore && (is_backup_name(f.where.name) || is_undo_record_name(f.where.name))))
			tell_left_alone(r, f.where.shown, f.passed_over, f.where.folder != nullptr ? unsigned{FLAG_FOUND_IN_SEARCH} : 0U);
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
		tell_problem(r, operand, nullptr, nullptr, errno);
		return;
	}
	place where = {folder, name, operand, target};
	bool follow = target == nullptr;
	if (c.restore)
		restore_file(r, where, follow, true, c.run);
	else if (!repair_file(r, where, follow, c.loose ? DICTIONARIES_ONLY : EITHER_KIND, c.count > 1 || c.with_filename, c.run))
		tell_left_alone(r, operand, c.loose || has_txd_extension(name) ? "not a texture dictionary" : "not a VER2 archive");
	close_folder(folder);
}

// A backup or an undo record named for --restore stands for its file,
// which is handled as a FILE: a backup of a backup is still left alone.
static void restore_named_backup(report &r, const command &c, const char *operand, const char *what)
{
	char *file = file_of_backup(operand);
	operand_plan plan = plan_operand(file != nullptr ? file : operand);
	if (file == nullptr) // named to be restored from, and it would not be
		tell_problem(r, operand, nullptr, "no name a restore uses (FILE.bak, FILE.bak.N, FILE.undo)", 0);
	else if (plan.kind == OPERAND_BACKUP || plan.kind == OPERAND_RECORD)
		tell_left_alone(r, operand, what);
	else if (plan.kind == OPERAND_MISSING)
		tell_problem(r, file, nullptr, nullptr, plan.err);
	else if (plan.kind == OPERAND_FILE)
		repair_operand(r, c, file, plan.target);
	else
		tell_left_alone(r, operand, plan.kind == OPERAND_FOLDER ? "a folder's backup" : "a backup of no regular file");
	release_operand_plan(plan);
	std::free(file);
}

// Lines of several archives say which archive they come from, as grep's do.
static void handle_operand(report &r, const command &c, const char *operand)
{
	operand_plan plan = plan_operand(operand);
	switch (plan.kind) {
	case OPERAND_FOLDER: search_folder(r, c, operand); break;
	case OPERAND_MISSING: tell_problem(r, operand, nullptr, nullptr, plan.err); break;
	case OPERAND_BACKUP:
	case OPERAND_RECORD: {
		const char *what = plan.kind == OPERAND_BACKUP ? "a backup" : "an undo record";
		if (c.restore)
			restore_named_backup(r, c, operand, what);
		else
			tell_left_alone(r, operand, what);
		break;
	}
	case OPERAND_LINK_TO_BACKUP: tell_left_alone(r, operand, "a link to a backup"); break;
	case OPERAND_NOT_REGULAR: tell_problem(r, operand, nullptr, "not a regular file", 0); break;
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
		tell_problem(r, "wildcards", nullptr, "not enough memory to expand them", 0);
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
	c.ahead = start_read_ahead(c.jobs, on_rotating_disk(paths[0]), c.one_file_system);
	read_ahead_paths(c.ahead, paths, count);
}

// Helpers read ahead of the names a wildcard stood for as of any others.
static void start_helpers_for(command &c, const path_list &expanded)
{
	const char **paths = static_cast<const char **>(std::malloc(expanded.count * sizeof *paths + 1));
	std::size_t n = 0;
	for (std::size_t i = 0; paths != nullptr && i < expanded.count; i++)
		if (!expanded.items[i].only_passed_over)
			paths[n++] = expanded.items[i].path;
	if (paths != nullptr)
		start_helpers(c, paths, n);
	std::free(paths);
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
		start_helpers_for(c, expanded);
		for (std::size_t i = 0; i < expanded.count; i++) {
			if (expanded.items[i].only_passed_over)
				tell_left_alone(r, expanded.items[i].path, "only backups or links match it");
			else
				handle_operand(r, c, expanded.items[i].path);
		}
	}
	stop_read_ahead(c.ahead);
	c.ahead = nullptr;
	release_paths(expanded); // what an expansion cut short by memory made too
}

// What the options ask of the lines.
static run_asked asked_of(const command &c)
{
	return {c.run.dry_run, c.check, c.restore, c.run.backup, c.quiet, c.verbose, c.totals, c.count, c.run.keep_undo};
}

// The lines a run writes: the text lines, and with --json JSON Lines on
// standard output in place of the text lines' own there.
struct run_lines {
	line_stream out, err;
	text_lines text;
	json_lines json;
};

// Handles every operand: -1 then, or the status of a run that ended on
// its command line (help, version, a usage error, nothing given).
static int run_command(report &r, run_lines &lines, int argc, char *argv[], command &c, bool keep_undo)
{
	if (argc <= 1) {
		tell_usage(r, "no FILE or FOLDER given; try 'txd-depth-fix --help'", FLAG_BARE_START);
		return EXIT_CLEAN;
	}
	int status = read_options(argc, argv, r, c);
	if (status != -1)
		return status;
	c.run.keep_undo = c.run.keep_undo || (keep_undo && !c.restore);
	if (c.json) {
		lines.text.report_lines = false;
		attach(r, json_listener(lines.json));
	}
	tell_start(r, asked_of(c));
	if (c.count == 0) {
		tell_usage(r, "no FILE or FOLDER given", FLAG_NONE_GIVEN);
		return EXIT_USAGE;
	}
	c.run.note_textures = c.verbose || c.json;
	handle_operands(r, c);
	tell_summary(r);
	return -1;
}

// Standard output is never a file to handle: its identity, where it has
// one (a pipe or a terminal has too, which no file handled shares).
static void note_output(run_options &run, std::FILE *out)
{
	io_handle stream = file_of_stream(out);
	run.output_known = stream != NO_HANDLE && inspect_file(stream, &run.output);
}

int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err, const run_setup *setup)
{
	run_lines lines;
	open_line_stream(lines.out, out);
	open_line_stream(lines.err, err);
	text_lines_begin(lines.text, lines.out, lines.err);
	json_lines_begin(lines.json, lines.out);
	report r;
	report_begin(r);
	attach(r, text_listener(lines.text));
	if (setup != nullptr) {
		lines.text.leave_out_zero_lines = setup->leave_out_zero_lines;
		lines.text.usage_hint = setup->usage_hint;
		if (setup->also.heard != nullptr)
			attach(r, setup->also);
	}
	command c = {};
	file_set seen = {nullptr, 0, 0};
	c.run.seen = &seen;
	note_output(c.run, out);
	int status = run_command(r, lines, argc, argv, c, setup != nullptr && setup->keep_undo);
	if (int failed = close_line_stream(lines.out)) // a report lost to a full disk is a failure
		tell_problem(r, "standard output", nullptr, std::strerror(failed), 0);
	if (status == -1)
		status = status_of(r, c);
	else if (status == EXIT_CLEAN && r.totals.problems > 0) // help that could not be written
		status = c.check ? int{CHECK_PROBLEM} : int{EXIT_REPORTED};
	release_file_set(seen);
	tell_end(r);
	text_lines_end(lines.text);
	json_lines_end(lines.json);
	return status;
}
