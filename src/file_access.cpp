#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64 // must precede every include to widen off_t
#endif

#include "file_access.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

// Unbuffered, entries go straight between the file and their buffer, and
// the first bytes of a file found in a folder cost a read of four bytes.
static std::FILE *unbuffered(std::FILE *f)
{
	if (f != nullptr && std::setvbuf(f, nullptr, _IONBF, 0) != 0) {
		std::fclose(f);
		errno = ENOMEM;
		return nullptr;
	}
	return f;
}

// The names of a folder as they are read: their text back to back, and
// where each starts, until the whole folder is in and pointers can be made.
struct stored_name {
	std::size_t start;
	entry_kind kind;
};
struct name_store {
	char *text;
	std::size_t used, room;
	stored_name *names;
	std::size_t count, slots;
};

static bool grow(void **block, std::size_t *room, std::size_t need, std::size_t unit)
{
	if (need <= *room)
		return true;
	std::size_t more = *room > 0 ? *room : 64;
	while (more < need)
		more = more <= SIZE_MAX / 2 ? 2 * more : need;
	void *grown = more <= SIZE_MAX / unit ? std::realloc(*block, more * unit) : nullptr;
	if (grown == nullptr) {
		errno = ENOMEM;
		return false;
	}
	*block = grown;
	*room = more;
	return true;
}

static bool store_name(name_store *s, const char *name, entry_kind kind)
{
	std::size_t n = std::strlen(name) + 1;
	void *text = s->text, *names = s->names;
	bool grown = grow(&text, &s->room, s->used + n, 1);
	s->text = static_cast<char *>(text);
	grown = grown && grow(&names, &s->slots, s->count + 1, sizeof(stored_name));
	s->names = static_cast<stored_name *>(names);
	if (!grown)
		return false;
	std::memcpy(s->text + s->used, name, n);
	s->names[s->count++] = {s->used, kind};
	s->used += n;
	return true;
}

static void discard_names(name_store *s)
{
	std::free(s->text);
	std::free(s->names);
}

// Turns the store into the listing; the store is released either way.
static bool finish_listing(name_store *s, folder_listing *listing)
{
	folder_entry *entries = static_cast<folder_entry *>(std::malloc(s->count > 0 ? s->count * sizeof(folder_entry) : 1));
	if (entries == nullptr) {
		discard_names(s);
		errno = ENOMEM;
		return false;
	}
	for (std::size_t i = 0; i < s->count; i++)
		entries[i] = {s->text + s->names[i].start, s->names[i].kind};
	std::free(s->names);
	listing->entries = entries;
	listing->count = s->count;
	listing->names = s->text;
	return true;
}

static bool is_dot_or_dot_dot(const char *name)
{
	return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

#ifdef _WIN32
static_assert(sizeof(long long) == 8, "_fseeki64 takes 64-bit positions");

// Windows opens names outside the ANSI code page only through the
// wide-character calls; suffix is appended to the converted name.
static wchar_t *wide_from_utf8(const char *path, const wchar_t *suffix = L"")
{
	int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
	std::size_t extra = wcslen(suffix);
	wchar_t *wide = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * (static_cast<std::size_t>(n) + extra)))
	                      : nullptr;
	if (wide == nullptr || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, n) != n) {
		std::free(wide);
		errno = n > 0 ? ENOMEM : EINVAL;
		return nullptr;
	}
	wcscat(wide, suffix);
	return wide;
}

char *utf8_from_wide(const wchar_t *wide)
{
	int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
	char *s = n > 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(n))) : nullptr;
	if (s != nullptr && WideCharToMultiByte(CP_UTF8, 0, wide, -1, s, n, nullptr, nullptr) != n) {
		std::free(s);
		s = nullptr;
	}
	return s;
}

// The attributes, unlike _wstat, take a folder given with a trailing
// separator ("game\\"), as dropped folders and typed ones may come.
path_kind kind_of_path(const char *path)
{
	wchar_t *wide = wide_from_utf8(path);
	if (wide == nullptr)
		return PATH_MISSING;
	DWORD attributes = GetFileAttributesW(wide), why = GetLastError();
	std::free(wide);
	if (attributes == INVALID_FILE_ATTRIBUTES) {
		errno = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND || why == ERROR_INVALID_NAME ? ENOENT : EACCES;
		return PATH_MISSING;
	}
	if (attributes & FILE_ATTRIBUTE_DIRECTORY)
		return PATH_FOLDER;
	return attributes & FILE_ATTRIBUTE_DEVICE ? PATH_OTHER : PATH_REGULAR;
}

// Reparse points are never followed inside folders: a junction or a link
// to a file opens the link itself, which then reads as no regular file.
std::FILE *open_file(place where, bool update, bool follow)
{
	wchar_t *wide = wide_from_utf8(where.name);
	if (wide == nullptr)
		return nullptr;
	DWORD flags = follow ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_OPEN_REPARSE_POINT;
	HANDLE h = CreateFileW(wide, update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
	                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags, nullptr);
	DWORD why = GetLastError();
	std::free(wide);
	if (h == INVALID_HANDLE_VALUE) {
		errno = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
		return nullptr;
	}
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), update ? _O_RDWR | _O_BINARY : _O_RDONLY | _O_BINARY);
	std::FILE *f = fd >= 0 ? _fdopen(fd, update ? "rb+" : "rb") : nullptr;
	if (f == nullptr && fd >= 0)
		_close(fd);
	else if (fd < 0)
		CloseHandle(h);
	return unbuffered(f);
}

bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got)
{
	wchar_t *wide = wide_from_utf8(where.name);
	if (wide == nullptr)
		return false;
	HANDLE h = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
	                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
	DWORD why = GetLastError(), read = 0;
	std::free(wide);
	if (h == INVALID_HANDLE_VALUE) {
		errno = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
		return false;
	}
	bool ok = ReadFile(h, head, static_cast<DWORD>(n), &read, nullptr) != 0;
	CloseHandle(h);
	*got = read;
	if (!ok)
		errno = EIO;
	return ok;
}

std::FILE *create_new_file(place where)
{
	wchar_t *wide = wide_from_utf8(where.name);
	if (wide == nullptr)
		return nullptr;
	HANDLE h = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
	DWORD why = GetLastError();
	std::free(wide);
	if (h == INVALID_HANDLE_VALUE) {
		errno = why == ERROR_FILE_EXISTS || why == ERROR_ALREADY_EXISTS ? EEXIST
		        : why == ERROR_DISK_FULL                                ? ENOSPC
		                                                                : EACCES;
		return nullptr;
	}
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
	std::FILE *f = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
	if (f == nullptr && fd >= 0)
		_close(fd);
	else if (fd < 0)
		CloseHandle(h);
	return unbuffered(f);
}

void remove_file(place where)
{
	wchar_t *wide = wide_from_utf8(where.name);
	if (wide != nullptr)
		_wremove(wide);
	std::free(wide);
}

static std::int64_t ticks(FILETIME t)
{
	return static_cast<std::int64_t>(static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
}

static FILETIME filetime(std::int64_t ticks)
{
	std::uint64_t t = static_cast<std::uint64_t>(ticks);
	return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

bool inspect_file(std::FILE *f, file_facts *facts)
{
	HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
	BY_HANDLE_FILE_INFORMATION info;
	if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) {
		facts->regular = false;
		return h != INVALID_HANDLE_VALUE;
	}
	facts->regular = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
	facts->volume = info.dwVolumeSerialNumber;
	facts->index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
	facts->times = {ticks(info.ftLastAccessTime), ticks(info.ftLastWriteTime)};
	return true;
}

bool set_file_times(std::FILE *f, const file_times &times)
{
	HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
	FILETIME access = filetime(times.access), modify = filetime(times.modify);
	if (SetFileTime(h, nullptr, &access, &modify))
		return true;
	errno = EACCES;
	return false;
}

bool is_terminal(std::FILE *f)
{
	return _isatty(_fileno(f)) != 0;
}

static HANDLE console_of(std::FILE *f)
{
	int fd = _fileno(f);
	HANDLE h = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
	DWORD mode;
	return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : INVALID_HANDLE_VALUE;
}

bool is_console(std::FILE *f)
{
	return console_of(f) != INVALID_HANDLE_VALUE;
}

// Whatever the stream still holds goes first, then the text as UTF-16;
// a line ending is the console's own "\r\n".
bool write_console(std::FILE *f, const char *text, std::size_t n)
{
	HANDLE h = console_of(f);
	if (h == INVALID_HANDLE_VALUE || n > 0x3FFFFFFF || std::fflush(f) != 0)
		return false;
	int wide_n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0);
	// The converted text, then the same with "\r\n" line endings after it.
	wchar_t *wide = wide_n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * 3 * static_cast<std::size_t>(wide_n)))
	                            : nullptr;
	if (wide == nullptr)
		return false;
	MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), wide, wide_n);
	int out = 0;
	for (int i = 0; i < wide_n; i++) {
		if (wide[i] == L'\n')
			wide[wide_n + out++] = L'\r';
		wide[wide_n + out++] = wide[i];
	}
	DWORD written = 0;
	bool ok = WriteConsoleW(h, wide + wide_n, static_cast<DWORD>(out), &written, nullptr) && written == static_cast<DWORD>(out);
	std::free(wide);
	return ok;
}

static bool seek(std::FILE *f, std::uint64_t pos, int whence)
{
	return _fseeki64(f, static_cast<long long>(pos), whence) == 0;
}

static std::int64_t tell(std::FILE *f)
{
	return _ftelli64(f);
}

static entry_kind kind_of_found(DWORD attributes)
{
	if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
		return ENTRY_OTHER;
	if (attributes & FILE_ATTRIBUTE_DIRECTORY)
		return ENTRY_FOLDER;
	return attributes & FILE_ATTRIBUTE_DEVICE ? ENTRY_OTHER : ENTRY_FILE;
}

static bool store_found(name_store *s, const WIN32_FIND_DATAW &found)
{
	char *name = utf8_from_wide(found.cFileName);
	bool stored = name != nullptr && (is_dot_or_dot_dot(name) || store_name(s, name, kind_of_found(found.dwFileAttributes)));
	std::free(name);
	return stored;
}

bool list_folder(place where, bool, folder_listing *listing)
{
	std::size_t n = std::strlen(where.name);
	bool ends_in_separator = n > 0 && (where.name[n - 1] == '\\' || where.name[n - 1] == '/');
	wchar_t *pattern = wide_from_utf8(where.name, ends_in_separator ? L"*" : L"\\*");
	if (pattern == nullptr)
		return false;
	WIN32_FIND_DATAW found;
	HANDLE h = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
	DWORD why = GetLastError();
	std::free(pattern);
	if (h == INVALID_HANDLE_VALUE) {
		errno = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
		return false;
	}
	name_store s = {};
	bool ok = store_found(&s, found);
	while (ok && FindNextFileW(h, &found))
		ok = store_found(&s, found);
	if (ok && GetLastError() != ERROR_NO_MORE_FILES)
		ok = false, errno = EIO;
	FindClose(h);
	listing->handle = PLACE_CWD;
	if (!ok) {
		discard_names(&s);
		return false;
	}
	return finish_listing(&s, listing);
}

void release_listing(folder_listing *listing)
{
	std::free(listing->entries);
	std::free(listing->names);
}

place place_in(const folder_listing &, const char *, const char *path)
{
	return {PLACE_CWD, path};
}
#else
static_assert(sizeof(off_t) >= 8, "off_t must hold positions past 4 GiB");

static int folder_of(place where)
{
	return where.folder == PLACE_CWD ? AT_FDCWD : where.folder;
}

path_kind kind_of_path(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return PATH_MISSING;
	if (S_ISDIR(st.st_mode))
		return PATH_FOLDER;
	return S_ISREG(st.st_mode) ? PATH_REGULAR : PATH_OTHER;
}

static std::FILE *stream_on(int fd, const char *mode)
{
	if (fd < 0)
		return nullptr;
	std::FILE *f = fdopen(fd, mode);
	if (f == nullptr) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return unbuffered(f);
}

// Opening without O_NONBLOCK could wait for ever on a FIFO that has no
// writer; the caller makes sure the file is regular before reading it,
// and on a regular file O_NONBLOCK changes nothing.
std::FILE *open_file(place where, bool update, bool follow)
{
	int flags = (update ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
	return stream_on(openat(folder_of(where), where.name, flags), update ? "rb+" : "rb");
}

bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got)
{
	int fd = openat(folder_of(where), where.name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0)
		return false;
	ssize_t read_n = read(fd, head, n);
	int err = errno;
	close(fd);
	errno = err;
	*got = read_n > 0 ? static_cast<std::size_t>(read_n) : 0;
	return read_n >= 0;
}

std::FILE *create_new_file(place where)
{
	int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC;
	return stream_on(openat(folder_of(where), where.name, flags, 0666), "wb");
}

void remove_file(place where)
{
	unlinkat(folder_of(where), where.name, 0);
}

static std::int64_t nanoseconds(const timespec &t)
{
	return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

static timespec timespec_of(std::int64_t ns)
{
	timespec t;
	t.tv_sec = static_cast<time_t>(ns / 1000000000);
	t.tv_nsec = static_cast<long>(ns % 1000000000);
	return t;
}

bool inspect_file(std::FILE *f, file_facts *facts)
{
	struct stat st;
	int fd = fileno(f);
	if (fstat(fd, &st) != 0)
		return false;
	facts->regular = S_ISREG(st.st_mode);
	facts->volume = static_cast<std::uint64_t>(st.st_dev);
	facts->index = static_cast<std::uint64_t>(st.st_ino);
	facts->times = {nanoseconds(st.st_atim), nanoseconds(st.st_mtim)};
	return true;
}

bool set_file_times(std::FILE *f, const file_times &times)
{
	timespec both[2] = {timespec_of(times.access), timespec_of(times.modify)};
	return futimens(fileno(f), both) == 0;
}

bool is_terminal(std::FILE *f)
{
	int fd = fileno(f); // -1 for a stream in memory
	return fd >= 0 && isatty(fd) != 0;
}

bool is_console(std::FILE *)
{
	return false;
}

bool write_console(std::FILE *, const char *, std::size_t)
{
	return false;
}

static bool seek(std::FILE *f, std::uint64_t pos, int whence)
{
	return fseeko(f, static_cast<off_t>(pos), whence) == 0;
}

static std::int64_t tell(std::FILE *f)
{
	return ftello(f);
}

// The folder's own word for each entry; a stat only where it has none.
static entry_kind kind_of_entry(int folder, const dirent *d)
{
	unsigned char type = d->d_type;
	if (type == DT_UNKNOWN) {
		struct stat st;
		if (fstatat(folder, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return ENTRY_OTHER;
		return S_ISDIR(st.st_mode) ? ENTRY_FOLDER : S_ISREG(st.st_mode) ? ENTRY_FILE : ENTRY_OTHER;
	}
	return type == DT_DIR ? ENTRY_FOLDER : type == DT_REG ? ENTRY_FILE : ENTRY_OTHER;
}

// Reads every name of the folder open as fd; closes nothing.
static bool read_names(int fd, name_store *s)
{
	int copy = dup(fd);
	DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
	if (dir == nullptr) {
		if (copy >= 0)
			close(copy);
		return false;
	}
	bool ok = true;
	for (;;) {
		errno = 0;
		dirent *d = readdir(dir);
		if (d == nullptr) {
			ok = errno == 0;
			break;
		}
		if (!is_dot_or_dot_dot(d->d_name) && !store_name(s, d->d_name, kind_of_entry(fd, d))) {
			ok = false;
			break;
		}
	}
	int err = errno;
	closedir(dir);
	errno = err;
	return ok;
}

bool list_folder(place where, bool follow, folder_listing *listing)
{
	int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
	int fd = openat(folder_of(where), where.name, flags);
	if (fd < 0)
		return false;
	name_store s = {};
	bool read = read_names(fd, &s);
	if (!read)
		discard_names(&s);
	if (!read || !finish_listing(&s, listing)) {
		int err = errno;
		close(fd);
		errno = err;
		return false;
	}
	listing->handle = fd;
	return true;
}

void release_listing(folder_listing *listing)
{
	std::free(listing->entries);
	std::free(listing->names);
	close(listing->handle);
}

place place_in(const folder_listing &listing, const char *name, const char *)
{
	return {listing.handle, name};
}
#endif

bool seek_to(std::FILE *f, std::uint64_t pos)
{
	return seek(f, pos, SEEK_SET);
}

bool file_length(std::FILE *f, std::uint64_t *length)
{
	if (!seek(f, 0, SEEK_END))
		return false;
	std::int64_t end = tell(f);
	*length = static_cast<std::uint64_t>(end);
	return end >= 0;
}
