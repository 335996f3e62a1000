// File access on Windows. A path the user gives is made absolute and long
// ("\\?\") before any call, so that no MAX_PATH limit applies and "C:"
// means the drive's current folder. Below a folder held open, every name
// opens relative to the folder's handle, never following a reparse point,
// and what opens must stand where the folder says: a folder or file
// swapped for a link meanwhile is never reached through. Open files are
// synchronous handles, read and written at the position each call names.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <io.h>
#include <windows.h>
#include <winternl.h>

#include "platform/file_access.h"
#include "platform/windows/windows_access.h"

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
	ULONG share = how == OPEN_NAME ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
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

HANDLE handle_of(std::FILE *f)
{
	int fd = _fileno(f);
	return fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

// A program started without a standard output has -2 behind it.
io_handle file_of_stream(std::FILE *f)
{
	HANDLE h = handle_of(f);
	bool none = h == INVALID_HANDLE_VALUE || h == nullptr || h == reinterpret_cast<HANDLE>(-2);
	return none ? NO_HANDLE : reinterpret_cast<io_handle>(h);
}

static io_handle io_handle_of(HANDLE h)
{
	return h != nullptr ? reinterpret_cast<io_handle>(h) : NO_HANDLE;
}

io_handle open_file(place where, bool follow)
{
	ULONG options = FILE_NON_DIRECTORY_FILE | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
	return io_handle_of(open_handle(where, GENERIC_READ, OPEN_NAME, options));
}

// The byte every writing run locks: far past any data a file can hold,
// since Windows' locks are mandatory and one on the data would refuse a
// game its reads there. It refuses nothing but another run's lock.
static OVERLAPPED lock_byte()
{
	OVERLAPPED at = {};
	at.Offset = 0xFFFFFFFE;
	at.OffsetHigh = 0x7FFFFFFF;
	return at;
}

// The handle opens again, with no name to resolve: always the same file,
// still shared for reading and writing, so that a game that has it open
// keeps it. Another run is kept out by the lock, never waited for.
write_access open_for_writing(io_handle *f, place, bool)
{
	const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
	HANDLE h = ReOpenFile(as_handle(*f), GENERIC_READ | GENERIC_WRITE, share, 0);
	if (h == INVALID_HANDLE_VALUE) {
		errno = errno_from_win32(GetLastError());
		return WRITE_REFUSED;
	}
	OVERLAPPED at = lock_byte();
	if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
		DWORD why = GetLastError();
		CloseHandle(h);
		errno = errno_from_win32(why);
		return why == ERROR_LOCK_VIOLATION ? WRITE_IN_USE : WRITE_REFUSED;
	}
	CloseHandle(as_handle(*f)); // read-only: nothing of it can be lost
	*f = reinterpret_cast<io_handle>(h);
	return WRITE_GRANTED;
}

// At most 1 GiB a call, which every system takes whole.
static DWORD one_call(std::size_t n)
{
	return n < (std::size_t{1} << 30) ? static_cast<DWORD>(n) : DWORD{1} << 30;
}

// On a synchronous handle the OVERLAPPED only names the position: the
// call returns when it is done.
static OVERLAPPED at_position(std::uint64_t pos)
{
	OVERLAPPED at = {};
	at.Offset = static_cast<DWORD>(pos);
	at.OffsetHigh = static_cast<DWORD>(pos >> 32);
	return at;
}

io_result read_at(io_handle f, std::uint64_t pos, unsigned char *buffer, std::size_t n, std::size_t *done)
{
	for (*done = 0; *done < n;) {
		OVERLAPPED at = at_position(pos + *done);
		DWORD got = 0;
		if (!ReadFile(as_handle(f), buffer + *done, one_call(n - *done), &got, &at)) {
			DWORD why = GetLastError();
			if (why == ERROR_HANDLE_EOF) // a read that starts at the end or past it
				return IO_SHORT;
			errno = errno_from_win32(why);
			return IO_FAILED;
		}
		if (got == 0)
			return IO_SHORT;
		*done += got;
	}
	return IO_WHOLE;
}

io_result write_at(io_handle f, std::uint64_t pos, const unsigned char *data, std::size_t n, std::size_t *done)
{
	for (*done = 0; *done < n;) {
		OVERLAPPED at = at_position(pos + *done);
		DWORD put = 0;
		if (!WriteFile(as_handle(f), data + *done, one_call(n - *done), &put, &at)) {
			errno = errno_from_win32(GetLastError());
			return IO_FAILED;
		}
		if (put == 0) {
			errno = EIO;
			return IO_FAILED;
		}
		*done += put;
	}
	return IO_WHOLE;
}

// Windows has no way to ask for bytes without reading them, which on a
// warm cache, which nothing here can tell from a cold one, would copy
// every file once more: the helpers' opens bring in each file's record
// only, and the bytes come when the walk reads them.
void advise_reading(io_handle, std::uint64_t, std::uint64_t)
{
}

// Windows cannot be asked without reading.
cache_state first_bytes_cached(place)
{
	return CACHE_UNKNOWN;
}

// What Windows could tell of the disk is not asked: as a disk without
// moving parts.
bool on_rotating_disk(const char *)
{
	return false;
}

// Windows asks that a lock be let go before the close: one left to the
// close may stay a while after it. A handle that holds none says so.
bool close_file(io_handle f)
{
	OVERLAPPED at = lock_byte();
	UnlockFileEx(as_handle(f), 0, 1, 0, &at);
	if (CloseHandle(as_handle(f)))
		return true;
	errno = errno_from_win32(GetLastError());
	return false;
}

io_handle open_quietly(place where)
{
	return open_file(where, false);
}

// A handle just opened stands at the start.
bool read_start(io_handle f, unsigned char *head, std::size_t n, std::size_t *got)
{
	DWORD read = 0;
	bool ok = ReadFile(as_handle(f), head, static_cast<DWORD>(n), &read, nullptr) != 0;
	if (!ok)
		errno = errno_from_win32(GetLastError());
	*got = read;
	return ok;
}

bool flush_to_disk(io_handle f)
{
	if (FlushFileBuffers(as_handle(f)))
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

// A pipe or a console is no file: it has no identity any file shares.
bool inspect_file(io_handle f, file_facts *facts)
{
	HANDLE h = as_handle(f);
	BY_HANDLE_FILE_INFORMATION info;
	*facts = {};
	DWORD type = GetFileType(h);
	if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
		errno = errno_from_win32(GetLastError());
		return false;
	}
	if (type != FILE_TYPE_DISK)
		return true;
	if (!GetFileInformationByHandle(h, &info)) {
		errno = errno_from_win32(GetLastError());
		return false;
	}
	facts->regular = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
	facts->volume = info.dwVolumeSerialNumber;
	facts->index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
	facts->size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
	times_from(info.ftLastAccessTime, &facts->times.access_seconds, &facts->times.access_nanoseconds);
	times_from(info.ftLastWriteTime, &facts->times.modify_seconds, &facts->times.modify_nanoseconds);
	return true;
}

bool set_file_times(io_handle f, const file_times &times)
{
	FILETIME access = filetime(times.access_seconds, times.access_nanoseconds);
	FILETIME modify = filetime(times.modify_seconds, times.modify_nanoseconds);
	if (SetFileTime(as_handle(f), nullptr, &access, &modify))
		return true;
	errno = errno_from_win32(GetLastError());
	return false;
}
