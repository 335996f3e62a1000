// Paths and errors on Windows: names as the system resolves them, UTF-8
// and UTF-16, the long form of a path, what a path is and where a link
// leads, and errno values for the system's errors.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include "platform/file_access.h"
#include "platform/windows/windows_access.h"

const char PATH_SEPARATOR = '\\';
const bool WINDOWS_COMMAND_LINE = true;

// "C:" alone is the current folder of drive C: a name joins it as "C:name".
bool needs_separator_after(const char *folder, std::size_t n)
{
	if (n == 0 || folder[n - 1] == '\\' || folder[n - 1] == '/')
		return n == 0;
	return !(n == 2 && folder[1] == ':');
}

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR unit);

// The folding NTFS and FAT compare names by.
char16_t folded_unit(char16_t unit)
{
	return static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(unit)));
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
int errno_from_win32(DWORD error)
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

bool failed(NTSTATUS status)
{
	errno = errno_from_win32(RtlNtStatusToDosError(status));
	return false;
}

wchar_t *wide_from_utf8(const char *text)
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

char *utf8_from_wide_n(const wchar_t *wide, int n)
{
	int bytes = n > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, n, nullptr, 0, nullptr, nullptr) : 0;
	char *s = bytes > 0 || n == 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(bytes) + 1)) : nullptr;
	if (s != nullptr && bytes > 0 && WideCharToMultiByte(CP_UTF8, 0, wide, n, s, bytes, nullptr, nullptr) != bytes) {
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
wchar_t *system_path(const char *path)
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
	if (starts_with(rest, L"\\\\.\\")) // a device's name, as "CON" resolves
		prefix = L"";
	else if (starts_with(rest, L"\\\\"))
		rest += 2, prefix = L"\\\\?\\UNC\\";
	std::size_t length = wcslen(rest);
	if (length > 3 && rest[length - 1] == L'\\')
		rest[--length] = L'\0';
	std::size_t p = wcslen(prefix);
	std::memmove(full, prefix, p * sizeof(wchar_t));
	std::memmove(full + p, rest, (length + 1) * sizeof(wchar_t));
	return full;
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

// The path as the system names it, without the "\\?\" it puts before it
// (a share's "\\?\UNC\" as "\\"); null when it cannot be told or held.
static char *final_path_shown(HANDLE h)
{
	DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
	wchar_t *path = n > 0 ? static_cast<wchar_t *>(std::malloc(n * sizeof(wchar_t))) : nullptr;
	char *shown = nullptr;
	if (path != nullptr && GetFinalPathNameByHandleW(h, path, n, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) < n) {
		wchar_t *from = path;
		if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0)
			from = path + 6, from[0] = L'\\';
		else if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':')
			from = path + 4;
		shown = utf8_from_wide(from);
	}
	std::free(path);
	return shown;
}

// A link is a reparse point that names another file or folder (a symbolic
// link, a junction); others (a deduplicated file, one kept in the cloud)
// are files in their own right. A plain file costs no open.
char *link_target(const char *path)
{
	wchar_t *wide = system_path(path);
	DWORD attributes = wide != nullptr ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
	const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
	char *target = nullptr;
	if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
		HANDLE h = CreateFileW(wide, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
		                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
		FILE_ATTRIBUTE_TAG_INFO tag = {};
		bool link = h != INVALID_HANDLE_VALUE && GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
		            IsReparseTagNameSurrogate(tag.ReparseTag);
		if (h != INVALID_HANDLE_VALUE)
			CloseHandle(h);
		h = link ? CreateFileW(wide, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
		         : INVALID_HANDLE_VALUE;
		if (h != INVALID_HANDLE_VALUE)
			target = final_path_shown(h), CloseHandle(h);
	}
	std::free(wide);
	return target;
}

// The drive's root as the full path names it: "\\?\C:\" for the drive
// Windows runs from, in any letter case.
bool is_system_root(const char *path)
{
	wchar_t windows[MAX_PATH];
	UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
	wchar_t *full = n >= 3 && n < MAX_PATH ? system_path(path) : nullptr;
	bool root = full != nullptr && starts_with(full, L"\\\\?\\") && wcslen(full) == 7 && full[6] == L'\\' &&
	            folded_unit(static_cast<char16_t>(full[4])) == folded_unit(static_cast<char16_t>(windows[0])) && full[5] == L':';
	std::free(full);
	return root;
}
