// The run on one file: the archive's header and directory, then the read,
// repair and write-back of each texture dictionary in it, in place; or one
// loose dictionary read, repaired and written back whole.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_access.h"
#include "patch_run.h"
#include "texture_patch.h"

static const std::uint64_t SECTOR_SIZE = 2048;
static const std::uint32_t VER2_MAGIC = 0x32524556; // "VER2" read little-endian
static const std::size_t HEADER_SIZE = 8;
static const std::size_t DIR_ENTRY_SIZE = 32;
static const std::size_t NAME_SIZE = 24;

struct archive_header {
	std::uint32_t magic;
	std::int32_t entry_count;
};

struct dir_entry {
	std::uint32_t offset; // first sector
	std::uint32_t size;   // length in sectors
	char name[NAME_SIZE + 1]; // always NUL-terminated, even when the field is not
};

// One file's run: what it was asked, where it reports, and whether it has.
struct file_run {
	const char *path;
	const char *prefix; // before every stdout line, or null
	const run_options &options;
	std::FILE *out, *err;
	bool out_is_terminal; // names then lose their control bytes
	bool reported;
};

// One texture dictionary's bytes in the file: an archive entry, or the whole
// of a loose file.
struct span {
	const char *name;  // on its report line
	const char *label; // before its diagnostics; null for a loose file
	std::uint64_t start, length;
};

#if defined(__GNUC__)
#define PRINTF_LIKE __attribute__((format(printf, 2, 3)))
#else
#define PRINTF_LIKE
#endif

// Every diagnostic follows a complete report line, so out goes first.
static void report(file_run &run, const char *format, ...) PRINTF_LIKE;
static void report(file_run &run, const char *format, ...)
{
	std::fflush(run.out);
	std::fprintf(run.err, "txd-depth-fix: %s: ", run.path);
	va_list ap;
	va_start(ap, format);
	std::vfprintf(run.err, format, ap);
	va_end(ap);
	std::fputc('\n', run.err);
	run.reported = true;
}

// What went wrong with one dictionary, and the errno behind it when not 0.
static void report_span(file_run &run, const span &s, const char *what, int err)
{
	const char *label = s.label != nullptr ? s.label : "", *colon = s.label != nullptr ? ": " : "";
	if (err != 0)
		report(run, "%s%s%s: %s", label, colon, what, std::strerror(err));
	else
		report(run, "%s%s%s", label, colon, what);
}

static dir_entry decode_dir_entry(const unsigned char *p)
{
	dir_entry e;
	e.offset = get32le(p);
	e.size = get32le(p + 4);
	std::memcpy(e.name, p + 8, NAME_SIZE);
	e.name[NAME_SIZE] = '\0';
	return e;
}

static int ascii_lower(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// The last dot decides; only the three characters after it are compared.
// A name that ends sooner fails at its NUL, which matches no letter.
static bool has_txd_extension(const char *name)
{
	const char *dot = std::strrchr(name, '.');
	if (dot == nullptr)
		return false;
	const unsigned char *ext = reinterpret_cast<const unsigned char *>(dot + 1);
	return ascii_lower(ext[0]) == 't' && ascii_lower(ext[1]) == 'x' && ascii_lower(ext[2]) == 'd';
}

static void write_back(file_run &run, std::FILE *f, const span &s, const unsigned char *data, std::size_t length)
{
	// A stream opened for update needs a seek between a read and a write.
	// The stream is unbuffered, so a successful fwrite has reached the file.
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

// Reads the present bytes of an entry in one read.
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

// On a terminal, control bytes in a name or path could drive it; they print
// as '?'. Anywhere else the bytes go out as they are.
static void print_shown(const file_run &run, const char *text)
{
	for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != '\0'; c++)
		std::fputc(run.out_is_terminal && (*c < 0x20 || *c == 0x7F) ? '?' : *c, run.out);
}

// Starts each stdout line of a run over several files, as grep does.
static void print_prefix(const file_run &run)
{
	if (run.prefix != nullptr) {
		print_shown(run, run.prefix);
		std::fputs(": ", run.out);
	}
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
// that would make the escapes ambiguous, as \xHH.
static void print_texture_name(std::FILE *out, const unsigned char *field)
{
	for (std::size_t i = 0; i < TEXTURE_NAME_SIZE && field[i] != 0; i++) {
		if (field[i] >= 0x20 && field[i] <= 0x7E && field[i] != '\\')
			std::fputc(field[i], out);
		else
			std::fprintf(out, "\\x%02x", field[i]);
	}
}

// The walk changed only depth bytes, so each texture's name and format
// still stand in the buffer as they were read.
static void print_listing(const file_run &run, const unsigned char *buffer, const repair_list &list)
{
	for (std::size_t i = 0; i < list.count; i++) {
		const unsigned char *native = buffer + list.items[i].native;
		print_prefix(run);
		std::fputs("  ", run.out);
		print_texture_name(run.out, native + TEXTURE_NAME_OFFSET);
		std::fprintf(run.out, ": %s, depth %u -> 16\n", pixel_format_name(get32le(native + RASTER_FORMAT_OFFSET)),
		             static_cast<unsigned>(list.items[i].old_depth));
	}
}

// Patches what could be read of the dictionary, prints its report line and
// listing, and writes it back over the same bytes when anything changed.
static void fix_span(file_run &run, std::FILE *f, const span &s, std::uint64_t file_size)
{
	print_prefix(run);
	std::fputs("Patching ", run.out);
	print_shown(run, s.name);
	std::fputc(' ', run.out);
	entry_data d = read_entry(f, s.start, s.length, file_size);
	repair_list repairs = {nullptr, 0, 0, false};
	std::int32_t count =
	    patch_texture_depths(d.bytes, d.got, run.options.verbose ? note_repair : nullptr, &repairs);
	std::fprintf(run.out, "patched %i textures\n", static_cast<int>(count));
	print_listing(run, d.bytes, repairs);

	if (count > 0 && !run.options.dry_run)
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
	span s = {e.name, e.name, e.offset * SECTOR_SIZE, e.size * SECTOR_SIZE};
	fix_span(run, archive, s, file_size);
}

// Reads the header; false when the file is not a VER2 archive at all.
static bool read_header(file_run &run, FILE *archive, archive_header *h)
{
	unsigned char raw[HEADER_SIZE];
	std::size_t got = std::fread(raw, 1, sizeof raw, archive);
	if (std::ferror(archive)) {
		report(run, "cannot read header: %s", std::strerror(errno));
		return false;
	}
	if (got < 4 || get32le(raw) != VER2_MAGIC)
		return false;
	if (got < HEADER_SIZE) {
		report(run, "header cut short after the VER2 magic");
		return false;
	}
	h->magic = get32le(raw);
	h->entry_count = static_cast<std::int32_t>(get32le(raw + 4));
	if (h->entry_count < 0) {
		report(run, "negative entry count %i", static_cast<int>(h->entry_count));
		return false;
	}
	return true;
}

// Handles the header, the directory and every selected entry.
static void fix_archive(file_run &run, FILE *archive)
{
	archive_header header;
	std::uint64_t file_size;
	if (!read_header(run, archive, &header))
		return;
	// The length caps what the run allocates, whatever the directory claims.
	if (!file_length(archive, &file_size) || !seek_to(archive, HEADER_SIZE)) {
		report(run, "cannot find the archive's size: %s", std::strerror(errno));
		return;
	}

	// Never more directory than the file holds, whatever the count claims.
	std::uint64_t held = file_size > HEADER_SIZE ? (file_size - HEADER_SIZE) / DIR_ENTRY_SIZE : 0;
	std::int32_t listed = header.entry_count;
	if (held < static_cast<std::uint64_t>(listed))
		listed = static_cast<std::int32_t>(held);
	// A 32-bit size_t cannot count the bytes of 2^27 records or more.
	unsigned char *directory = nullptr;
	if (static_cast<std::uint64_t>(listed) <= SIZE_MAX / DIR_ENTRY_SIZE) {
		std::size_t dir_bytes = static_cast<std::size_t>(listed) * DIR_ENTRY_SIZE;
		directory = static_cast<unsigned char *>(std::malloc(dir_bytes > 0 ? dir_bytes : 1));
	}
	if (directory == nullptr) {
		report(run, "not enough memory for a directory of %i entries", static_cast<int>(listed));
		return;
	}
	std::size_t got = std::fread(directory, DIR_ENTRY_SIZE, static_cast<std::size_t>(listed), archive);
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
		report(run, "cannot read the directory: %s", std::strerror(err));
	else if (got < static_cast<std::size_t>(header.entry_count))
		report(run, "directory lists %i entries but only %llu are in the file", static_cast<int>(header.entry_count),
		       static_cast<unsigned long long>(got));
}

// A loose dictionary: the whole file, when it starts with a dictionary
// chunk; any other file is left alone, as one that is not VER2 is.
static void fix_dictionary(file_run &run, std::FILE *f)
{
	unsigned char head[4];
	std::uint64_t length;
	std::size_t got = std::fread(head, 1, sizeof head, f);
	if (std::ferror(f))
		report(run, "cannot read: %s", std::strerror(errno));
	else if (got < sizeof head || get32le(head) != CHUNK_TEXTURE_DICTIONARY)
		return;
	else if (!file_length(f, &length))
		report(run, "cannot find the file's size: %s", std::strerror(errno));
	else
		fix_span(run, f, {run.path, nullptr, 0, length}, length);
}

bool fix_file(const char *path, const char *prefix, const run_options &options, std::FILE *out, std::FILE *err)
{
	file_run run = {path, prefix, options, out, err, is_terminal(out), false};
	std::FILE *f = open_file(path, !options.dry_run);
	if (f == nullptr) {
		report(run, "%s", std::strerror(errno));
		return false;
	}
	// A FIFO or a device would block or never end; only files are read.
	// Unbuffered, entries go straight between the file and their buffer.
	if (!is_regular_file(f))
		report(run, "not a regular file");
	else if (std::setvbuf(f, nullptr, _IONBF, 0) != 0)
		report(run, "cannot make the %s unbuffered", options.loose ? "file" : "archive");
	else if (options.loose)
		fix_dictionary(run, f);
	else
		fix_archive(run, f);
	if (std::fclose(f) != 0)
		report(run, "cannot close: %s", std::strerror(errno));
	return !run.reported;
}
