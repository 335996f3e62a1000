// File access on Windows: paths in UTF-8 turned into the wide names the
// system takes, reparse points never followed inside folders, consoles
// written as characters.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "file_access.h"
#include "file_access_shared.h"

static_assert(sizeof(long long) == 8, "_fseeki64 takes 64-bit positions");

const char PATH_SEPARATOR = '\\';
const bool WINDOWS_COMMAND_LINE = true;

bool needs_separator_after(const char *folder, std::size_t n)
{
	return n == 0 || (folder[n - 1] != '\\' && folder[n - 1] != '/');
}

// The one translation of the system's error codes into errno values.
static int errno_from_win32(DWORD error)
{
	switch (error) {
	case ERROR_FILE_NOT_FOUND:
	case ERROR_PATH_NOT_FOUND:
	case ERROR_INVALID_NAME: // a name no file can have does not exist
	case ERROR_INVALID_DRIVE:
	case ERROR_BAD_NETPATH:
	case ERROR_BAD_NET_NAME:
	case ERROR_BAD_PATHNAME:
	case ERROR_FILENAME_EXCED_RANGE:
		return ENOENT;
	case ERROR_FILE_EXISTS:
	case ERROR_ALREADY_EXISTS:
		return EEXIST;
	case ERROR_DISK_FULL:
	case ERROR_HANDLE_DISK_FULL:
		return ENOSPC;
	case ERROR_NOT_ENOUGH_MEMORY:
	case ERROR_OUTOFMEMORY:
		return ENOMEM;
	default:
		return EACCES;
	}
}

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

// Files are opened by their whole path, which every place carries.
static const char *path_of(place where)
{
	return where.shown;
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
		errno = errno_from_win32(why);
		return PATH_MISSING;
	}
	if (attributes & FILE_ATTRIBUTE_DIRECTORY)
		return PATH_FOLDER;
	return attributes & FILE_ATTRIBUTE_DEVICE ? PATH_OTHER : PATH_REGULAR;
}

static HANDLE open_handle(place where, DWORD access, DWORD disposition, DWORD flags)
{
	wchar_t *wide = wide_from_utf8(path_of(where));
	if (wide == nullptr)
		return INVALID_HANDLE_VALUE;
	DWORD share = disposition == CREATE_NEW ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
	HANDLE h = CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
	DWORD why = GetLastError();
	std::free(wide);
	if (h == INVALID_HANDLE_VALUE)
		errno = errno_from_win32(why);
	return h;
}

static std::FILE *stream_on(HANDLE h, bool read, bool write)
{
	if (h == INVALID_HANDLE_VALUE)
		return nullptr;
	int flags = (read && write ? _O_RDWR : write ? _O_WRONLY : _O_RDONLY) | _O_BINARY;
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
	std::FILE *f = fd >= 0 ? _fdopen(fd, read && write ? "rb+" : write ? "wb" : "rb") : nullptr;
	if (f == nullptr && fd >= 0)
		_close(fd);
	else if (fd < 0)
		CloseHandle(h);
	return unbuffered(f);
}

// Reparse points are never followed inside folders: a junction or a link
// to a file opens the link itself, which then reads as no regular file.
std::FILE *open_file(place where, bool update, bool follow)
{
	DWORD flags = follow ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_OPEN_REPARSE_POINT;
	HANDLE h = open_handle(where, update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, OPEN_EXISTING, flags);
	return stream_on(h, true, update);
}

bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got)
{
	HANDLE h = open_handle(where, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
	if (h == INVALID_HANDLE_VALUE)
		return false;
	DWORD read = 0;
	bool ok = ReadFile(h, head, static_cast<DWORD>(n), &read, nullptr) != 0;
	CloseHandle(h);
	*got = read;
	if (!ok)
		errno = EIO;
	return ok;
}

std::FILE *create_new_file(place where)
{
	return stream_on(open_handle(where, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL), false, true);
}

void remove_file(place where)
{
	wchar_t *wide = wide_from_utf8(path_of(where));
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

static HANDLE handle_of(std::FILE *f)
{
	int fd = _fileno(f);
	return fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

bool inspect_file(std::FILE *f, file_facts *facts)
{
	HANDLE h = handle_of(f);
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
	FILETIME access = filetime(times.access), modify = filetime(times.modify);
	if (SetFileTime(handle_of(f), nullptr, &access, &modify))
		return true;
	errno = errno_from_win32(GetLastError());
	return false;
}

bool seek_to(std::FILE *f, std::uint64_t pos)
{
	return _fseeki64(f, static_cast<long long>(pos), SEEK_SET) == 0;
}

bool file_length(std::FILE *f, std::uint64_t *length)
{
	if (_fseeki64(f, 0, SEEK_END) != 0)
		return false;
	long long end = _ftelli64(f);
	*length = static_cast<std::uint64_t>(end);
	return end >= 0;
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
	const char *path = path_of(where);
	std::size_t n = std::strlen(path);
	wchar_t *pattern = wide_from_utf8(path, needs_separator_after(path, n) ? L"\\*" : L"*");
	if (pattern == nullptr)
		return false;
	WIN32_FIND_DATAW found;
	HANDLE h = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
	DWORD why = GetLastError();
	std::free(pattern);
	if (h == INVALID_HANDLE_VALUE) {
		errno = errno_from_win32(why);
		return false;
	}
	name_store s = {};
	bool ok = store_found(&s, found);
	while (ok && FindNextFileW(h, &found))
		ok = store_found(&s, found);
	if (ok && GetLastError() != ERROR_NO_MORE_FILES)
		ok = false, errno = EIO;
	FindClose(h);
	listing->folder = nullptr;
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

bool is_terminal(std::FILE *f)
{
	return _isatty(_fileno(f)) != 0;
}

static HANDLE console_of(std::FILE *f)
{
	HANDLE h = handle_of(f);
	DWORD mode;
	return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : INVALID_HANDLE_VALUE;
}

bool is_console(std::FILE *f)
{
	return console_of(f) != INVALID_HANDLE_VALUE;
}

// The text as UTF-16, with the console's own "\r\n" for each line ending.
static bool write_characters(HANDLE console, const char *text, std::size_t n)
{
	if (n > 0x3FFFFFFF)
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
	bool ok = WriteConsoleW(console, wide + wide_n, static_cast<DWORD>(out), &written, nullptr) &&
	          written == static_cast<DWORD>(out);
	std::free(wide);
	return ok;
}

// Whatever the stream still holds goes first.
bool write_console(std::FILE *f, const char *text, std::size_t n)
{
	HANDLE h = console_of(f);
	return h != INVALID_HANDLE_VALUE && std::fflush(f) == 0 && write_characters(h, text, n);
}

unsigned long console_processes()
{
	DWORD processes[2];
	return GetConsoleProcessList(processes, 2);
}

bool standard_input_is_console()
{
	DWORD mode;
	return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void show_on_console_and_wait(const char *text)
{
	HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
	                             OPEN_EXISTING, 0, nullptr);
	if (console == INVALID_HANDLE_VALUE)
		return;
	write_characters(console, text, std::strlen(text));
	CloseHandle(console);
	for (int c = std::getchar(); c != EOF && c != '\n';)
		c = std::getchar();
}
