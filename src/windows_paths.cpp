// Paths and errors on Windows: names as the system resolves them, UTF-8
// and UTF-16, the long form of a path, and errno values for its errors.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include "file_access.h"
#include "windows_access.h"

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
