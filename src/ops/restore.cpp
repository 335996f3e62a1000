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
#include "ops/repair.h"
#include "ops/target.h"
#include "ops/undo_restore.h"

// A byte of the file: where it is and a value. Where a repair of the
// backup would set a depth to 16, with the depth the backup held there when
// it was walked, sorted by position; and the bytes of the file to put back.
struct byte_change {
	std::uint64_t at;
	unsigned char value;
};
struct depth_list {
	byte_change *items;
	std::size_t count, room;
	bool incomplete; // memory ran out
};
struct change_list {
	byte_change *items;
	std::size_t count, room;
};

struct restore_run {
	report &r;
	place where;
	const run_options &options;
	target t;
	io_handle backup;
	backup_name newest;
	depth_list depths;
	std::uint64_t noted_to; // where the spans walked so far end, at most
	change_list changes;
};

// The walk's listener: one depth of the span that starts at *context.
struct span_depths {
	depth_list *list;
	std::uint64_t start;
};

static void note_depth(std::size_t native, std::uint8_t old_depth, void *context)
{
	span_depths &s = *static_cast<span_depths *>(context);
	depth_list &list = *s.list;
	if (!list.incomplete && !grow(list.items, list.room, list.count + 1))
		list.incomplete = true;
	if (!list.incomplete)
		list.items[list.count++] = {s.start + native + DEPTH_OFFSET, old_depth};
}

static bool before(const byte_change &a, const byte_change &b)
{
	return a.at < b.at;
}

static void sort_depths(depth_list &list)
{
	std::sort(list.items, list.items + list.count, before);
}

// The depth noted at, or null.
static const byte_change *noted_depth(const depth_list &list, std::uint64_t at)
{
	const byte_change *first = list.items, *last = list.items + list.count;
	const byte_change *found = std::lower_bound(first, last, byte_change{at, 0}, before);
	return found != last && found->at == at ? found : nullptr;
}

// A span that overlaps one walked before is read by a repair with that
// one's depths already set to 16, and walked so: the same depths as the
// repair's, none more.
static void set_earlier_depths(restore_run &run, const span &s, unsigned char *bytes, std::size_t got)
{
	if (s.start >= run.noted_to)
		return;
	sort_depths(run.depths);
	byte_change *last = run.depths.items + run.depths.count;
	for (byte_change *d = std::lower_bound(run.depths.items, last, byte_change{s.start, 0}, before);
	     d != last && d->at < s.start + got; d++)
		bytes[d->at - s.start] = 16;
}

// Walks one span of the backup as a repair would, noting its depths.
static bool note_span(restore_run &run, const span &s)
{
	if (s.present == 0)
		return true;
	unsigned char *bytes =
	    s.present <= SIZE_MAX ? static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(s.present))) : nullptr;
	std::size_t got = 0;
	bool read = bytes != nullptr && read_at(run.backup, s.start, bytes, static_cast<std::size_t>(s.present), &got) != IO_FAILED;
	span_depths context = {&run.depths, s.start};
	if (read) {
		set_earlier_depths(run, s, bytes, got);
		patch_texture_depths(bytes, got, note_depth, &context);
		run.noted_to = std::max(run.noted_to, s.start + got);
	}
	std::free(bytes);
	return read && !run.depths.incomplete;
}

// The archive's selected entries, as its backup lists them.
static bool note_archive(restore_run &run, const unsigned char *head, std::size_t got)
{
	std::int32_t count;
	char problem[96];
	if (!entry_count_of(head, got, &count, problem, sizeof problem))
		return true; // nothing a repair would touch
	std::size_t records = records_held(count, run.t.facts.size), read = 0;
	unsigned char *directory = records <= SIZE_MAX / DIR_ENTRY_SIZE
	                               ? static_cast<unsigned char *>(std::malloc(records * DIR_ENTRY_SIZE + 1))
	                               : nullptr;
	bool noted = directory != nullptr &&
	             read_at(run.backup, HEADER_SIZE, directory, records * DIR_ENTRY_SIZE, &read) != IO_FAILED;
	archive_plan plan = plan_archive(directory, read / DIR_ENTRY_SIZE, run.t.facts.size);
	for (span s; noted && next_span(plan, s);)
		noted = note_span(run, s);
	std::free(directory);
	return noted;
}

// Every depth that a repair of the backup would set, sorted, by what its
// first bytes say it is: an archive, or a loose dictionary (repaired with
// -t whatever its name); neither has none. False when they cannot all be
// known.
static bool note_depths(restore_run &run, file_kind *kind)
{
	unsigned char head[HEADER_SIZE];
	std::size_t got = 0;
	*kind = KIND_NEITHER;
	if (read_at(run.backup, 0, head, sizeof head, &got) == IO_FAILED)
		return false;
	*kind = kind_of(head, got, leaf_name(run.where.name), EITHER_KIND);
	if (*kind == KIND_NEITHER)
		*kind = kind_of(head, got, leaf_name(run.where.name), DICTIONARIES_ONLY);
	bool noted = *kind == KIND_ARCHIVE ? note_archive(run, head, got)
	                                   : *kind != KIND_DICTIONARY || note_span(run, whole_file_span("", run.t.facts.size));
	sort_depths(run.depths);
	return noted;
}

enum comparison { SAME_BUT_DEPTHS, CHANGED, UNREADABLE };

// Whether the byte at of the file, which differs from the backup's value,
// is a depth a repair set: it holds 16 where the backup's repair would set
// it, and the backup holds there still what it held when it was walked.
// Such a byte goes back, as it was checked: a backup that changes between
// two reads is changed since.
static bool repaired_depth(restore_run &run, std::uint64_t at, unsigned char in_file, unsigned char value)
{
	const byte_change *depth = noted_depth(run.depths, at);
	if (in_file != 16 || depth == nullptr || depth->value != value)
		return false;
	if (!grow(run.changes.items, run.changes.room, run.changes.count + 1))
		return false;
	run.changes.items[run.changes.count++] = *depth;
	return true;
}

// Compares the file with its backup, chunk by chunk, byte for byte.
static comparison compare(restore_run &run)
{
	const std::size_t chunk = 1 << 20;
	unsigned char *mine = static_cast<unsigned char *>(std::malloc(chunk)), *theirs = static_cast<unsigned char *>(std::malloc(chunk));
	comparison result = mine != nullptr && theirs != nullptr ? SAME_BUT_DEPTHS : UNREADABLE;
	for (std::uint64_t at = 0; result == SAME_BUT_DEPTHS && at < run.t.facts.size; at += chunk) {
		std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, run.t.facts.size - at)), a = 0, b = 0;
		if (read_at(run.t.f, at, mine, n, &a) != IO_WHOLE || read_at(run.backup, at, theirs, n, &b) != IO_WHOLE)
			result = UNREADABLE;
		for (std::size_t i = 0; result == SAME_BUT_DEPTHS && i < n; i++)
			if (mine[i] != theirs[i] && !repaired_depth(run, at + i, mine[i], theirs[i]))
				result = CHANGED;
	}
	std::free(mine);
	std::free(theirs);
	return result;
}

// Puts each changed byte back, then sees it on the disk before the backup
// goes: a restore stopped part way leaves a file that the next one still
// recognises, and finishes.
static bool put_back(restore_run &run)
{
	for (std::size_t i = 0; i < run.changes.count; i++) {
		std::size_t put = 0;
		if (write_at(run.t.f, run.changes.items[i].at, &run.changes.items[i].value, 1, &put) != IO_WHOLE) {
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

// The file open, looked at and, unless a dry run, held; its newest backup
// found again under the hold, since another run may have made one: checks
// it and restores from it.
static void restore_from(restore_run &run, bool named)
{
	release_backup_name(run.newest);
	run.newest = newest_backup_of(run.where);
	if (run.newest.number == 0 || !run.newest.regular)
		return run.newest.number == 0 ? pass_over(run, "no backup", named) : refuse(run, "not a regular file:", run.newest.shown);
	place backup = {run.where.folder, run.newest.name, run.newest.shown};
	file_facts facts;
	file_kind kind = KIND_NEITHER;
	run.backup = open_file(backup, false);
	if (run.backup == NO_HANDLE || !inspect_file(run.backup, &facts))
		return tell_problem(run.r, run.newest.shown, nullptr, nullptr, errno);
	if (!facts.regular)
		return refuse(run, "not a regular file:", run.newest.shown);
	if (facts.volume == run.t.facts.volume && facts.index == run.t.facts.index)
		return refuse(run, "its backup is the file itself:", run.newest.shown);
	if (others_could_write(run.backup, run.t.f))
		return refuse(run, "a backup another user could change:", run.newest.shown);
	if (!note_depths(run, &kind))
		return tell_problem(run.r, run.newest.shown, nullptr, "cannot read the backup", errno);
	if (kind == KIND_NEITHER)
		return pass_over(run, "its backup is no archive or texture dictionary", named);
	comparison c = facts.size != run.t.facts.size ? CHANGED : compare(run);
	if (c == UNREADABLE)
		return tell_problem(run.r, run.where.shown, nullptr, "cannot compare it with its backup", errno);
	if (c == CHANGED)
		return refuse(run, "changed since", run.newest.shown);
	if (!run.options.dry_run && !put_back(run))
		return;
	tell_restored(run.r, run.where.shown, run.newest.shown);
	removal gone = run.options.dry_run ? REMOVED : remove_same_file(backup, run.backup);
	if (gone != REMOVED)
		tell_problem(run.r, run.newest.shown, nullptr,
		             gone == NAME_REPLACED ? "restored, but another file took the backup's name, and is left"
		                                   : "restored, but the backup cannot be removed",
		             gone == NAME_REPLACED ? 0 : errno);
}

// Whether the file has a backup to look at: a file without one is never
// opened for writing.
static bool has_backup(restore_run &run, bool named)
{
	run.newest = newest_backup_of(run.where);
	if (run.newest.name == nullptr)
		tell_problem(run.r, run.where.shown, nullptr, "not enough memory for its backup's name", 0);
	else if (run.newest.number == 0)
		pass_over(run, "no backup", named);
	else if (!run.newest.regular)
		refuse(run, "not a regular file:", run.newest.shown);
	else
		return true;
	return false;
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
	return {r, where, options, {}, NO_HANDLE, {}, {nullptr, 0, 0, false}, 0, {nullptr, 0, 0}};
}

static void release_run(restore_run &run)
{
	if (run.backup != NO_HANDLE)
		close_file(run.backup);
	std::free(run.depths.items);
	std::free(run.changes.items);
	release_backup_name(run.newest);
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
