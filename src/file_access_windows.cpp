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
#include "windows_access.h"

static_assert(sizeof(long long) == 8, "_fseeki64 takes 64-bit positions");

// What h is open on as the system names it now (links resolved), from the
// root of its volume, and that volume; null with errno set. (The final
// path by handle would say the same, but some systems give it no room
// past MAX_PATH.)
wchar_t *final_path_of(HANDLE h, DWORD *volume)
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

// Opens where: a path by its long form, a name below its folder by the
// folder's handle; options are NtCreateFile's. Null handle with errno set.
HANDLE open_handle(place where, ACCESS_MASK access, open_how how, ULONG options, PSECURITY_DESCRIPTOR security)
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

HANDLE handle_of(std::FILE *f)
{
	int fd = _fileno(f);
	return fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

// The attributes, unlike _wstat, take a folder given with a trailing
// separator ("game\\"), as dropped folders and typed ones may come.
// A name the system takes for a device ("NUL", "CON", "\\.\...") is no
// file, whatever its attributes say.
path_kind kind_of_path(const char *path)
{
	wchar_t *wide = system_path(path);
	if (wide == nullptr)
		return PATH_MISSING;
	if (wcsncmp(wide, L"\\\\.\\", 4) == 0) {
		std::free(wide);
		return PATH_OTHER;
	}
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

