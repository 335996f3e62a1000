// --restore: a repaired file put back from its newest backup, byte for
// byte and never by dates or sizes, under the writer's hold.
#include "ops/restore.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "format/archive.h"
#include "format/file_kind.h"
#include "format/texture_patch.h"
#include "ops/backup.h"
#include "ops/backup_check.h"
#include "ops/repair.h"
#include "ops/target.h"
#include "ops/undo_restore.h"

// A backup a restore may take away after it restored from an older one.
struct later_backup {
	backup_name name;
	io_handle f;
};

struct restore_run {
	report &r;
	place where;
	const run_options &options;
	target t;
	backup_name oldest;    // of the backups the file is a repair of, so far
	backup_check check;    // of oldest
	later_backup *later;   // the file a repair of them too, newest first
	std::size_t later_count, later_room;
};

// Puts each changed byte back, then sees it on the disk before the backup
// goes: a restore stopped part way leaves a file that the next one still
// recognises, and finishes.
static bool put_back(restore_run &run)
{
	const change_list &changes = run.check.changes;
	for (std::size_t i = 0; i < changes.count; i++) {
		std::size_t put = 0;
		if (write_at(run.t.f, changes.items[i].at, &changes.items[i].value, 1, &put) != IO_WHOLE) {
			tell_problem(run.r, run.where.shown, nullptr, "write failed", errno);
			return false;
		}
	}
	return flush_target(run.r, run.t);
}

// "PATH: left alone: WHY BACKUP", a problem.
static void refuse(restore_run &run, const char *why, const char *backup)
{
	tell_left_alone_problem(run.r, run.where.shown, why, backup);
}

// "PATH: left alone: WHY" under -v for a FILE; nothing for a file found
// in a folder.
static void pass_over(restore_run &run, const char *why, bool named)
{
	if (named)
		tell_left_alone(run.r, run.where.shown, why);
}

// Why the newest backup is no way back, told as the restore of one backup
// always said it.
static void refuse_newest(restore_run &run, backup_verdict v, const backup_name &b, int err, bool named)
{
	switch (v) {
	case NOT_REGULAR: return refuse(run, "not a regular file:", b.shown);
	case THE_FILE_ITSELF: return refuse(run, "its backup is the file itself:", b.shown);
	case OTHERS_COULD_WRITE: return refuse(run, "a backup another user could change:", b.shown);
	case NO_KIND: return pass_over(run, "its backup is no archive or texture dictionary", named);
	case CHANGED_SINCE: return refuse(run, "changed since", b.shown);
	case UNREADABLE: return tell_problem(run.r, b.shown, nullptr, "cannot read the backup", err);
	case NOT_COMPARED: return tell_problem(run.r, run.where.shown, nullptr, "cannot compare it with its backup", err);
	case REPAIR_OF_IT: return;
	}
}

// Why an older backup than the one restored from was not looked past.
static const char *why_not_used(backup_verdict v)
{
	switch (v) {
	case NOT_REGULAR: return "an older backup, not used: not a regular file";
	case THE_FILE_ITSELF: return "an older backup, not used: it is the file itself";
	case OTHERS_COULD_WRITE: return "an older backup, not used: another user could change it";
	case UNREADABLE: return "an older backup, not used: cannot read it";
	default: return "an older backup, not used: cannot compare the file with it";
	}
}

// Keeps the backup the file was found a repair of until now for taking
// away later, b being older still and the file a repair of it too.
static bool keep_for_later(restore_run &run, backup_check &c, backup_name &b)
{
	if (!grow(run.later, run.later_room, run.later_count + 1))
		return false;
	run.later[run.later_count++] = {run.oldest, run.check.backup};
	run.check.backup = NO_HANDLE;
	release_backup_check(run.check);
	run.oldest = b, run.check = c;
	return true;
}

// From the newest backup down, the oldest the file is a repair of: a run
// killed and run again made a backup of the file part way through its
// repairs, of which the file is a repair too. Only the newest is told why
// it is none; an older that is none ends the search.
static bool find_oldest(restore_run &run, bool named)
{
	for (int below = LAST_BACKUP_NUMBER + 1; below > 1;) {
		backup_name b = backup_before(run.where, below);
		if (b.number == 0 || b.name == nullptr) {
			if (b.name == nullptr)
				tell_problem(run.r, run.where.shown, nullptr, "not enough memory for its backup's name", 0);
			else if (run.oldest.number == 0)
				pass_over(run, "no backup", named);
			release_backup_name(b);
			break;
		}
		backup_check c = {};
		c.backup = NO_HANDLE;
		backup_verdict v = b.regular ? check_backup(c, {run.where.folder, b.name, b.shown}, run.t.f, run.t.facts, run.where.name)
		                             : NOT_REGULAR;
		if (v == REPAIR_OF_IT && run.oldest.number == 0) {
			run.oldest = b, run.check = c, below = b.number;
			continue;
		}
		if (v == REPAIR_OF_IT && keep_for_later(run, c, b)) {
			below = b.number;
			continue;
		}
		if (run.oldest.number == 0)
			refuse_newest(run, v, b, c.err, named);
		else if (v != CHANGED_SINCE && v != NO_KIND && v != REPAIR_OF_IT) // the chain may go on past it
			tell_problem(run.r, b.shown, nullptr, why_not_used(v), v == UNREADABLE || v == NOT_COMPARED ? c.err : 0);
		release_backup_check(c);
		release_backup_name(b);
		break;
	}
	return run.oldest.number != 0;
}

// Takes away a backup once restored from, or one newer than it.
static void take_away(restore_run &run, const backup_name &b, io_handle f, const char *what)
{
	removal gone = run.options.dry_run ? REMOVED : remove_same_file({run.where.folder, b.name, b.shown}, f);
	if (gone == REMOVED && what != nullptr)
		tell_backup(run.r, run.where.shown, b.shown, FLAG_BACKUP_REMOVED);
	else if (gone != REMOVED)
		tell_problem(run.r, b.shown, nullptr,
		             gone == NAME_REPLACED ? "restored, but another file took the backup's name, and is left"
		                                   : "restored, but the backup cannot be removed",
		             gone == NAME_REPLACED ? 0 : errno);
}

// The file open, looked at and, unless a dry run, held: restored from the
// oldest backup it is a repair of; then that one and the newer ones go.
static void restore_from(restore_run &run, bool named)
{
	if (!find_oldest(run, named))
		return;
	if (!run.options.dry_run && !put_back(run))
		return;
	tell_restored(run.r, run.where.shown, run.oldest.shown);
	take_away(run, run.oldest, run.check.backup, nullptr);
	for (std::size_t i = 0; i < run.later_count; i++)
		take_away(run, run.later[i].name, run.later[i].f, "later");
}

// Whether the file has a backup to look at: a file without one is never
// opened for writing.
static bool has_backup(restore_run &run, bool named)
{
	backup_name newest = newest_backup_of(run.where);
	bool has = newest.name != nullptr && newest.number != 0;
	if (newest.name == nullptr)
		tell_problem(run.r, run.where.shown, nullptr, "not enough memory for its backup's name", 0);
	else if (newest.number == 0)
		pass_over(run, "no backup", named);
	else if (!newest.regular)
		refuse(run, "not a regular file:", newest.shown), has = false;
	release_backup_name(newest);
	return has;
}

// Held for this run before it is compared, so that no other run changes
// it between the check and the writes.
static void restore_target(restore_run &run, bool named)
{
	if (run.options.dry_run || hold_target(run.r, run.t))
		restore_from(run, named);
}

static restore_run run_of(report &r, place where, const run_options &options)
{
	restore_run run = {r, where, options, {}, {0, false, nullptr, nullptr}, {}, nullptr, 0, 0};
	run.check.backup = NO_HANDLE;
	return run;
}

static void release_run(restore_run &run)
{
	release_backup_check(run.check);
	release_backup_name(run.oldest);
	for (std::size_t i = 0; i < run.later_count; i++) {
		close_file(run.later[i].f);
		release_backup_name(run.later[i].name);
	}
	std::free(run.later);
}

// A file with an undo record goes back by it, whatever backups it has.
static void restore_by_record(report &r, target &t, const run_options &options)
{
	if (options.dry_run || hold_target(r, t))
		restore_from_record(r, t, options);
}

// The file is looked at, and its record or backup looked for, before it
// is held.
void restore_file(report &r, place where, bool follow, bool named, const run_options &options)
{
	target t;
	if (has_undo_record(where)) {
		if (open_target(r, t, where, follow, options)) {
			restore_by_record(r, t, options);
			close_target(r, t, options.preserve);
		}
		return;
	}
	restore_run run = run_of(r, where, options);
	if (has_backup(run, named) && open_target(r, run.t, where, follow, options)) {
		restore_target(run, named);
		close_target(r, run.t, options.preserve);
	}
	release_run(run);
}

void restore_found_file(report &r, place where, const run_options &options)
{
	restore_run run = run_of(r, where, options);
	if (open_found_target(r, run.t, where, options, found_of_a_kind)) {
		if (has_undo_record(where))
			restore_by_record(r, run.t, options);
		else if (has_backup(run, false))
			restore_target(run, false);
		close_target(r, run.t, options.preserve);
	}
	release_run(run);
}
