// Folders on Windows: each held open as a handle, listed through it, and
// entered only when it is no reparse point; the names in it looked at,
// taken away, and given to a copy made beside a file.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>
#include <winternl.h>
#include <aclapi.h>

#include "platform/file_access.h"
#include "platform/file_access_shared.h"
#include "platform/windows/windows_access.h"

static entry_kind kind_of_found(DWORD attributes)
{
	if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
		return ENTRY_LINK;
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
			ok = name != nullptr && (is_dot_or_dot_dot(name) || store_name(s, name, kind_of_found(e->FileAttributes),
			                                                                static_cast<std::uint64_t>(e->FileId.QuadPart)));
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

// Whether h is a folder to open names below: a folder below another only
// when it is no reparse point; its final path is noted in folder.
static bool is_folder_to_hold(HANDLE h, bool follow, open_folder *folder)
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

void close_folder(open_folder *folder)
{
	CloseHandle(folder->handle);
	std::free(folder->final_path);
	std::free(folder->name);
	std::free(folder);
}

// The same folder by a handle of its own, and the path it is checked by.
open_folder *hold_folder_again(const open_folder *folder)
{
	open_folder *again = static_cast<open_folder *>(std::calloc(1, sizeof *again));
	std::size_t n = wcslen(folder->final_path) + 1;
	if (again != nullptr)
		again->final_path = static_cast<wchar_t *>(std::malloc(n * sizeof(wchar_t)));
	HANDLE process = GetCurrentProcess();
	if (again == nullptr || again->final_path == nullptr ||
	    !DuplicateHandle(process, folder->handle, process, &again->handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
		errno = again == nullptr || again->final_path == nullptr ? ENOMEM : errno_from_win32(GetLastError());
		if (again != nullptr)
			std::free(again->final_path);
		std::free(again);
		return nullptr;
	}
	std::memcpy(again->final_path, folder->final_path, n * sizeof(wchar_t));
	again->volume = folder->volume;
	return again;
}

// A folder held to be listed needs the right to list it; one held only to
// open names below it, the right to pass through it.
static open_folder *open_folder_handle(place where, bool follow, ACCESS_MASK access)
{
	ULONG options = FILE_DIRECTORY_FILE | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
	HANDLE h = open_handle(where, access | FILE_READ_ATTRIBUTES, OPEN_NAME, options);
	if (h == nullptr)
		return nullptr;
	open_folder *folder = static_cast<open_folder *>(std::calloc(1, sizeof *folder));
	if (!is_folder_to_hold(h, follow, folder)) {
		int err = errno;
		if (folder != nullptr)
			std::free(folder->final_path);
		std::free(folder);
		CloseHandle(h);
		errno = err;
		return nullptr;
	}
	folder->handle = h;
	return folder;
}

open_folder *open_listed_folder(place where, bool follow)
{
	return open_folder_handle(where, follow, FILE_LIST_DIRECTORY);
}

// The folder and the name are those of the path's long form, in which the
// system has resolved what the path says ("a.img." is a.img).
open_folder *open_folder_of(const char *path, const char **name)
{
	wchar_t *full = system_path(path);
	wchar_t *last = full != nullptr ? wcsrchr(full, L'\\') : nullptr;
	char *leaf = last != nullptr ? utf8_from_wide_n(last + 1, static_cast<int>(wcslen(last + 1))) : nullptr;
	char *folder_path = nullptr;
	if (leaf != nullptr) {
		last[1] = L'\0';
		folder_path = utf8_from_wide_n(full, static_cast<int>(wcslen(full)));
	}
	open_folder *folder = folder_path != nullptr ? open_folder_handle({nullptr, folder_path, folder_path}, true, FILE_TRAVERSE)
	                                             : nullptr;
	if (full != nullptr && folder_path == nullptr)
		errno = ENOMEM;
	std::free(folder_path);
	std::free(full);
	if (folder == nullptr) {
		std::free(leaf);
		return nullptr;
	}
	*name = folder->name = leaf;
	return folder;
}

bool read_folder_names(const open_folder *folder, name_store *s)
{
	return read_names(folder->handle, s);
}

// Windows has no file system of the system's own state to pass over.
bool inspect_folder(const open_folder *folder, folder_facts *facts)
{
	facts->volume = folder->volume;
	facts->system_view = false;
	return true;
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

// The owner of what h is open on, in descriptor, which the caller frees;
// null when it cannot be told.
static PSID owner_of(HANDLE h, PSECURITY_DESCRIPTOR *descriptor)
{
	PSID owner = nullptr;
	*descriptor = nullptr;
	if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, descriptor) !=
	    ERROR_SUCCESS)
		return nullptr;
	return owner;
}

// Whether sid is the user this process runs as.
static bool is_running_user(PSID sid)
{
	HANDLE token;
	if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
		return false;
	unsigned char room[256];
	DWORD n = 0;
	bool same = GetTokenInformation(token, TokenUser, room, sizeof room, &n) &&
	            EqualSid(reinterpret_cast<TOKEN_USER *>(room)->User.Sid, sid);
	CloseHandle(token);
	return same;
}

bool others_could_write(io_handle copy, io_handle file)
{
	PSECURITY_DESCRIPTOR held[2];
	PSID copy_owner = owner_of(as_handle(copy), &held[0]), file_owner = owner_of(as_handle(file), &held[1]);
	bool ours = copy_owner != nullptr && file_owner != nullptr &&
	            (EqualSid(copy_owner, file_owner) || is_running_user(copy_owner));
	LocalFree(held[0]);
	LocalFree(held[1]);
	return !ours;
}

// A file that cannot go (read-only, or open in a program that shares no
// deleting) is refused at the open, which sets errno.
bool remove_file(place where)
{
	HANDLE h = open_handle(where, DELETE, OPEN_NAME, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE);
	if (h == nullptr)
		return false;
	CloseHandle(h);
	return true;
}

// Taken away when the handle closes, the last one there is.
static void delete_on_close(HANDLE h)
{
	FILE_DISPOSITION_INFO gone = {TRUE};
	SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
}

// Windows deletes through a handle: the file looked at is the file taken
// away.
removal remove_same_file(place where, io_handle same)
{
	HANDLE h = open_handle(where, DELETE | FILE_READ_ATTRIBUTES, OPEN_NAME, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
	BY_HANDLE_FILE_INFORMATION named, open;
	if (h == nullptr)
		return REMOVAL_FAILED;
	removal done = REMOVAL_FAILED;
	if (GetFileInformationByHandle(h, &named) && GetFileInformationByHandle(as_handle(same), &open)) {
		bool one = named.dwVolumeSerialNumber == open.dwVolumeSerialNumber && named.nFileIndexHigh == open.nFileIndexHigh &&
		           named.nFileIndexLow == open.nFileIndexLow;
		FILE_DISPOSITION_INFO gone = {TRUE};
		done = !one ? NAME_REPLACED
		       : SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone) ? REMOVED
		                                                                                 : (errno = errno_from_win32(GetLastError()), REMOVAL_FAILED);
	} else
		errno = errno_from_win32(GetLastError());
	CloseHandle(h);
	return done;
}

// A live run holds its copy shared with no one, so a copy under the
// temporary name that opens shared with no one is one a stopped run left.
// Only a regular file goes, through the very handle looked at; one that
// is held stays, and the name stays taken.
static void clear_leftover_copy(place temporary)
{
	HANDLE h = open_handle(temporary, DELETE | FILE_READ_ATTRIBUTES, OPEN_ALONE,
	                       FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
	if (h == nullptr)
		return;
	BY_HANDLE_FILE_INFORMATION info;
	DWORD other = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
	if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & other) == 0)
		delete_on_close(h);
	CloseHandle(h);
}

// Windows has no file without a name: the copy is made under the
// temporary one, shared with no one so that no other run opens it while
// this one lives, and with the right to be renamed and taken away through
// its own handle. It gets the file's access list, protected from what its
// folder would add to it.
bool create_copy(place temporary, io_handle like, bool may_clear, new_copy *copy)
{
	PSECURITY_DESCRIPTOR security = nullptr;
	DWORD why = GetSecurityInfo(as_handle(like), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
	                            nullptr, &security);
	if (why != ERROR_SUCCESS) {
		errno = errno_from_win32(why);
		return false;
	}
	SetSecurityDescriptorControl(security, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
	if (may_clear)
		clear_leftover_copy(temporary);
	HANDLE h = open_handle(temporary, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, CREATE_NAME,
	                       FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security);
	LocalFree(security);
	copy->f = h != nullptr ? reinterpret_cast<io_handle>(h) : NO_HANDLE;
	copy->unnamed = false;
	return h != nullptr;
}

// Renamed through its own handle, told never to replace: the system
// refuses a name that is taken, whatever stands there.
bool name_copy(new_copy &copy, place, place final)
{
	wchar_t *name = final.folder == nullptr ? system_path(final.name) : wide_from_utf8(final.name);
	std::size_t bytes = name != nullptr ? wcslen(name) * sizeof(wchar_t) : 0;
	FILE_RENAME_INFO *rename = name != nullptr ? static_cast<FILE_RENAME_INFO *>(std::calloc(1, sizeof *rename + bytes)) : nullptr;
	bool named = false;
	if (rename != nullptr) {
		if (final.folder == nullptr)
			name[1] = name[2] = L'?'; // "\\?\" or "\\.\" as the NT name "\??\"
		rename->ReplaceIfExists = FALSE;
		rename->RootDirectory = final.folder != nullptr ? final.folder->handle : nullptr;
		rename->FileNameLength = static_cast<DWORD>(bytes);
		std::memcpy(rename->FileName, name, bytes);
		IO_STATUS_BLOCK io;
		NTSTATUS status = NtSetInformationFile(as_handle(copy.f), &io, rename, static_cast<ULONG>(sizeof *rename + bytes),
		                                       static_cast<FILE_INFORMATION_CLASS>(10)); // FileRenameInformation
		named = NT_SUCCESS(status) || failed(status);
	} else if (name != nullptr)
		errno = ENOMEM;
	std::free(rename);
	std::free(name);
	return named;
}

void discard_copy(new_copy &copy, place)
{
	delete_on_close(as_handle(copy.f));
	CloseHandle(as_handle(copy.f));
}
