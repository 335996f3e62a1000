// The repair of one file in place: an archive entry by entry, or a loose
// dictionary whole; read-only until a write is needed.
#include "file_repair.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backup.h"
#include "little_endian.h"
#include "texture_patch.h"

// One file's repair: what it was asked, where it reports, and what it did.
// The file is read through a read-only stream until the first write needs
// more: a file that needs nothing is never opened for writing.
struct file_run {
	report &r;
	place where;
	bool follow;
	const char *prefix; // before every stdout line, or null
	const run_options &options;
	std::FILE *f;
	bool writable; // f is open for writing, and backed up when asked
	bool refused;  // writing was refused, or the backup failed: said once
	bool wrote;    // a depth was written
	std::uint64_t found;
	file_times times; // as the file had them when it was opened
};

// One texture dictionary's bytes in the file: an archive entry, or the whole
// of a loose file.
struct span {
	const char *name;  // on its report line
	const char *label; // before its diagnostics; null for a loose file
	std::uint64_t start, length;
};

static void report_problem(file_run &run, const char *what, int err = 0)
{
	print_problem(run.r, run.where.shown, nullptr, what, err);
}

static void report_span(file_run &run, const span &s, const char *what, int err)
{
	print_problem(run.r, run.where.shown, s.label, what, err);
}

// Whether the file may be written: open for writing, then backed up when
// asked; what stands in the way is said once.
static bool ready_to_write(file_run &run)
{
	if (run.writable || run.refused)
		return run.writable;
	run.refused = true;
	std::FILE *writable = reopen_for_writing(run.f, run.where, run.follow);
	if (writable == nullptr) {
		report_problem(run, errno == 0 ? "cannot write: it was replaced while being read" : "cannot write", errno);
		return false;
	}
	run.f = writable;
	if (run.options.backup && !make_backup(run.r, run.where, run.f, run.options.preserve ? &run.times : nullptr))
		return false;
	run.refused = false;
	run.writable = true;
	return true;
}

// Writes the repaired bytes back over those they were read from; whether
// they all went. A stream open for update needs a seek between a read and
// a write; it is unbuffered, so a successful fwrite has reached the file.
static bool write_back(file_run &run, const span &s, const unsigned char *data, std::size_t length)
{
	if (!ready_to_write(run))
		return false;
	bool written = false;
	if (!seek_to(run.f, s.start))
		report_span(run, s, "cannot seek to write back", errno);
	else if (std::fwrite(data, 1, length, run.f) != length)
		report_span(run, s, "write failed", errno);
	else
		written = true;
	std::clearerr(run.f);
	return written;
}

// The part of an entry that lies within the file, as read into memory.
struct entry_data {
	unsigned char *bytes;
	std::size_t got;     // bytes read
	const char *problem; // why not all of the entry was read, or null
	int err;             // errno behind the problem, or 0
};

// Reads the present bytes of an entry in one read. After a failed read,
// none of them count: the stream does not say how many arrived intact.
static void read_present(std::FILE *f, std::uint64_t start, std::uint64_t present, entry_data *d)
{
	if (present <= SIZE_MAX)
		d->bytes = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(present)));
	if (d->bytes == nullptr) {
		d->problem = "not enough memory for the entry";
		return;
	}
	if (!seek_to(f, start)) {
		d->problem = "cannot seek to the entry", d->err = errno;
		return;
	}
	d->got = std::fread(d->bytes, 1, static_cast<std::size_t>(present), f);
	if (std::ferror(f))
		d->problem = "read failed", d->err = errno, d->got = 0;
	std::clearerr(f);
}

// Never asks for more memory than the file holds of the entry.
static entry_data read_entry(std::FILE *f, std::uint64_t start, std::uint64_t length, std::uint64_t file_size)
{
	entry_data d = {nullptr, 0, nullptr, 0};
	std::uint64_t present = start < file_size ? file_size - start : 0;
	if (present > length)
		present = length;
	if (present > 0)
		read_present(f, start, present, &d);
	if (d.problem == nullptr && d.got < length)
		d.problem = d.got == 0 ? "entry starts past the end of the archive" : "entry ends past the end of the archive";
	return d;
}

// Patches what could be read of the dictionary, prints its report line and
// listing, and writes it back over the same bytes when anything changed.
static void repair_span(file_run &run, const span &s, std::uint64_t file_size)
{
	entry_data d = read_entry(run.f, s.start, s.length, file_size);
	repair_list repairs = {nullptr, 0, 0, false};
	std::int32_t count =
	    patch_texture_depths(d.bytes, d.got, run.options.verbose ? note_repair : nullptr, &repairs);
	if (print_count_line(run.r, run.prefix, s.name, count))
		print_listing(run.r, run.prefix, d.bytes, repairs);
	if (count > 0) {
		std::uint64_t repaired = static_cast<std::uint64_t>(count);
		bool written = !run.options.dry_run && write_back(run, s, d.bytes, d.got);
		if (written || run.options.dry_run)
			run.r.totals.textures += repaired;
		else
			run.r.totals.still += repaired;
		run.found += repaired;
		run.wrote = run.wrote || written;
	}
	std::free(d.bytes);
	std::free(repairs.items);
	if (repairs.incomplete)
		report_span(run, s, "not enough memory to list every repair", 0);
	if (d.problem != nullptr)
		report_span(run, s, d.problem, d.err);
}

// Reads as many whole directory records as the file holds, up to the
// count; null when memory cannot hold them.
static unsigned char *read_directory(file_run &run, std::int32_t count, std::uint64_t file_size, std::size_t *got)
{
	// Never more directory than the file holds, whatever the count claims.
	std::uint64_t held = file_size > HEADER_SIZE ? (file_size - HEADER_SIZE) / DIR_ENTRY_SIZE : 0;
	std::int32_t listed = held < static_cast<std::uint64_t>(count) ? static_cast<std::int32_t>(held) : count;
	// A 32-bit size_t cannot count the bytes of 2^27 records or more.
	unsigned char *directory = nullptr;
	if (static_cast<std::uint64_t>(listed) <= SIZE_MAX / DIR_ENTRY_SIZE) {
		std::size_t dir_bytes = static_cast<std::size_t>(listed) * DIR_ENTRY_SIZE;
		directory = static_cast<unsigned char *>(std::malloc(dir_bytes > 0 ? dir_bytes : 1));
	}
	if (directory == nullptr) {
		char what[80];
		std::snprintf(what, sizeof what, "not enough memory for a directory of %i entries", static_cast<int>(listed));
		report_problem(run, what);
		return nullptr;
	}
	*got = std::fread(directory, DIR_ENTRY_SIZE, static_cast<std::size_t>(listed), run.f);
	return directory;
}

// The entry count from the header's got bytes; false when there is none
// to go on with.
static bool entry_count_of(file_run &run, const unsigned char *head, std::size_t got, std::int32_t *count)
{
	if (got < HEADER_SIZE) {
		report_problem(run, "header cut short after the VER2 magic");
		return false;
	}
	*count = static_cast<std::int32_t>(get32le(head + 4));
	if (*count < 0) {
		char what[48];
		std::snprintf(what, sizeof what, "negative entry count %i", static_cast<int>(*count));
		report_problem(run, what);
		return false;
	}
	return true;
}

// The directory and every selected entry, after the header in head.
static void repair_archive(file_run &run, const unsigned char *head, std::size_t got)
{
	std::int32_t count;
	std::uint64_t file_size;
	if (!entry_count_of(run, head, got, &count))
		return;
	// The length caps what the run allocates, whatever the directory claims.
	if (!file_length(run.f, &file_size) || !seek_to(run.f, HEADER_SIZE)) {
		report_problem(run, "cannot find the archive's size", errno);
		return;
	}
	std::size_t records = 0;
	unsigned char *directory = read_directory(run, count, file_size, &records);
	if (directory == nullptr)
		return;
	bool read_failed = std::ferror(run.f) != 0;
	int err = errno;
	std::clearerr(run.f);

	for (std::size_t i = 0; i < records; i++) {
		dir_entry e = decode_dir_entry(directory + i * DIR_ENTRY_SIZE);
		if (has_txd_extension(e.name))
			repair_span(run, {e.name, e.name, e.first_sector * SECTOR_SIZE, e.sectors * SECTOR_SIZE}, file_size);
	}
	std::free(directory);

	if (read_failed)
		report_problem(run, "cannot read the directory", err);
	else if (records < static_cast<std::size_t>(count)) {
		char what[96];
		std::snprintf(what, sizeof what, "directory lists %i entries but only %llu %s in the file",
		              static_cast<int>(count), static_cast<unsigned long long>(records), records == 1 ? "is" : "are");
		report_problem(run, what);
	}
}

// A loose dictionary: the whole file.
static void repair_dictionary(file_run &run)
{
	std::uint64_t length;
	if (!file_length(run.f, &length))
		report_problem(run, "cannot find the file's size", errno);
	else
		repair_span(run, {run.where.shown, nullptr, 0, length}, length);
}

// Reads the first bytes and repairs the file by the kind they say; false
// when they say neither kind.
static bool repair_by_kind(file_run &run, kind_rule rule, bool name_archive_lines)
{
	unsigned char head[HEADER_SIZE] = {0, 0, 0, 0, 0, 0, 0, 0};
	std::size_t got = std::fread(head, 1, sizeof head, run.f);
	if (std::ferror(run.f)) {
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
		repair_dictionary(run);
	return kind != KIND_NEITHER;
}

bool repair_file(report &r, place where, bool follow, kind_rule rule, bool name_archive_lines,
                 const run_options &options)
{
	file_run run = {r, where, follow, nullptr, options, nullptr, false, false, false, 0, {}};
	run.f = open_file(where, follow);
	if (run.f == nullptr) {
		report_problem(run, std::strerror(errno));
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
		of_a_kind = repair_by_kind(run, rule, name_archive_lines);
	}
	if (run.wrote && options.preserve && !set_file_times(run.f, run.times))
		report_problem(run, "cannot keep the file's times", errno);
	if (std::fclose(run.f) != 0)
		report_problem(run, "cannot close", errno);
	if (run.wrote || (options.dry_run && run.found > 0))
		r.totals.repaired++;
	return of_a_kind;
}

// What the folder says is trusted: a file is looked at again only when it
// is to be repaired.
void repair_found_file(report &r, place where, const run_options &options)
{
	unsigned char head[4];
	std::size_t got;
	if (!read_first_bytes(where, head, sizeof head, &got)) {
		if (errno != ENOENT && errno != ELOOP)
			print_problem(r, where.shown, nullptr, std::strerror(errno), 0);
		return;
	}
	if (kind_of(head, got, where.name, EITHER_KIND) != KIND_NEITHER)
		repair_file(r, where, false, EITHER_KIND, true, options);
}
