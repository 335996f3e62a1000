// The repair of one file in place: an archive entry by entry, or a loose
// dictionary whole; read-only until a write is needed, then held for this
// run alone.
#include "ops/repair.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "format/archive.h"
#include "format/little_endian.h"
#include "format/texture_patch.h"
#include "ops/backup.h"
#include "ops/target.h"

// One file's repair: what it was asked, and what it did.
struct file_run {
	report &r;
	target t;
	const char *prefix; // before every stdout line, or null
	const run_options &options;
	bool backed_up;     // or no backup was asked for
	bool backup_failed; // and was told
	bool wrote;         // a depth reached the file
	std::uint64_t found;
};

static void report_problem(file_run &run, const char *what, int err = 0)
{
	tell_problem(run.r, run.t.where.shown, nullptr, what, err);
}

static void report_span(file_run &run, const span &s, const char *what, int err)
{
	tell_problem(run.r, run.t.where.shown, s.label, what, err, FLAG_FOLDS);
}

// The repairs of one dictionary: where each texture native starts in the
// buffer, the depth it had, and whether it reached the file.
struct repair {
	std::size_t native;
	std::uint8_t old_depth;
	bool reached;
};
struct repair_list {
	repair *items;
	std::size_t count, room;
	bool incomplete; // memory ran out before the last repair
};

// A listener for patch_texture_depths.
static void note_repair(std::size_t native, std::uint8_t old_depth, void *context)
{
	repair_list &list = *static_cast<repair_list *>(context);
	if (!list.incomplete && !grow(list.items, list.room, list.count + 1))
		list.incomplete = true;
	if (!list.incomplete)
		list.items[list.count++] = {native, old_depth, true};
}

// The part of a span that lies within the file, as read into memory, and
// what its walk repaired.
struct entry_data {
	unsigned char *bytes;
	std::size_t got;     // bytes read
	const char *problem; // why not all of the span was read, or null
	int err;             // errno behind the problem, or 0
	std::int32_t count;  // depths the walk set to 16
	repair_list repairs; // which, when they are to be told
};

// Reads the present bytes of a span in one read. After a failed read,
// none of them count.
static bool read_present(io_handle f, const span &s, entry_data &d)
{
	io_result result = read_at(f, s.start, d.bytes, static_cast<std::size_t>(s.present), &d.got);
	if (result == IO_FAILED)
		d.problem = "read failed", d.err = errno, d.got = 0;
	return result != IO_FAILED;
}

// Never asks for more memory than the file holds of the span.
static void read_span(io_handle f, const span &s, entry_data &d)
{
	if (s.present > 0 && s.present <= SIZE_MAX)
		d.bytes = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(s.present)));
	if (s.present > 0 && d.bytes == nullptr)
		d.problem = "not enough memory for the entry";
	else if (s.present > 0)
		read_present(f, s, d);
	if (d.problem == nullptr && d.got < s.length)
		d.problem = cut_short_problem(d.got);
}

static void patch(file_run &run, entry_data &d)
{
	d.repairs.count = 0;
	d.repairs.incomplete = false;
	d.count = patch_texture_depths(d.bytes, d.got, run.options.note_textures ? note_repair : nullptr, &d.repairs);
}

static void none_reached(entry_data &d)
{
	for (std::size_t i = 0; i < d.repairs.count; i++)
		d.repairs.items[i].reached = false;
}

// Copies the file before its first write when asked; a backup that
// cannot be made is told once, and nothing is written then.
static bool backed_up(file_run &run)
{
	if (run.backed_up || run.backup_failed)
		return run.backed_up;
	backup_made b = make_backup(run.t.where, run.t.f, run.options.preserve ? &run.t.facts.times : nullptr);
	if (b.number == 0)
		tell_problem(run.r, b.shown != nullptr ? b.shown : run.t.where.shown, nullptr,
		             "no backup made, so the file is left unchanged", b.err);
	else
		tell_backup(run.r, run.t.where.shown, b.shown);
	release_backup(b);
	run.backup_failed = b.number == 0;
	return run.backed_up = !run.backup_failed;
}

// Whether the span may be written: the file held, and backed up when
// asked. Until it was held, another run may have repaired the span: it is
// read and walked again under the hold, and only what it still needs is
// written.
static bool ready_to_write(file_run &run, const span &s, entry_data &d)
{
	if (run.t.refused || run.backup_failed)
		return false;
	if (!run.t.held) {
		if (!hold_target(run.r, run.t))
			return false;
		if (!read_present(run.t.f, s, d)) {
			report_span(run, s, d.problem, d.err);
			d.problem = nullptr;
			d.repairs.count = 0;
			return false;
		}
		patch(run, d);
	}
	return d.count > 0 && backed_up(run);
}

// After a write that failed part way: which of the span's depths hold 16
// now, read back from the file; only those reached it. Returns how many
// did not reach it; all of them when it cannot be read back.
static std::int32_t not_written(file_run &run, const span &s, entry_data &d)
{
	std::int32_t count = d.count;
	d.count = 0;
	if (read_at(run.t.f, s.start, d.bytes, d.got, &d.got) == IO_FAILED) {
		none_reached(d);
		return count;
	}
	for (std::size_t i = 0; i < d.repairs.count; i++)
		d.repairs.items[i].reached = d.bytes[d.repairs.items[i].native + DEPTH_OFFSET] == 16;
	std::int32_t still = patch_texture_depths(d.bytes, d.got);
	d.count = count - still;
	return still;
}

// What became of the depths a span needed: written, and still to repair.
// Those that another run repaired meanwhile are neither.
struct write_outcome {
	std::int32_t written, still;
};

// Writes the repaired bytes back over those they were read from.
static write_outcome write_back(file_run &run, const span &s, entry_data &d)
{
	if (!ready_to_write(run, s, d)) {
		none_reached(d);
		return {0, d.count};
	}
	std::size_t put = 0;
	if (write_at(run.t.f, s.start, d.bytes, d.got, &put) == IO_WHOLE)
		return {d.count, 0};
	report_span(run, s, "write failed", errno);
	std::int32_t still = not_written(run, s, d);
	return {d.count, still};
}

// The textures of the repairs, as the report tells them: each name and
// format read from the buffer the walk repaired, which changed only depth
// bytes. Null when there are none or memory is short.
static texture_note *notes_of(const entry_data &d)
{
	texture_note *notes = d.repairs.count > 0 ? static_cast<texture_note *>(std::calloc(d.repairs.count, sizeof *notes)) : nullptr;
	for (std::size_t i = 0; notes != nullptr && i < d.repairs.count; i++) {
		const unsigned char *native = d.bytes + d.repairs.items[i].native;
		std::memcpy(notes[i].name, native + TEXTURE_NAME_OFFSET, TEXTURE_NAME_SIZE);
		notes[i].format = pixel_format_name(get32le(native + RASTER_FORMAT_OFFSET));
		notes[i].old_depth = d.repairs.items[i].old_depth;
		notes[i].reached = d.repairs.items[i].reached;
	}
	return notes;
}

static void tell_entry(file_run &run, const span &s, const entry_data &d, std::int32_t found, write_outcome done)
{
	texture_note *notes = notes_of(d);
	event e = {};
	e.kind = EVENT_ENTRY;
	e.path = run.t.where.shown, e.entry = s.label, e.prefix = run.prefix;
	e.found = found, e.written = done.written, e.still = done.still;
	e.textures = notes, e.texture_count = notes != nullptr ? d.repairs.count : 0;
	tell(run.r, e);
	std::free(notes);
}

// Patches what could be read of the dictionary, writes it back over the
// same bytes when anything changed, and tells what became of it.
static void repair_span(file_run &run, const span &s)
{
	entry_data d = {nullptr, 0, nullptr, 0, 0, {nullptr, 0, 0, false}};
	read_span(run.t.f, s, d);
	patch(run, d);
	std::int32_t found = d.count;
	write_outcome done = {0, 0};
	if (found > 0 && !run.options.dry_run)
		done = write_back(run, s, d);
	tell_entry(run, s, d, found, done);
	run.found += static_cast<std::uint64_t>(found);
	run.wrote = run.wrote || done.written > 0;
	std::free(d.bytes);
	std::free(d.repairs.items);
	if (d.repairs.incomplete)
		report_span(run, s, "not enough memory to list every repair", 0);
	if (d.problem != nullptr)
		report_span(run, s, d.problem, d.err);
}

// Reads as many whole directory records as the file holds, up to the
// count; null when memory cannot hold them. A read that fails part way
// keeps the records read whole before it, and says so after them.
static unsigned char *read_directory(file_run &run, std::int32_t count, std::size_t *records, int *err)
{
	std::size_t listed = records_held(count, run.t.facts.size);
	unsigned char *directory = nullptr;
	// A 32-bit size_t cannot count the bytes of 2^27 records or more.
	if (listed <= SIZE_MAX / DIR_ENTRY_SIZE)
		directory = static_cast<unsigned char *>(std::malloc(listed > 0 ? listed * DIR_ENTRY_SIZE : 1));
	if (directory == nullptr) {
		char what[80];
		std::snprintf(what, sizeof what, "not enough memory for a directory of %llu entries",
		              static_cast<unsigned long long>(listed));
		report_problem(run, what);
		return nullptr;
	}
	std::size_t got = 0;
	*err = read_at(run.t.f, HEADER_SIZE, directory, listed * DIR_ENTRY_SIZE, &got) == IO_FAILED ? errno : 0;
	*records = got / DIR_ENTRY_SIZE;
	return directory;
}

// The directory and every selected entry, after the header.
static void repair_archive(file_run &run)
{
	std::int32_t count;
	char problem[96];
	if (!entry_count_of(run.t.head, run.t.head_got, &count, problem, sizeof problem)) {
		report_problem(run, problem);
		return;
	}
	std::size_t records = 0;
	int err = 0;
	unsigned char *directory = read_directory(run, count, &records, &err);
	if (directory == nullptr)
		return;
	archive_plan plan = plan_archive(directory, records, run.t.facts.size);
	for (span s; next_span(plan, s);)
		repair_span(run, s);
	tell_entries_done(run.r, run.t.where.shown);
	std::free(directory);
	if (err != 0)
		report_problem(run, "cannot read the directory", err);
	else if (directory_cut_short(count, records, problem, sizeof problem))
		report_problem(run, problem);
}

// Repairs the file by the kind its first bytes say, and tells it done.
static void repair_by_kind(file_run &run, file_kind kind, bool name_archive_lines)
{
	if (kind == KIND_ARCHIVE) {
		run.prefix = name_archive_lines ? run.t.where.shown : nullptr;
		repair_archive(run);
	} else
		repair_span(run, whole_file_span(run.t.where.shown, run.t.facts.size));
}

// The file's end: its times back when it was written to and -p asks, the
// close, and the file done.
static void finish(file_run &run)
{
	close_target(run.r, run.t, run.options.preserve);
	tell_file_done(run.r, run.t.where.shown, run.options.dry_run ? run.found > 0 : run.wrote);
}

static file_run run_of(report &r, const run_options &options)
{
	return {r, {}, nullptr, options, !options.backup, false, false, 0};
}

bool repair_file(report &r, place where, bool follow, kind_rule rule, bool name_archive_lines,
                 const run_options &options)
{
	file_run run = run_of(r, options);
	if (!open_target(r, run.t, where, follow, options))
		return true;
	if (!read_target_head(r, run.t, rule == DICTIONARIES_ONLY ? "cannot read" : "cannot read header")) {
		close_target(r, run.t, false);
		return true;
	}
	file_kind kind = kind_of(run.t.head, run.t.head_got, leaf_name(where.name), rule);
	if (kind == KIND_NEITHER) {
		close_target(r, run.t, false);
		return false;
	}
	repair_by_kind(run, kind, name_archive_lines);
	finish(run);
	return true;
}

bool found_of_a_kind(const target &t)
{
	return kind_of(t.head, t.head_got, t.where.name, EITHER_KIND) != KIND_NEITHER;
}

// What the folder says is trusted: a file is looked at again only when it
// is to be repaired.
void repair_found_file(report &r, place where, const run_options &options)
{
	file_run run = run_of(r, options);
	if (!open_found_target(r, run.t, where, options, found_of_a_kind))
		return;
	repair_by_kind(run, kind_of(run.t.head, run.t.head_got, where.name, EITHER_KIND), true);
	finish(run);
}
