// File access on Windows. A path the user gives is made absolute and long
// ("\\?\") before any call, so that no MAX_PATH limit applies and "C:"
// means the drive's current folder. Below a folder held open, every name
// opens relative to the folder's handle, never following a reparse point,
// and what opens must stand where the folder says: a folder or file
// swapped for a link meanwhile is never reached through.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>
#include <aclapi.h>

#include "file_access.h"
#include "file_access_shared.h"

static_assert(sizeof(long long) == 8, "_fseeki64 takes 64-bit positions");

struct open_folder {
	HANDLE handle;
	wchar_t *final_path; // as the system names the folder now, to check what opens below it
	DWORD volume;
};

const char PATH_SEPARATOR = '\\';
const bool WINDOWS_COMMAND_LINE = true;

// "C:" alone is the current folder of drive C: a name joins it as "C:name".
bool needs_separator_after(const char *folder, std::size_t n)
{
	if (n == 0 || folder[n - 1] == '\\' || folder[n - 1] == '/')
		return n == 0;
	return !(n == 2 && folder[1] == ':');
}

// A colon ends a drive's letter; elsewhere it names a stream of the file.
const char *leaf_name(const char *path)
{
	const char *leaf = path[0] != '\0' && path[1] == ':' ? path + 2 : path;
	for (const char *c = leaf; *c != '\0'; c++)
		if (*c == '\\' || *c == '/')
			leaf = c + 1;
	return leaf;
}

static bool is_separator(char c)
{
	return c == '\\' || c == '/';
}

// Trailing separators, dots and blanks go ("a.bak. \\" is a.bak), but not
// in the long form, which takes names as they are.
const char *last_name_as_opened(const char *path, std::size_t *n)
{
	bool literal = std::strncmp(path, "\\\\?\\", 4) == 0;
	std::size_t end = std::strlen(path);
	while (!literal && end > 0 && (is_separator(path[end - 1]) || path[end - 1] == '.' || path[end - 1] == ' '))
		end--;
	std::size_t start = end;
	while (start > 0 && !is_separator(path[start - 1]) && !(start == 2 && path[1] == ':'))
		start--;
	const char *stream = static_cast<const char *>(std::memchr(path + start, ':', end - start));
	*n = (stream != nullptr ? static_cast<std::size_t>(stream - path) : end) - start;
	while (!literal && *n > 0 && (path[start + *n - 1] == '.' || path[start + *n - 1] == ' '))
		--*n;
	return path + start;
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
	case ERROR_CANT_RESOLVE_FILENAME: // a loop of links
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
	case ERROR_SHARING_VIOLATION: // another program has it open
	case ERROR_LOCK_VIOLATION:
		return EBUSY;
	case ERROR_WRITE_PROTECT:
		return EROFS;
	case ERROR_DIRECTORY:
		return ENOTDIR;
	case ERROR_ACCESS_DENIED:
	case ERROR_NETWORK_ACCESS_DENIED:
	case ERROR_CURRENT_DIRECTORY:
		return EACCES;
	case ERROR_INVALID_PARAMETER:
		return EINVAL;
	default:
		return EIO;
	}
}

static bool failed(NTSTATUS status)
{
	errno = errno_from_win32(RtlNtStatusToDosError(status));
	return false;
}

static wchar_t *wide_from_utf8(const char *text)
{
	int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
	wchar_t *wide = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(n))) : nullptr;
	if (wide == nullptr || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, n) != n) {
		std::free(wide);
		errno = n > 0 ? ENOMEM : ENOENT; // bytes that are no UTF-8 name no file
		return nullptr;
	}
	return wide;
}

static char *utf8_from_wide_n(const wchar_t *wide, int n)
{
	int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, n, nullptr, 0, nullptr, nullptr);
	char *s = bytes > 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(bytes) + 1)) : nullptr;
	if (s != nullptr && WideCharToMultiByte(CP_UTF8, 0, wide, n, s, bytes, nullptr, nullptr) != bytes) {
		std::free(s);
		return nullptr;
	}
	if (s != nullptr)
		s[bytes] = '\0';
	return s;
}

char *utf8_from_wide(const wchar_t *wide)
{
	return utf8_from_wide_n(wide, static_cast<int>(wcslen(wide)));
}

static bool starts_with(const wchar_t *text, const wchar_t *start)
{
	return wcsncmp(text, start, wcslen(start)) == 0;
}

// The path as the system takes it whatever its length: absolute, '/' as
// '\', "." and ".." resolved, a separator at the end dropped but for a
// drive's root, then "\\?\" (or "\\?\UNC\") before it. A path already in
// that form, or naming a device ("\\.\"), stays as it is.
static wchar_t *system_path(const char *path)
{
	wchar_t *wide = wide_from_utf8(path);
	if (wide == nullptr || starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\"))
		return wide;
	DWORD n = GetFullPathNameW(wide, 0, nullptr, nullptr);
	const wchar_t *prefix = L"\\\\?\\";
	wchar_t *full = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * (n + 8))) : nullptr;
	if (full == nullptr || GetFullPathNameW(wide, n, full + 8, nullptr) >= n) {
		errno = full == nullptr && n > 0 ? ENOMEM : ENOENT;
		std::free(full);
		std::free(wide);
		return nullptr;
	}
	std::free(wide);
	wchar_t *rest = full + 8;
	if (starts_with(rest, L"\\\\"))
		rest += 2, prefix = L"\\\\?\\UNC\\";
	std::size_t length = wcslen(rest);
	if (length > 3 && rest[length - 1] == L'\\')
		rest[--length] = L'\0';
	std::size_t p = wcslen(prefix);
	std::memmove(full, prefix, p * sizeof(wchar_t));
	std::memmove(full + p, rest, (length + 1) * sizeof(wchar_t));
	return full;
}

// What h is open on as the system names it now (links resolved), from the
// root of its volume, and that volume; null with errno set. (The final
// path by handle would say the same, but some systems give it no room
// past MAX_PATH.)
static wchar_t *final_path_of(HANDLE h, DWORD *volume)
{
	BY_HANDLE_FILE_INFORMATION info;
	const DWORD room = sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t);
	FILE_NAME_INFO *name = static_cast<FILE_NAME_INFO *>(std::malloc(room));
	wchar_t *path = nullptr;
	errno = ENOMEM;
	if (name != nullptr && GetFileInformationByHandle(h, &info) && GetFileInformationByHandleEx(h, FileNameInfo, name, room)) {
		std::size_t n = name->FileNameLength / sizeof(wchar_t);
		path = static_cast<wchar_t *>(std::malloc((n + 1) * sizeof(wchar_t)));
		if (path != nullptr)
			std::memcpy(path, name->FileName, n * sizeof(wchar_t)), path[n] = L'\0';
		*volume = info.dwVolumeSerialNumber;
	} else if (name != nullptr)
		errno = errno_from_win32(GetLastError());
	std::free(name);
	return path;
}

// Whether what h is open on stands in folder under name: a folder or file
// swapped for a link to elsewhere (which some systems follow whatever a
// program asks) does not, and is as gone (ENOENT). Where that cannot be
// told, errno says why.
static bool stands_in(const open_folder &folder, const wchar_t *name, HANDLE h)
{
	DWORD volume = 0;
	wchar_t *found = final_path_of(h, &volume);
	if (found == nullptr)
		return false;
	std::size_t n = wcslen(folder.final_path), length = found != nullptr ? wcslen(found) : 0;
	bool separated = n > 0 && folder.final_path[n - 1] == L'\\';
	std::size_t skip = n + (separated ? 0 : 1);
	bool in = volume == folder.volume && length > skip && (separated || found[n] == L'\\') &&
	          CompareStringOrdinal(found, static_cast<int>(n), folder.final_path, static_cast<int>(n), TRUE) == CSTR_EQUAL &&
	          CompareStringOrdinal(found + skip, -1, name, -1, TRUE) == CSTR_EQUAL;
	std::free(found);
	if (!in)
		errno = ENOENT;
	return in;
}

enum open_how { OPEN_NAME, CREATE_NAME };

// Opens where: a path by its long form, a name below its folder by the
// folder's handle; options are NtCreateFile's. Null handle with errno set.
static HANDLE open_handle(place where, ACCESS_MASK access, open_how how, ULONG options,
                          PSECURITY_DESCRIPTOR security = nullptr)
{
	wchar_t *name = where.folder == nullptr ? system_path(where.name) : wide_from_utf8(where.name);
	if (name == nullptr)
		return nullptr;
	ULONG share = how == CREATE_NAME ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
	HANDLE h = nullptr;
	if (where.folder == nullptr) {
		DWORD flags = (options & FILE_DIRECTORY_FILE ? FILE_FLAG_BACKUP_SEMANTICS : 0) |
		              (options & FILE_OPEN_REPARSE_POINT ? FILE_FLAG_OPEN_REPARSE_POINT : 0) |
		              (options & FILE_DELETE_ON_CLOSE ? FILE_FLAG_DELETE_ON_CLOSE : 0);
		SECURITY_ATTRIBUTES sa = {sizeof sa, security, FALSE};
		h = CreateFileW(name, access, share, &sa, how == CREATE_NAME ? CREATE_NEW : OPEN_EXISTING, flags, nullptr);
		if (h == INVALID_HANDLE_VALUE)
			errno = errno_from_win32(GetLastError()), h = nullptr;
	} else {
		UNICODE_STRING object = {static_cast<USHORT>(wcslen(name) * sizeof(wchar_t)),
		                         static_cast<USHORT>(wcslen(name) * sizeof(wchar_t)), name};
		OBJECT_ATTRIBUTES attributes;
		InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, where.folder->handle, security);
		IO_STATUS_BLOCK io;
		NTSTATUS status = NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
		                               how == CREATE_NAME ? FILE_CREATE : FILE_OPEN,
		                               options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
		if (!NT_SUCCESS(status))
			failed(status), h = nullptr;
		else if ((options & FILE_OPEN_REPARSE_POINT) != 0 && !stands_in(*where.folder, name, h))
			CloseHandle(h), h = nullptr;
	}
	std::free(name);
	return h;
}

static std::FILE *stream_on(HANDLE h, bool read, bool write)
{
	if (h == nullptr)
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

static HANDLE handle_of(std::FILE *f)
{
	int fd = _fileno(f);
	return fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

// The attributes, unlike _wstat, take a folder given with a trailing
// separator ("game\\"), as dropped folders and typed ones may come.
path_kind kind_of_path(const char *path)
{
	wchar_t *wide = system_path(path);
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

std::FILE *open_file(place where, bool follow)
{
	ULONG options = FILE_NON_DIRECTORY_FILE | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
	return stream_on(open_handle(where, GENERIC_READ, OPEN_NAME, options), true, false);
}

// The handle opens again, with no name to resolve: always the same file.
std::FILE *reopen_for_writing(std::FILE *f, place, bool)
{
	HANDLE h = ReOpenFile(handle_of(f), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
	if (h == INVALID_HANDLE_VALUE) {
		errno = errno_from_win32(GetLastError());
		return nullptr;
	}
	std::FILE *writable = stream_on(h, true, true);
	if (writable != nullptr)
		std::fclose(f);
	return writable;
}

bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got)
{
	HANDLE h = open_handle(where, GENERIC_READ, OPEN_NAME, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
	if (h == nullptr)
		return false;
	DWORD read = 0;
	bool ok = ReadFile(h, head, static_cast<DWORD>(n), &read, nullptr) != 0;
	if (!ok)
		errno = errno_from_win32(GetLastError());
	CloseHandle(h);
	*got = read;
	return ok;
}

name_kind kind_of_name(place where)
{
	HANDLE h = open_handle(where, FILE_READ_ATTRIBUTES, OPEN_NAME, FILE_OPEN_REPARSE_POINT);
	if (h == nullptr)
		return errno == ENOENT ? NAME_FREE : errno == EACCES || errno == EBUSY ? NAME_OTHER : NAME_UNKNOWN;
	BY_HANDLE_FILE_INFORMATION info;
	DWORD other = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
	bool file = GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & other) == 0;
	CloseHandle(h);
	return file ? NAME_FILE : NAME_OTHER;
}

// The copy gets the file's access list, protected from what its folder
// would add to it.
std::FILE *create_new_file(place where, std::FILE *like)
{
	PSECURITY_DESCRIPTOR security = nullptr;
	DWORD why = GetSecurityInfo(handle_of(like), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
	                            nullptr, &security);
	if (why != ERROR_SUCCESS) {
		errno = errno_from_win32(why);
		return nullptr;
	}
	SetSecurityDescriptorControl(security, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
	HANDLE h = open_handle(where, GENERIC_WRITE, CREATE_NAME, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security);
	LocalFree(security);
	return stream_on(h, false, true);
}

// Renamed through a handle of its own, told never to replace: the system
// refuses a name that is taken, whatever stands there.
bool name_new_file(place temporary, place final)
{
	HANDLE h = open_handle(temporary, DELETE, OPEN_NAME, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
	wchar_t *name = final.folder == nullptr ? system_path(final.name) : wide_from_utf8(final.name);
	std::size_t bytes = name != nullptr ? wcslen(name) * sizeof(wchar_t) : 0;
	FILE_RENAME_INFO *rename = name != nullptr ? static_cast<FILE_RENAME_INFO *>(std::calloc(1, sizeof *rename + bytes)) : nullptr;
	bool named = false;
	if (h != nullptr && rename != nullptr) {
		if (final.folder == nullptr)
			name[1] = name[2] = L'?'; // "\\?\" or "\\.\" as the NT name "\??\"
		rename->ReplaceIfExists = FALSE;
		rename->RootDirectory = final.folder != nullptr ? final.folder->handle : nullptr;
		rename->FileNameLength = static_cast<DWORD>(bytes);
		std::memcpy(rename->FileName, name, bytes);
		IO_STATUS_BLOCK io;
		NTSTATUS status = NtSetInformationFile(h, &io, rename, static_cast<ULONG>(sizeof *rename + bytes),
		                                       static_cast<FILE_INFORMATION_CLASS>(10)); // FileRenameInformation
		named = NT_SUCCESS(status) || failed(status);
	} else if (h != nullptr)
		errno = ENOMEM;
	if (h != nullptr)
		CloseHandle(h);
	std::free(rename);
	std::free(name);
	return named;
}

void remove_file(place where)
{
	HANDLE h = open_handle(where, DELETE, OPEN_NAME, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE);
	if (h != nullptr)
		CloseHandle(h);
}

bool flush_to_disk(std::FILE *f)
{
	if (FlushFileBuffers(handle_of(f)))
		return true;
	errno = errno_from_win32(GetLastError());
	return false;
}

// Windows counts 100 ns ticks from 1601; seconds and nanoseconds from then.
static const std::int64_t TICKS_A_SECOND = 10000000;

static void times_from(FILETIME t, std::int64_t *seconds, std::int32_t *nanoseconds)
{
	std::int64_t ticks = static_cast<std::int64_t>(static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
	*seconds = ticks / TICKS_A_SECOND;
	*nanoseconds = static_cast<std::int32_t>(ticks % TICKS_A_SECOND * 100);
}

static FILETIME filetime(std::int64_t seconds, std::int32_t nanoseconds)
{
	std::uint64_t t = static_cast<std::uint64_t>(seconds * TICKS_A_SECOND + nanoseconds / 100);
	return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
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
	times_from(info.ftLastAccessTime, &facts->times.access_seconds, &facts->times.access_nanoseconds);
	times_from(info.ftLastWriteTime, &facts->times.modify_seconds, &facts->times.modify_nanoseconds);
	return true;
}

bool set_file_times(std::FILE *f, const file_times &times)
{
	FILETIME access = filetime(times.access_seconds, times.access_nanoseconds);
	FILETIME modify = filetime(times.modify_seconds, times.modify_nanoseconds);
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

// Every name of the folder open as h, read through the handle itself.
static bool read_names(HANDLE h, name_store *s)
{
	const DWORD room = 64 * 1024;
	unsigned char *buffer = static_cast<unsigned char *>(std::malloc(room));
	bool ok = buffer != nullptr;
	errno = ENOMEM;
	while (ok && GetFileInformationByHandleEx(h, FileIdBothDirectoryInfo, buffer, room)) {
		for (DWORD at = 0;;) {
			const FILE_ID_BOTH_DIR_INFO *e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(buffer + at);
			char *name = utf8_from_wide_n(e->FileName, static_cast<int>(e->FileNameLength / sizeof(wchar_t)));
			ok = name != nullptr && (is_dot_or_dot_dot(name) || store_name(s, name, kind_of_found(e->FileAttributes)));
			std::free(name);
			if (!ok || e->NextEntryOffset == 0)
				break;
			at += e->NextEntryOffset;
		}
	}
	if (ok && GetLastError() != ERROR_NO_MORE_FILES)
		ok = false, errno = errno_from_win32(GetLastError());
	std::free(buffer);
	return ok;
}

// Whether h is a folder to list: a folder below another only when it is
// no reparse point; its final path is noted in folder.
static bool is_folder_to_list(HANDLE h, bool follow, open_folder *folder)
{
	BY_HANDLE_FILE_INFORMATION info;
	if (folder == nullptr)
		errno = ENOMEM;
	else if (!GetFileInformationByHandle(h, &info))
		errno = errno_from_win32(GetLastError());
	else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
		errno = ENOTDIR;
	else if (!follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
		errno = ELOOP;
	else if ((folder->final_path = final_path_of(h, &folder->volume)) != nullptr)
		return true;
	return false;
}

open_folder *open_folder_of(const char *path)
{
	std::size_t n = static_cast<std::size_t>(leaf_name(path) - path);
	char *folder_path = static_cast<char *>(std::malloc(n + 2));
	open_folder *folder = static_cast<open_folder *>(std::calloc(1, sizeof *folder));
	HANDLE h = nullptr;
	if (folder_path != nullptr && folder != nullptr) {
		std::memcpy(folder_path, path, n);
		std::strcpy(folder_path + n, n > 0 ? "" : ".");
		h = open_handle({nullptr, folder_path, folder_path}, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_NAME,
		                FILE_DIRECTORY_FILE);
	} else
		errno = ENOMEM;
	std::free(folder_path);
	if (h != nullptr && is_folder_to_list(h, true, folder)) {
		folder->handle = h;
		return folder;
	}
	if (h != nullptr)
		CloseHandle(h);
	std::free(folder);
	return nullptr;
}

void close_folder(open_folder *folder)
{
	CloseHandle(folder->handle);
	std::free(folder->final_path);
	std::free(folder);
}

bool list_folder(place where, bool follow, folder_listing *listing)
{
	ULONG options = FILE_DIRECTORY_FILE | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
	HANDLE h = open_handle(where, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_NAME, options);
	if (h == nullptr)
		return false;
	open_folder *folder = static_cast<open_folder *>(std::calloc(1, sizeof *folder));
	name_store s = {};
	bool listed = is_folder_to_list(h, follow, folder) && read_names(h, &s);
	if (!listed)
		discard_names(&s);
	if (!listed || !finish_listing(&s, listing)) {
		int err = errno;
		if (folder != nullptr)
			std::free(folder->final_path);
		std::free(folder);
		CloseHandle(h);
		errno = err;
		return false;
	}
	folder->handle = h;
	listing->folder = folder;
	return true;
}

void release_listing(folder_listing *listing)
{
	std::free(listing->entries);
	std::free(listing->names);
	close_folder(listing->folder);
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
