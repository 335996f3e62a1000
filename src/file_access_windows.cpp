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

#include "file_access.h"
#include "windows_access.h"

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

