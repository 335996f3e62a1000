// One span of a file: read in one call, walked, held and backed up before
// its first write, written back over the same bytes, and told.
#include "ops/repair_run.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "format/little_endian.h"
#include "format/texture_patch.h"
#include "ops/backup.h"
#include "ops/backup_check.h"

void report_span(file_run &run, const span &s, const char *what, int err)
{
	tell_problem(run.r, run.t.where.shown, s.label, what, err, FLAG_FOLDS);
}

// A listener for patch_texture_depths.
static void note_repair(std::size_t native, std::uint8_t old_depth, void *context)
{
	repair_list &list = *static_cast<repair_list *>(context);
	if (!list.incomplete && !grow(list.items, list.room, list.count + 1))
		list.incomplete = true;
	if (!list.incomplete)
		list.items[list.count++] = {native, old_depth, true};
}

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
void read_span(io_handle f, const span &s, entry_data &d)
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

// Each repair is noted when it is to be told, and when the undo record
// must say what it changed.
void patch(file_run &run, entry_data &d)
{
	d.repairs.count = 0;
	d.repairs.incomplete = false;
	bool note = run.options.note_textures || run.undo != nullptr;
	d.count = patch_texture_depths(d.bytes, d.got, note ? note_repair : nullptr, &d.repairs);
}

void none_reached(entry_data &d)
{
	for (std::size_t i = 0; i < d.repairs.count; i++)
		d.repairs.items[i].reached = false;
}

// Whether the newest backup holds the file already, but for depths a
// repair sets: a run stopped part way and run again needs no copy of the
// file half repaired, and a restore reaches the original by the one there.
static bool backed_up_already(file_run &run)
{
	backup_name newest = newest_backup_of(run.t.where);
	bool already = false;
	if (newest.number > 0 && newest.regular) {
		backup_check c = {};
		place backup = {run.t.where.folder, newest.name, newest.shown};
		already = check_backup(c, backup, run.t.f, run.t.facts, run.t.where.name) == REPAIR_OF_IT;
		release_backup_check(c);
	}
	if (already)
		tell_backup(run.r, run.t.where.shown, newest.shown, FLAG_BACKUP_ALREADY);
	release_backup_name(newest);
	return already;
}

// Copies the file before its first write when asked; a backup that
// cannot be made is told once, and nothing is written then.
static bool backed_up(file_run &run)
{
	if (run.backed_up || run.backup_failed)
		return run.backed_up;
	if (backed_up_already(run))
		return run.backed_up = true;
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
bool ready_to_write(file_run &run, const span &s, entry_data &d)
{
	if (run.t.refused || run.backup_failed || run.undo_failed)
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

// Writes the repaired bytes, which are ready to write, back over those
// they were read from.
write_outcome write_ready(file_run &run, const span &s, entry_data &d)
{
	std::size_t put = 0;
	if (write_at(run.t.f, s.start, d.bytes, d.got, &put) == IO_WHOLE)
		return {d.count, 0};
	report_span(run, s, "write failed", errno);
	std::int32_t still = not_written(run, s, d);
	return {d.count, still};
}

write_outcome write_back(file_run &run, const span &s, entry_data &d)
{
	if (!ready_to_write(run, s, d)) {
		none_reached(d);
		return {0, d.count};
	}
	return write_ready(run, s, d);
}

texture_note *notes_of(const entry_data &d)
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

static void tell_entry(file_run &run, const span &s, const entry_data &d, std::int32_t found, write_outcome done,
                       texture_note *noted)
{
	texture_note *notes = noted != nullptr ? noted : run.options.note_textures ? notes_of(d) : nullptr;
	event e = {};
	e.kind = EVENT_ENTRY;
	e.path = run.t.where.shown, e.entry = s.label, e.prefix = run.prefix;
	e.found = found, e.written = done.written, e.still = done.still;
	e.textures = notes, e.texture_count = notes != nullptr ? d.repairs.count : 0;
	tell(run.r, e);
	if (notes != noted)
		std::free(notes);
}

// Tells what became of a span, and lets go of what it held.
void span_done(file_run &run, const span &s, entry_data &d, std::int32_t found, write_outcome done, texture_note *notes)
{
	tell_entry(run, s, d, found, done, notes);
	run.found += static_cast<std::uint64_t>(found);
	run.wrote = run.wrote || done.written > 0;
	std::free(d.bytes);
	std::free(d.repairs.items);
	if (d.repairs.incomplete)
		report_span(run, s, "not enough memory to list every repair", 0);
	if (d.problem != nullptr)
		report_span(run, s, d.problem, d.err);
}

