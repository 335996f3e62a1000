// The check of a file against a backup: the backup walked as a repair
// would walk it, noting each depth it would set, then both compared.
#include "ops/backup_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "format/archive.h"
#include "format/file_kind.h"
#include "format/texture_patch.h"

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
static void set_earlier_depths(backup_check &run, const span &s, unsigned char *bytes, std::size_t got)
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
static bool note_span(backup_check &run, const span &s)
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
static bool note_archive(backup_check &run, const unsigned char *head, std::size_t got)
{
	std::int32_t count;
	char problem[96];
	if (!entry_count_of(head, got, &count, problem, sizeof problem))
		return true; // nothing a repair would touch
	std::size_t records = records_held(count, run.size), read = 0;
	unsigned char *directory = records <= SIZE_MAX / DIR_ENTRY_SIZE
	                               ? static_cast<unsigned char *>(std::malloc(records * DIR_ENTRY_SIZE + 1))
	                               : nullptr;
	bool noted = directory != nullptr &&
	             read_at(run.backup, HEADER_SIZE, directory, records * DIR_ENTRY_SIZE, &read) != IO_FAILED;
	archive_plan plan = plan_archive(directory, read / DIR_ENTRY_SIZE, run.size);
	for (span s; noted && next_span(plan, s);)
		noted = note_span(run, s);
	std::free(directory);
	return noted;
}

// Every depth that a repair of the backup would set, sorted, by what its
// first bytes say it is: an archive, or a loose dictionary (repaired with
// -t whatever its name); neither has none. False when they cannot all be
// known.
static bool note_depths(backup_check &run, file_kind *kind)
{
	unsigned char head[HEADER_SIZE];
	std::size_t got = 0;
	*kind = KIND_NEITHER;
	if (read_at(run.backup, 0, head, sizeof head, &got) == IO_FAILED)
		return false;
	*kind = kind_of(head, got, leaf_name(run.name), EITHER_KIND);
	if (*kind == KIND_NEITHER)
		*kind = kind_of(head, got, leaf_name(run.name), DICTIONARIES_ONLY);
	bool noted = *kind == KIND_ARCHIVE ? note_archive(run, head, got)
	                                   : *kind != KIND_DICTIONARY || note_span(run, whole_file_span("", run.size));
	sort_depths(run.depths);
	return noted;
}

enum comparison { SAME_BUT_DEPTHS, CHANGED, UNREADABLE_NOW };

// Whether the byte at of the file, which differs from the backup's value,
// is a depth a repair set: it holds 16 where the backup's repair would set
// it, and the backup holds there still what it held when it was walked.
// Such a byte goes back, as it was checked: a backup that changes between
// two reads is changed since.
static bool repaired_depth(backup_check &run, std::uint64_t at, unsigned char in_file, unsigned char value)
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
static comparison compare(backup_check &run)
{
	const std::size_t chunk = 1 << 20;
	unsigned char *mine = static_cast<unsigned char *>(std::malloc(chunk)), *theirs = static_cast<unsigned char *>(std::malloc(chunk));
	comparison result = mine != nullptr && theirs != nullptr ? SAME_BUT_DEPTHS : UNREADABLE_NOW;
	for (std::uint64_t at = 0; result == SAME_BUT_DEPTHS && at < run.size; at += chunk) {
		std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, run.size - at)), a = 0, b = 0;
		if (read_at(run.file, at, mine, n, &a) != IO_WHOLE || read_at(run.backup, at, theirs, n, &b) != IO_WHOLE)
			result = UNREADABLE_NOW;
		for (std::size_t i = 0; result == SAME_BUT_DEPTHS && i < n; i++)
			if (mine[i] != theirs[i] && !repaired_depth(run, at + i, mine[i], theirs[i]))
				result = CHANGED;
	}
	std::free(mine);
	std::free(theirs);
	return result;
}

backup_verdict check_backup(backup_check &c, place where, io_handle file, const file_facts &facts, const char *name)
{
	c = {file, facts.size, name, open_file(where, false), {}, {nullptr, 0, 0, false}, 0, {nullptr, 0, 0}, 0};
	file_kind kind = KIND_NEITHER;
	if (c.backup == NO_HANDLE || !inspect_file(c.backup, &c.facts))
		return c.err = errno, UNREADABLE;
	if (!c.facts.regular)
		return NOT_REGULAR;
	if (c.facts.volume == facts.volume && c.facts.index == facts.index)
		return THE_FILE_ITSELF;
	if (others_could_write(c.backup, file))
		return OTHERS_COULD_WRITE;
	if (!note_depths(c, &kind))
		return c.err = errno, UNREADABLE;
	if (kind == KIND_NEITHER)
		return NO_KIND;
	comparison result = c.facts.size != facts.size ? CHANGED : compare(c);
	if (result == UNREADABLE_NOW)
		return c.err = errno, NOT_COMPARED;
	return result == CHANGED ? CHANGED_SINCE : REPAIR_OF_IT;
}

void release_backup_check(backup_check &c)
{
	if (c.backup != NO_HANDLE)
		close_file(c.backup);
	c.backup = NO_HANDLE;
	std::free(c.depths.items);
	std::free(c.changes.items);
	c.depths = {nullptr, 0, 0, false};
	c.changes = {nullptr, 0, 0};
}
