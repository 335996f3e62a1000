// What the Windows platform files share: the open folder a handle stands
// for, paths in the forms the system takes, its errors as errno values,
// and handles opened below folders.
#ifndef TXD_DEPTH_FIX_WINDOWS_ACCESS_H
#define TXD_DEPTH_FIX_WINDOWS_ACCESS_H

#include <cstdio>

#include <windows.h>
#include <winternl.h>

#include "platform/file_access.h"

struct open_folder {
	HANDLE handle;
	wchar_t *final_path; // as the system names the folder now, to check what opens below it
	DWORD volume;
	char *name; // for a FILE, its last name as the system resolves it
};

// The one translation of the system's error codes into errno values;
// failed sets errno from an NT status and says false.
int errno_from_win32(DWORD error);
bool failed(NTSTATUS status);

// UTF-8 and the system's UTF-16, in memory of their own; null (errno set)
// when they cannot be converted or held.
wchar_t *wide_from_utf8(const char *text);
char *utf8_from_wide_n(const wchar_t *wide, int n);

// The path as the system takes it whatever its length: absolute, '/' as
// '\', "." and ".." resolved, a separator at the end dropped but for a
// drive's root, then "\\?\" (or "\\?\UNC\") before it. A path already in
// that form, or naming a device ("\\.\"), stays as it is.
wchar_t *system_path(const char *path);

// What h is open on as the system names it now (links resolved), from the
// root of its volume, and that volume; null with errno set.
wchar_t *final_path_of(HANDLE h, DWORD *volume);

// Opens where: a path by its long form, a name below its folder by the
// folder's handle; options are NtCreateFile's. A name opened without
// following a reparse point must stand where its folder says. Null handle
// with errno set. An existing name opens shared with every other program,
// or (OPEN_ALONE) with none; a name created is shared with none.
enum open_how { OPEN_NAME, OPEN_ALONE, CREATE_NAME };
HANDLE open_handle(place where, ACCESS_MASK access, open_how how, ULONG options, PSECURITY_DESCRIPTOR security = nullptr);

// The handle an io_handle is, and the one a stream writes to
// (INVALID_HANDLE_VALUE when it has none).
inline HANDLE as_handle(io_handle f)
{
	return reinterpret_cast<HANDLE>(f);
}

HANDLE handle_of(std::FILE *f);

#endif
