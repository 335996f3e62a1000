// The run on one archive: header, directory, and the read, repair and
// write-back of every texture dictionary in it, in place.
#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64 // must precede every include to widen off_t
#endif

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

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

// One file's run: where it reports, and whether it has.
struct file_run {
	const char *path;
	std::FILE *out, *err;
	bool out_is_terminal; // names then lose their control bytes
	bool reported;
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

#ifdef _WIN32
static_assert(sizeof(long long) == 8, "_fseeki64 takes 64-bit positions");

// Paths are UTF-8 inside the tool; Windows opens names outside the ANSI
// code page only through the wide-character calls.
static std::FILE *open_for_update(const char *path)
{
	int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
	wchar_t *wide = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(n))) : nullptr;
	if (wide == nullptr || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, n) != n) {
		std::free(wide);
		errno = n > 0 ? ENOMEM : EINVAL;
		return nullptr;
	}
	std::FILE *f = _wfopen(wide, L"rb+");
	std::free(wide);
	return f;
}

static bool is_regular_file(std::FILE *f)
{
	struct _stat64 st;
	return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

static bool seek_to(FILE *f, std::uint64_t pos, int whence = SEEK_SET)
{
	return _fseeki64(f, static_cast<long long>(pos), whence) == 0;
}
static std::int64_t tell(FILE *f)
{
	return _ftelli64(f);
}

static bool is_terminal(std::FILE *f)
{
	return _isatty(_fileno(f)) != 0;
}
#else
static_assert(sizeof(off_t) >= 8, "off_t must hold positions past 4 GiB");

// Opening without O_NONBLOCK could wait forever on a FIFO that has no
// writer; the file is known to be regular before anything is read.
static std::FILE *open_for_update(const char *path)
{
	int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return nullptr;
	std::FILE *f = fdopen(fd, "rb+");
	if (f == nullptr) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return f;
}

// Also drops O_NONBLOCK, which has no business on a regular file.
static bool is_regular_file(std::FILE *f)
{
	struct stat st;
	int fd = fileno(f), flags = fcntl(fd, F_GETFL);
	return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

static bool seek_to(FILE *f, std::uint64_t pos, int whence = SEEK_SET)
{
	return fseeko(f, static_cast<off_t>(pos), whence) == 0;
}
static std::int64_t tell(FILE *f)
{
	return ftello(f);
}

static bool is_terminal(std::FILE *f)
{
	return isatty(fileno(f)) != 0;
}
#endif

// Lets the run cap what it allocates by what the file can actually hold.
static bool archive_size(FILE *archive, std::uint64_t *size)
{
	if (!seek_to(archive, 0, SEEK_END))
		return false;
	std::int64_t end = tell(archive);
	if (end < 0 || !seek_to(archive, HEADER_SIZE))
		return false;
	*size = static_cast<std::uint64_t>(end);
	return true;
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

static void write_back(file_run &run, FILE *archive, const dir_entry &e, std::uint64_t start,
                       const unsigned char *data, std::size_t length)
{
	// A stream opened for update needs a seek between a read and a write.
	// The stream is unbuffered, so a successful fwrite has reached the file.
	if (!seek_to(archive, start))
		report(run, "%s: cannot seek to write back: %s", e.name, std::strerror(errno));
	else if (std::fwrite(data, 1, length, archive) != length)
		report(run, "%s: write failed: %s", e.name, std::strerror(errno));
	std::clearerr(archive);
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

// On a terminal, a name's control bytes could drive it; they print as '?'.
static void print_name(const file_run &run, const char *name)
{
	char shown[NAME_SIZE + 1];
	std::strcpy(shown, name);
	for (char *c = shown; run.out_is_terminal && *c != '\0'; c++)
		if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
			*c = '?';
	std::fprintf(run.out, "Patching %s ", shown);
}

// Patches what could be read of the entry, prints its report line, and
// writes it back over the same bytes when anything changed.
static void fix_entry(file_run &run, FILE *archive, const dir_entry &e, std::uint64_t file_size)
{
	print_name(run, e.name);
	std::uint64_t start = e.offset * SECTOR_SIZE;
	entry_data d = read_entry(archive, start, e.size * SECTOR_SIZE, file_size);
	std::int32_t count = patch_texture_depths(d.bytes, d.got);
	std::fprintf(run.out, "patched %i textures\n", static_cast<int>(count));

	if (count > 0)
		write_back(run, archive, e, start, d.bytes, d.got);
	std::free(d.bytes);
	if (d.problem != nullptr && d.err != 0)
		report(run, "%s: %s: %s", e.name, d.problem, std::strerror(d.err));
	else if (d.problem != nullptr)
		report(run, "%s: %s", e.name, d.problem);
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
	if (!archive_size(archive, &file_size)) {
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

// Opens, checks and repairs one archive; true when nothing was reported.
static bool fix_archive_file(const char *path, std::FILE *out, std::FILE *err)
{
	file_run run = {path, out, err, is_terminal(out), false};
	FILE *archive = open_for_update(path);
	if (archive == nullptr) {
		report(run, "%s", std::strerror(errno));
		return false;
	}
	// A FIFO or a device would block or never end; only files are archives.
	// Unbuffered, entries go straight between the file and their buffer.
	if (!is_regular_file(archive))
		report(run, "not a regular file");
	else if (std::setvbuf(archive, nullptr, _IONBF, 0) != 0)
		report(run, "cannot make the archive unbuffered");
	else
		fix_archive(run, archive);
	if (std::fclose(archive) != 0)
		report(run, "cannot close: %s", std::strerror(errno));
	return !run.reported;
}

// A report lost to a full disk or a closed pipe is a failure, not a success.
static bool flush_output(std::FILE *out, std::FILE *err)
{
	int why = std::fflush(out) != 0 ? errno : 0;
	if (why == 0 && !std::ferror(out))
		return true;
	std::fprintf(err, "txd-depth-fix: standard output: %s\n", why != 0 ? std::strerror(why) : "write error");
	return false;
}

int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err)
{
	if (argc < 2)
		return EXIT_CLEAN;
	bool clean = fix_archive_file(argv[1], out, err);
	return flush_output(out, err) && clean ? EXIT_CLEAN : EXIT_REPORTED;
}
