// The way back from an undo record: read once, trusted only as a backup
// is, undone newest entry first so that each entry is checked as the
// entries after it left it.
#include "ops/undo_restore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/checksum.h"
#include "format/archive.h"
#include "format/little_endian.h"
#include "format/undo_record.h"
#include "ops/undo.h"

bool has_undo_record(place where)
{
	undo_keeper k;
	undo_begin(k, where);
	bool has = k.name != nullptr && kind_of_name(undo_place(k, where)) != NAME_FREE;
	undo_end(k);
	return has;
}

struct record_run {
	report &r;
	target &t;
	const run_options &options;
	undo_keeper names;
	io_handle f; // the record, read once
	undo_record record;
	unsigned char *directory; // the file's, read when an entry must be named
	std::size_t records;
	bool directory_read;
	char label[NAME_SIZE + 1];
};

// The name of the entry that starts at start, as the file's directory
// lists it now; null for a loose dictionary or an entry no record names.
static const char *entry_at(record_run &run, std::uint64_t start)
{
	std::int32_t count;
	char problem[96];
	unsigned char head[HEADER_SIZE];
	std::size_t head_got = 0;
	if (!run.directory_read && read_at(run.t.f, 0, head, sizeof head, &head_got) != IO_FAILED &&
	    head_got >= 4 && get32le(head) == VER2_MAGIC && entry_count_of(head, head_got, &count, problem, sizeof problem)) {
		std::size_t held = records_held(count, run.t.facts.size), got = 0;
		run.directory = static_cast<unsigned char *>(std::malloc(held * DIR_ENTRY_SIZE + 1));
		if (run.directory != nullptr && read_at(run.t.f, HEADER_SIZE, run.directory, held * DIR_ENTRY_SIZE, &got) != IO_FAILED)
			run.records = got / DIR_ENTRY_SIZE;
	}
	run.directory_read = true;
	for (std::size_t i = 0; i < run.records; i++) {
		dir_entry e = decode_dir_entry(run.directory + i * DIR_ENTRY_SIZE);
		if (e.first_sector * SECTOR_SIZE == start && has_txd_extension(e.name))
			return std::memcpy(run.label, e.name, sizeof run.label), run.label;
	}
	return nullptr;
}

enum entry_state { AS_WRITTEN, AS_BEFORE, CHANGED_SINCE, UNREADABLE };

// Whether the entry's bytes are as the run wrote them (its depths 16, or
// some of them still as they were, where a run stopped part way through
// the write), or as before it wrote them: with the recorded depths set to
// 16, they are what was written.
static entry_state state_of(unsigned char *bytes, const undo_entry &e)
{
	bool written = false;
	for (std::size_t i = 0; i < e.count; i++) {
		unsigned char &b = bytes[e.changes[i].at - e.start];
		if (b != 16 && b != e.changes[i].was)
			return CHANGED_SINCE;
		written = written || b == 16;
		b = 16;
	}
	if (checksum64(bytes, static_cast<std::size_t>(e.length)) != e.checksum)
		return CHANGED_SINCE;
	return written ? AS_WRITTEN : AS_BEFORE;
}

static entry_state read_state(record_run &run, const undo_entry &e)
{
	if (e.start > run.t.facts.size || e.length > run.t.facts.size - e.start || e.length > SIZE_MAX)
		return CHANGED_SINCE;
	unsigned char *bytes = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(e.length) + 1));
	std::size_t got = 0;
	io_result read = bytes != nullptr ? read_at(run.t.f, e.start, bytes, static_cast<std::size_t>(e.length), &got) : IO_FAILED;
	entry_state state = read == IO_FAILED ? UNREADABLE : got != e.length ? CHANGED_SINCE : state_of(bytes, e);
	std::free(bytes);
	return state;
}

// Puts back each byte the entry's repair changed.
static bool put_back(record_run &run, const undo_entry &e)
{
	for (std::size_t i = 0; i < e.count; i++) {
		std::size_t put = 0;
		if (write_at(run.t.f, e.changes[i].at, &e.changes[i].was, 1, &put) != IO_WHOLE)
			return false;
	}
	return true;
}

// Undoes every entry, newest first; true when none was left alone.
static bool undo_entries(record_run &run)
{
	bool whole = true;
	for (std::size_t i = run.record.count; i > 0; i--) {
		const undo_entry &e = run.record.entries[i - 1];
		entry_state state = read_state(run, e);
		if (state == CHANGED_SINCE)
			tell_problem(run.r, run.t.where.shown, entry_at(run, e.start), "left alone: changed since", 0, FLAG_FOLDS);
		else if (state == UNREADABLE)
			tell_problem(run.r, run.t.where.shown, entry_at(run, e.start), "cannot read it to restore", errno, FLAG_FOLDS);
		else if (state == AS_WRITTEN && !run.options.dry_run && !put_back(run, e)) {
			tell_problem(run.r, run.t.where.shown, nullptr, "write failed", errno);
			return false;
		}
		whole = whole && (state == AS_WRITTEN || state == AS_BEFORE);
	}
	return whole;
}

// The record, read whole and decoded, when it may be trusted; else why not,
// told.
static bool read_record_of(record_run &run)
{
	place where = undo_place(run.names, run.t.where);
	io_handle f = open_file(where, false);
	file_facts facts;
	if (f == NO_HANDLE || !inspect_file(f, &facts)) {
		tell_problem(run.r, run.names.shown, nullptr, nullptr, errno);
		if (f != NO_HANDLE)
			close_file(f);
		return false;
	}
	run.f = f;
	int err = 0;
	switch (read_trusted_record(f, run.t.f, facts, run.record, &err)) {
	case RECORD_READ: return true;
	case RECORD_NOT_REGULAR: tell_left_alone_problem(run.r, run.t.where.shown, "not a regular file:", run.names.shown); break;
	case RECORD_OTHERS_COULD_WRITE:
		tell_left_alone_problem(run.r, run.t.where.shown, "an undo record another user could change:", run.names.shown);
		break;
	case RECORD_TOO_LARGE:
		tell_left_alone_problem(run.r, run.t.where.shown, "too large for an undo record:", run.names.shown);
		break;
	case RECORD_UNREADABLE: tell_problem(run.r, run.names.shown, nullptr, "cannot read the undo record", err); break;
	case RECORD_NO_MEMORY: tell_problem(run.r, run.names.shown, nullptr, "not enough memory for the undo record", 0); break;
	case RECORD_NOT_OURS: tell_problem(run.r, run.names.shown, nullptr, "not an undo record", 0); break;
	}
	return false;
}

void restore_from_record(report &r, target &t, const run_options &options)
{
	record_run run = {r, t, options, {}, NO_HANDLE, {}, nullptr, 0, false, {}};
	undo_begin(run.names, t.where);
	if (run.names.name == nullptr)
		tell_problem(r, t.where.shown, nullptr, "not enough memory for its undo record's name", 0);
	else if (read_record_of(run)) {
		bool whole = undo_entries(run);
		tell_entries_done(r, t.where.shown); // the entries' problems past the third are folded into one
		if ((options.dry_run || flush_target(r, t)) && whole) {
			tell_restored(r, t.where.shown, run.names.shown);
			removal gone = options.dry_run ? REMOVED : remove_same_file(undo_place(run.names, t.where), run.f);
			if (gone != REMOVED)
				tell_problem(r, run.names.shown, nullptr,
				             gone == NAME_REPLACED ? "restored, but another file took the undo record's name, and is left"
				                                   : "restored, but the undo record cannot be removed",
				             gone == NAME_REPLACED ? 0 : errno);
		}
	}
	if (run.f != NO_HANDLE)
		close_file(run.f);
	release_undo_record(run.record);
	std::free(run.directory);
	undo_end(run.names);
}
