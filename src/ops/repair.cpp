// The repair of one file in place: an archive entry by entry, or a loose
// dictionary whole; read-only until a write is needed, then held for this
// run alone.
#include "ops/repair.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "format/archive.h"
#include "ops/repair_run.h"
#include "ops/undo_batch.h"

static void report_problem(file_run &run, const char *what, int err = 0)
{
	tell_problem(run.r, run.t.where.shown, nullptr, what, err);
}

// Patches what could be read of the dictionary, writes it back over the
// same bytes when anything changed, and tells what became of it; with -u,
// once its undo record is on the disk, with the batch it joins. Read
// again (again set), a span that needs nothing is not told twice.
static void repair_span(file_run &run, const span &s, bool again = false)
{
	if (run.queue != nullptr && overlaps_queue(*run.queue, s))
		write_queue(run);
	entry_data d = {nullptr, 0, nullptr, 0, 0, {nullptr, 0, 0, false}};
	read_span(run.t.f, s, d);
	patch(run, d);
	std::int32_t found = d.count;
	if (again && found == 0) {
		std::free(d.bytes), std::free(d.repairs.items);
		return;
	}
	if (run.queue != nullptr && (found > 0 || run.queue->count > 0))
		return queue_span(run, s, d, found);
	write_outcome done = {0, 0};
	if (found > 0 && !run.options.dry_run)
		done = write_back(run, s, d);
	span_done(run, s, d, found, done);
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
	std::size_t done = 0, held_at = 0;
	for (span s; next_span(plan, s); done++) {
		bool held = run.t.held;
		repair_span(run, s);
		if (!held && run.t.held && run.t.waited)
			held_at = done;
	}
	// Another run held the file until this one could: it may have changed
	// the entries read before (a restore puts depths back), which are read
	// again under the hold, and told only when they need repair now.
	plan = plan_archive(directory, records, run.t.facts.size);
	span s;
	for (std::size_t i = 0; i < held_at && next_span(plan, s); i++)
		repair_span(run, s, true);
	if (run.queue != nullptr)
		write_queue(run);
	tell_entries_done(run.r, run.t.where.shown);
	std::free(directory);
	if (err != 0)
		report_problem(run, "cannot read the directory", err);
	else if (directory_cut_short(count, records, problem, sizeof problem))
		report_problem(run, problem);
}

// Repairs the file by the kind its first bytes say; with -u, keeping its
// undo record open as long as the file is.
static void repair_by_kind(file_run &run, file_kind kind, bool name_archive_lines)
{
	undo_keeper undo;
	span_queue queue = {nullptr, 0, 0, 0};
	if (run.options.keep_undo && !run.options.dry_run) {
		undo_begin(undo, run.t.where);
		run.undo = &undo, run.queue = &queue;
	}
	if (kind == KIND_ARCHIVE) {
		run.prefix = name_archive_lines ? run.t.where.shown : nullptr;
		repair_archive(run);
	} else {
		repair_span(run, whole_file_span(run.t.where.shown, run.t.facts.size));
		if (run.queue != nullptr)
			write_queue(run);
	}
	if (run.undo != nullptr) {
		undo_end(undo);
		std::free(queue.items);
		run.undo = nullptr, run.queue = nullptr;
	}
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
	return {r, {}, nullptr, options, !options.backup, false, false, 0, nullptr, nullptr, false, false};
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
