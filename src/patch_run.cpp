// The run on one file: the archive's header and directory, then the read,
// repair and write-back of each texture dictionary in it, in place; or one
// loose dictionary read, repaired and written back whole.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_access.h"
#include "patch_run.h"
#include "texture_patch.h"

static const std::uint64_t SECTOR_SIZE = 2048;
static const std::size_t HEADER_SIZE = 8;
static const std::size_t DIR_ENTRY_SIZE = 32;
static const std::size_t NAME_SIZE = 24;

struct archive_header {
	std::int32_t entry_count; // after the magic, which is only compared
};

struct dir_entry {
	std::uint32_t first_sector;
	std::uint32_t sectors;
	char name[NAME_SIZE + 1]; // always NUL-terminated, even when the field is not
};

// One file's run: what it was asked, where it reports, and what it did.
struct file_run {
	report &r;
	place where;
	const char *path;   // as shown
	const char *prefix; // before every stdout line, or null
	const run_options &options;
	bool dry_run;   // asked for, or forced by a backup that could not be made
	bool backed_up; // PATH.bak has been written
	bool written;   // something was written to the file
	std::uint64_t textures;
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
	print_problem(run.r, run.path, nullptr, what, err);
}

static void report_span(file_run &run, const span &s, const char *what, int err)
{
	print_problem(run.r, run.path, s.label, what, err);
}

static dir_entry decode_dir_entry(const unsigned char *p)
{
	dir_entry e;
	e.first_sector = get32le(p);
	e.sectors = get32le(p + 4);
	std::memcpy(e.name, p + 8, NAME_SIZE);
	e.name[NAME_SIZE] = '\0';
	return e;
}

// The last dot decides; only the three characters after it are compared.
// A name that ends sooner fails at its NUL, which matches no letter.
bool has_txd_extension(const char *name)
{
	const char *dot = std::strrchr(name, '.');
	if (dot == nullptr)
		return false;
	const unsigned char *ext = reinterpret_cast<const unsigned char *>(dot + 1);
	return ascii_lower(ext[0]) == 't' && ascii_lower(ext[1]) == 'x' && ascii_lower(ext[2]) == 'd';
}

// Copies from, from its start, to to; false with the reason in err.
static bool copy_whole_file(std::FILE *from, std::FILE *to, int *err)
{
	const std::size_t chunk = 1 << 20;
	unsigned char *buffer = static_cast<unsigned char *>(std::malloc(chunk));
	bool ok = buffer != nullptr && seek_to(from, 0);
	*err = buffer == nullptr ? ENOMEM : errno;
	while (ok) {
		std::size_t got = std::fread(buffer, 1, chunk, from);
		if (std::ferror(from) || std::fwrite(buffer, 1, got, to) != got)
			ok = false, *err = errno;
		else if (got < chunk)
			break;
	}
	std::clearerr(from);
	std::free(buffer);
	return ok;
}

// A name with ".bak" after it, in memory of its own.
static char *with_bak(const char *name)
{
	std::size_t n = std::strlen(name);
	char *bak = static_cast<char *>(std::malloc(n + 5));
	if (bak != nullptr)
		std::memcpy(bak, name, n), std::memcpy(bak + n, ".bak", 5);
	return bak;
}

// A copy of the whole file beside it, made once, before its first write.
// An existing backup is never replaced; a copy that fails is removed, and
// the file is then not written at all.
static void back_up(file_run &run, std::FILE *f)
{
	char *shown = with_bak(run.path), *name = with_bak(run.where.name);
	place bak = {run.where.folder, name};
	std::FILE *copy = name != nullptr ? create_new_file(bak) : nullptr;
	int err = name == nullptr ? ENOMEM : errno;
	bool made = copy != nullptr && copy_whole_file(f, copy, &err);
	if (copy != nullptr) {
		if (std::fclose(copy) != 0 && made)
			made = false, err = errno;
		if (!made)
			remove_file(bak);
	}
	if (made)
		run.backed_up = true;
	else {
		run.dry_run = true;
		print_problem(run.r, shown != nullptr ? shown : run.path, nullptr,
		              "no backup made, so the file is left unchanged", err);
	}
	std::free(shown);
	std::free(name);
}

static void write_back(file_run &run, std::FILE *f, const span &s, const unsigned char *data, std::size_t length)
{
	if (run.options.backup && !run.backed_up)
		back_up(run, f);
	if (run.dry_run)
		return;
	// A stream opened for update needs a seek between a read and a write.
	// The stream is unbuffered, so a successful fwrite has reached the file.
	run.written = true;
	if (!seek_to(f, s.start))
		report_span(run, s, "cannot seek to write back", errno);
	else if (std::fwrite(data, 1, length, f) != length)
		report_span(run, s, "write failed", errno);
	std::clearerr(f);
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
static void read_present(FILE *archive, std::uint64_t start, std::uint64_t present, entry_data *d)
{
	if (present <= SIZE_MAX)
		d->bytes = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(present)));
	if (d->bytes == nullptr) {
		d->problem = "not enough memory for the entry";
		return;
	}
	if (!seek_to(archive, start)) {
		d->problem = "cannot seek to the entry", d->err = errno;
		return;
	}
	d->got = std::fread(d->bytes, 1, static_cast<std::size_t>(present), archive);
	if (std::ferror(archive))
		d->problem = "read failed", d->err = errno, d->got = 0;
	std::clearerr(archive);
}

// Never asks for more memory than the file holds of the entry.
static entry_data read_entry(FILE *archive, std::uint64_t start, std::uint64_t length, std::uint64_t file_size)
{
	entry_data d = {nullptr, 0, nullptr, 0};
	std::uint64_t present = start < file_size ? file_size - start : 0;
	if (present > length)
		present = length;
	if (present > 0)
		read_present(archive, start, present, &d);
	if (d.problem == nullptr && d.got < length)
		d.problem = d.got == 0 ? "entry starts past the end of the archive" : "entry ends past the end of the archive";
	return d;
}

// The repairs of one dictionary, kept for the listing after its line.
struct repair {
	std::size_t native; // where the texture native starts in the buffer
	std::uint8_t old_depth;
};
struct repair_list {
	repair *items;
	std::size_t count, capacity;
	bool incomplete; // memory ran out before the last repair
};

static void note_repair(std::size_t native, std::uint8_t old_depth, void *context)
{
	repair_list &list = *static_cast<repair_list *>(context);
	if (list.count == list.capacity && !list.incomplete) {
		std::size_t more = list.capacity > 0 ? 2 * list.capacity : 16;
		void *grown = more <= SIZE_MAX / sizeof(repair) ? std::realloc(list.items, more * sizeof(repair)) : nullptr;
		list.incomplete = grown == nullptr;
		if (grown != nullptr)
			list.items = static_cast<repair *>(grown), list.capacity = more;
	}
	if (!list.incomplete)
		list.items[list.count++] = {native, old_depth};
}

// Printable ASCII stands for itself; every other byte, and the backslash
// that would make the escapes ambiguous, as \xHH. Room: 4 bytes a byte.
static void texture_name_text(const unsigned char *field, char *text)
{
	for (std::size_t i = 0; i < TEXTURE_NAME_SIZE && field[i] != 0; i++) {
		if (field[i] >= 0x20 && field[i] <= 0x7E && field[i] != '\\')
			*text++ = static_cast<char>(field[i]);
		else
			text += std::snprintf(text, 5, "\\x%02x", field[i]);
	}
	*text = '\0';
}

// The walk changed only depth bytes, so each texture's name and format
// still stand in the buffer as they were read.
static void print_listing(file_run &run, const unsigned char *buffer, const repair_list &list)
{
	char text[4 * TEXTURE_NAME_SIZE + 40];
	for (std::size_t i = 0; i < list.count; i++) {
		const unsigned char *native = buffer + list.items[i].native;
		texture_name_text(native + TEXTURE_NAME_OFFSET, text);
		std::size_t n = std::strlen(text);
		std::snprintf(text + n, sizeof text - n, ": %s, depth %u -> 16",
		              pixel_format_name(get32le(native + RASTER_FORMAT_OFFSET)),
		              static_cast<unsigned>(list.items[i].old_depth));
		print_listing_line(run.r, run.prefix, text);
	}
}

// Patches what could be read of the dictionary, prints its report line and
// listing, and writes it back over the same bytes when anything changed.
static void fix_span(file_run &run, std::FILE *f, const span &s, std::uint64_t file_size)
{
	entry_data d = read_entry(f, s.start, s.length, file_size);
	repair_list repairs = {nullptr, 0, 0, false};
	std::int32_t count =
	    patch_texture_depths(d.bytes, d.got, run.options.verbose ? note_repair : nullptr, &repairs);
	if (print_count_line(run.r, run.prefix, s.name, count))
		print_listing(run, d.bytes, repairs);
	run.textures += static_cast<std::uint64_t>(count);

	if (count > 0 && !run.dry_run)
		write_back(run, f, s, d.bytes, d.got);
	std::free(d.bytes);
	std::free(repairs.items);
	if (repairs.incomplete)
		report_span(run, s, "not enough memory to list every repair", 0);
	if (d.problem != nullptr)
		report_span(run, s, d.problem, d.err);
}

static void fix_entry(file_run &run, std::FILE *archive, const dir_entry &e, std::uint64_t file_size)
{
	span s = {e.name, e.name, e.first_sector * SECTOR_SIZE, e.sectors * SECTOR_SIZE};
	fix_span(run, archive, s, file_size);
}

// Reads the header; false when the file is no VER2 archive to go on with.
static bool read_header(file_run &run, FILE *archive, archive_header *h, bool *is_archive)
{
	unsigned char raw[HEADER_SIZE] = {0, 0, 0, 0, 0, 0, 0, 0};
	std::size_t got = std::fread(raw, 1, sizeof raw, archive);
	*is_archive = false;
	if (std::ferror(archive)) {
		report_problem(run, "cannot read header", errno);
		return false;
	}
	if (got < 4 || get32le(raw) != VER2_MAGIC)
		return false;
	*is_archive = true;
	run.r.totals.files++;
	if (got < HEADER_SIZE) {
		report_problem(run, "header cut short after the VER2 magic");
		return false;
	}
	h->entry_count = static_cast<std::int32_t>(get32le(raw + 4));
	if (h->entry_count < 0) {
		char what[48];
		std::snprintf(what, sizeof what, "negative entry count %i", static_cast<int>(h->entry_count));
		report_problem(run, what);
		return false;
	}
	return true;
}

// Reads as many whole directory records as the file holds, up to the
// count; null when memory cannot hold them.
static unsigned char *read_directory(file_run &run, FILE *archive, std::int32_t count, std::uint64_t file_size,
                                     std::size_t *got)
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
	*got = std::fread(directory, DIR_ENTRY_SIZE, static_cast<std::size_t>(listed), archive);
	return directory;
}

// Handles the header, the directory and every selected entry; false when
// the file is not a VER2 archive.
static bool fix_archive(file_run &run, FILE *archive)
{
	archive_header header;
	std::uint64_t file_size;
	bool is_archive;
	if (!read_header(run, archive, &header, &is_archive))
		return is_archive;
	// The length caps what the run allocates, whatever the directory claims.
	if (!file_length(archive, &file_size) || !seek_to(archive, HEADER_SIZE)) {
		report_problem(run, "cannot find the archive's size", errno);
		return true;
	}
	std::size_t got = 0;
	unsigned char *directory = read_directory(run, archive, header.entry_count, file_size, &got);
	if (directory == nullptr)
		return true;
	bool read_failed = std::ferror(archive) != 0;
	int err = errno;
	std::clearerr(archive);

	for (std::size_t i = 0; i < got; i++) {
		dir_entry e = decode_dir_entry(directory + i * DIR_ENTRY_SIZE);
		if (has_txd_extension(e.name))
			fix_entry(run, archive, e, file_size);
	}
	std::free(directory);

	if (read_failed)
		report_problem(run, "cannot read the directory", err);
	else if (got < static_cast<std::size_t>(header.entry_count)) {
		char what[96];
		std::snprintf(what, sizeof what, "directory lists %i entries but only %llu are in the file",
		              static_cast<int>(header.entry_count), static_cast<unsigned long long>(got));
		report_problem(run, what);
	}
	return true;
}

// A loose dictionary: the whole file, when it starts with a dictionary
// chunk; false for any other file, which is left alone.
static bool fix_dictionary(file_run &run, std::FILE *f)
{
	unsigned char head[4] = {0, 0, 0, 0};
	std::uint64_t length;
	std::size_t got = std::fread(head, 1, sizeof head, f);
	if (std::ferror(f)) {
		report_problem(run, "cannot read", errno);
		return true;
	}
	if (got < sizeof head || get32le(head) != CHUNK_TEXTURE_DICTIONARY)
		return false;
	run.r.totals.files++;
	if (!file_length(f, &length))
		report_problem(run, "cannot find the file's size", errno);
	else
		fix_span(run, f, {run.path, nullptr, 0, length}, length);
	return true;
}

// The run on one open file, which it closes; false when the file was of
// neither kind and left alone.
static bool fix_stream(file_run &run, std::FILE *f, bool loose)
{
	file_facts facts;
	bool of_its_kind = true;
	// A FIFO or a device would block or never end; only files are read.
	if (!inspect_file(f, &facts))
		report_problem(run, "cannot look at the file", errno);
	else if (!facts.regular)
		report_problem(run, "not a regular file");
	else if (is_standard_output(run.r, facts))
		report_problem(run, "input file is output file");
	else {
		run.times = facts.times;
		of_its_kind = loose ? fix_dictionary(run, f) : fix_archive(run, f);
	}
	if (run.written && run.options.preserve && !set_file_times(f, run.times))
		report_problem(run, "cannot keep the file's times", errno);
	if (std::fclose(f) != 0)
		report_problem(run, "cannot close", errno);
	if (run.textures > 0)
		run.r.totals.repaired++;
	return of_its_kind;
}

void fix_file(report &r, const char *path, const char *prefix, const run_options &options)
{
	file_run run = {r, {PLACE_CWD, path}, path, prefix, options, options.dry_run, false, false, 0, {0, 0}};
	// Opening some devices has effects of its own (a tape rewinds): look at
	// what the path is first, and again once it is open.
	path_kind kind = kind_of_path(path);
	std::FILE *f = nullptr;
	if (kind == PATH_MISSING)
		report_problem(run, std::strerror(errno));
	else if (kind != PATH_REGULAR)
		report_problem(run, "not a regular file");
	else if ((f = open_file(run.where, !options.dry_run)) == nullptr)
		report_problem(run, std::strerror(errno));
	if (f != nullptr && !fix_stream(run, f, options.loose))
		print_left_alone(r, path, options.loose);
}

void fix_found_file(report &r, place where, const char *path, const char *prefix, bool loose,
                    const run_options &options)
{
	file_run run = {r, where, path, prefix, options, options.dry_run, false, false, 0, {0, 0}};
	std::FILE *f = open_file(where, !options.dry_run, false);
	if (f == nullptr)
		report_problem(run, std::strerror(errno));
	else
		fix_stream(run, f, loose);
}
