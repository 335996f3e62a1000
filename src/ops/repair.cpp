// The repair of one file in place: an archive entry by entry, or a loose
// dictionary whole; read-only until a write is needed, then held for this
// run alone.
#include "ops/repair.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/archive.h"
#include "ops/backup.h"
#include "base/growth.h"
#include "format/texture_patch.h"

// One file's repair: what it was asked, where it reports, and what it did.
// The file is read through a read-only descriptor until the first write
// needs more: a file that needs nothing is never opened for writing.
struct file_run {
	report &r;
	place where;
	bool follow;
	const char *prefix; // before every stdout line, or null
	const run_options &options;
	io_handle f;
	std::uint64_t size;
	bool writable;  // f is open for writing and held for this run
	bool backed_up; // or no backup was asked for
	bool refused;   // writing was refused, or the backup failed: said once
	bool wrote;     // a depth reached the file
	std::uint64_t found;
	file_times times;  // as the file had them when it was opened
	problem_fold fold; // the entries' problems
	char (*waiting)[NAME_SIZE + 1]; // entries with nothing to repair whose lines wait for the backup's
	std::size_t waiting_count, waiting_room;
};

static void report_problem(file_run &run, const char *what, int err = 0)
{
	print_problem(run.r, run.where.shown, nullptr, what, err);
}

static void report_span(file_run &run, const span &s, const char *what, int err)
{
	print_entry_problem(run.r, run.fold, run.where.shown, s.label, what, err);
}

// The part of a span that lies within the file, as read into memory, and
// what its walk repaired.
struct entry_data {
	unsigned char *bytes;
	std::size_t got;     // bytes read
	const char *problem; // why not all of the span was read, or null
	int err;             // errno behind the problem, or 0
	std::int32_t count;  // depths the walk set to 16
	repair_list repairs; // which, under -v
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
	d.count = patch_texture_depths(d.bytes, d.got, run.options.verbose ? note_repair : nullptr, &d.repairs);
}

// Opens the file for writing, held for this run alone; what stands in the
// way is said once.
static bool open_writable(file_run &run)
{
	run.refused = true;
	switch (open_for_writing(&run.f, run.where, run.follow)) {
	case WRITE_GRANTED:
		run.refused = false;
		return run.writable = true;
	case WRITE_REPLACED:
		report_problem(run, "cannot write: it was replaced while being read");
		return false;
	case WRITE_IN_USE:
		print_in_use(run.r, run.where.shown);
		return false;
	case WRITE_REFUSED:
		report_problem(run, "cannot write", errno);
		return false;
	}
	return false;
}

// Copies the file before its first write when asked; a backup that
// cannot be made is said once, and nothing is written then.
static bool backed_up(file_run &run)
{
	if (run.backed_up)
		return true;
	backup_made b = make_backup(run.where, run.f, run.options.preserve ? &run.times : nullptr);
	if (b.number == 0) {
		print_problem(run.r, b.shown != nullptr ? b.shown : run.where.shown, nullptr,
		              "no backup made, so the file is left unchanged", b.err);
		run.refused = true;
	} else
		print_backed_up(run.r, run.where.shown, b.shown);
	release_backup(b);
	return run.backed_up = !run.refused;
}

// Whether the span may be written: the file open for writing and held, and
// backed up when asked. Until it was held, another run may have repaired
// the span: it is read and walked again under the hold, and only what it
// still needs is written.
static bool ready_to_write(file_run &run, const span &s, entry_data &d)
{
	if (run.refused)
		return false;
	if (!run.writable) {
		if (!open_writable(run))
			return false;
		if (!read_present(run.f, s, d)) {
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
// now, read back from the file; the listing keeps only those. Returns how
// many did not reach it; all of them when it cannot be read back.
static std::int32_t not_written(file_run &run, const span &s, entry_data &d)
{
	std::int32_t count = d.count;
	d.count = 0;
	if (read_at(run.f, s.start, d.bytes, d.got, &d.got) == IO_FAILED) {
		d.repairs.count = 0;
		return count;
	}
	std::size_t kept = 0;
	for (std::size_t i = 0; i < d.repairs.count; i++)
		if (d.bytes[d.repairs.items[i].native + DEPTH_OFFSET] == 16)
			d.repairs.items[kept++] = d.repairs.items[i];
	d.repairs.count = kept;
	std::int32_t still = patch_texture_depths(d.bytes, d.got);
	d.count = count - still;
	return still;
}

// What became of the depths a span needed: written, and still to repair.
// Those that another run repaired meanwhile are neither.
struct write_outcome {
	std::int32_t written, still;
};

// Writes the repaired bytes back over those they were read from; the
// listing keeps what reached the file.
static write_outcome write_back(file_run &run, const span &s, entry_data &d)
{
	if (!ready_to_write(run, s, d)) {
		d.repairs.count = 0;
		return {0, d.count};
	}
	std::size_t put = 0;
	if (write_at(run.f, s.start, d.bytes, d.got, &put) == IO_WHOLE)
		return {d.count, 0};
	report_span(run, s, "write failed", errno);
	std::int32_t still = not_written(run, s, d);
	return {d.count, still};
}

// Under -bv the line that names the backup comes before the file's first
// line: the lines of an archive's entries with nothing to repair wait while
// a backup may still be made.
static bool waits_for_backup(const file_run &run, const span &s, std::int32_t found)
{
	return found == 0 && s.label != nullptr && run.options.verbose && !run.backed_up && !run.refused && !run.options.dry_run && !run.r.quiet;
}

// Keeps a line to print later; false when memory cannot hold it.
static bool wait_with(file_run &run, const span &s)
{
	if (!grow(run.waiting, run.waiting_room, run.waiting_count + 1))
		return false;
	std::snprintf(run.waiting[run.waiting_count++], NAME_SIZE + 1, "%s", s.name);
	return true;
}

static void print_waiting(file_run &run)
{
	for (std::size_t i = 0; i < run.waiting_count; i++)
		print_count_line(run.r, run.prefix, run.waiting[i], 0, 0, 0);
	run.waiting_count = 0;
}

// Patches what could be read of the dictionary, writes it back over the
// same bytes when anything changed, and prints its report line and
// listing.
static void repair_span(file_run &run, const span &s)
{
	entry_data d = {nullptr, 0, nullptr, 0, 0, {nullptr, 0, 0, false}};
	read_span(run.f, s, d);
	patch(run, d);
	std::int32_t found = d.count;
	write_outcome done = {run.options.dry_run ? found : 0, 0};
	if (found > 0 && !run.options.dry_run)
		done = write_back(run, s, d);
	if (!waits_for_backup(run, s, found) || !wait_with(run, s)) {
		print_waiting(run);
		if (print_count_line(run.r, run.prefix, s.name, found, done.written, done.still))
			print_listing(run.r, run.prefix, d.bytes, d.repairs);
	}
	run.r.totals.textures += static_cast<std::uint64_t>(done.written);
	run.r.totals.still += static_cast<std::uint64_t>(done.still);
	run.found += static_cast<std::uint64_t>(found);
	run.wrote = run.wrote || (!run.options.dry_run && done.written > 0);
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
	std::size_t listed = records_held(count, run.size);
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
	*err = read_at(run.f, HEADER_SIZE, directory, listed * DIR_ENTRY_SIZE, &got) == IO_FAILED ? errno : 0;
	*records = got / DIR_ENTRY_SIZE;
	return directory;
}

// The directory and every selected entry, after the header in head.
static void repair_archive(file_run &run, const unsigned char *head, std::size_t got)
{
	std::int32_t count;
	char problem[96];
	if (!entry_count_of(head, got, &count, problem, sizeof problem)) {
		report_problem(run, problem);
		return;
	}
	std::size_t records = 0;
	int err = 0;
	unsigned char *directory = read_directory(run, count, &records, &err);
	if (directory == nullptr)
		return;
	archive_plan plan = plan_archive(directory, records, run.size);
	for (span s; next_span(plan, s);)
		repair_span(run, s);
	print_folded(run.r, run.fold, run.where.shown);
	std::free(directory);
	if (err != 0)
		report_problem(run, "cannot read the directory", err);
	else if (directory_cut_short(count, records, problem, sizeof problem))
		report_problem(run, problem);
}

// Reads the first bytes and repairs the file by the kind they say; false
// when they say neither kind.
static bool repair_by_kind(file_run &run, kind_rule rule, bool name_archive_lines)
{
	unsigned char head[HEADER_SIZE] = {0, 0, 0, 0, 0, 0, 0, 0};
	std::size_t got = 0;
	if (read_at(run.f, 0, head, sizeof head, &got) == IO_FAILED) {
		report_problem(run, rule == DICTIONARIES_ONLY ? "cannot read" : "cannot read header", errno);
		return true;
	}
	file_kind kind = kind_of(head, got, leaf_name(run.where.name), rule);
	if (kind != KIND_NEITHER)
		run.r.totals.files++;
	if (kind == KIND_ARCHIVE) {
		run.prefix = name_archive_lines ? run.where.shown : nullptr;
		repair_archive(run, head, got);
	} else if (kind == KIND_DICTIONARY)
		repair_span(run, whole_file_span(run.where.shown, run.size));
	print_waiting(run);
	return kind != KIND_NEITHER;
}

bool repair_file(report &r, place where, bool follow, kind_rule rule, bool name_archive_lines,
                 const run_options &options)
{
	file_run run = {r, where, follow, nullptr, options, NO_HANDLE, 0, false, !options.backup, false, false, 0, {}, {}, nullptr, 0, 0};
	run.f = open_file(where, follow);
	if (run.f == NO_HANDLE) {
		report_problem(run, nullptr, errno);
		return true;
	}
	file_facts facts;
	bool of_a_kind = true;
	// A FIFO or a device would block or never end; only files are read.
	if (!inspect_file(run.f, &facts))
		report_problem(run, "cannot look at the file", errno);
	else if (!facts.regular)
		report_problem(run, "not a regular file");
	else if (is_standard_output(r, facts))
		report_problem(run, "input file is output file");
	else {
		run.times = facts.times;
		run.size = facts.size;
		of_a_kind = repair_by_kind(run, rule, name_archive_lines);
	}
	// Whatever happened after it was opened for writing, its times go back.
	if (run.writable && options.preserve && !set_file_times(run.f, run.times))
		report_problem(run, "cannot keep the file's times", errno);
	if (!close_file(run.f))
		report_problem(run, "cannot close", errno);
	if (run.wrote || (options.dry_run && run.found > 0))
		r.totals.repaired++;
	std::free(run.waiting);
	return of_a_kind;
}

bool found_file_of_a_kind(report &r, place where)
{
	unsigned char head[4];
	std::size_t got;
	if (read_first_bytes(where, head, sizeof head, &got))
		return kind_of(head, got, where.name, EITHER_KIND) != KIND_NEITHER;
	if (errno != ENOENT && errno != ELOOP)
		print_problem(r, where.shown, nullptr, nullptr, errno);
	return false;
}

// What the folder says is trusted: a file is looked at again only when it
// is to be repaired.
void repair_found_file(report &r, place where, const run_options &options)
{
	if (found_file_of_a_kind(r, where))
		repair_file(r, where, false, EITHER_KIND, true, options);
}
