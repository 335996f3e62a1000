#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64 // must precede every include to widen off_t
#endif

#include "file_access.h"

#include <cerrno>
#include <cstdlib>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#ifdef _WIN32
static_assert(sizeof(long long) == 8, "_fseeki64 takes 64-bit positions");

// Windows opens names outside the ANSI code page only through the
// wide-character calls.
std::FILE *open_file(const char *path, bool update)
{
	int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
	wchar_t *wide = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(n))) : nullptr;
	if (wide == nullptr || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, n) != n) {
		std::free(wide);
		errno = n > 0 ? ENOMEM : EINVAL;
		return nullptr;
	}
	std::FILE *f = _wfopen(wide, update ? L"rb+" : L"rb");
	std::free(wide);
	return f;
}

bool is_regular_file(std::FILE *f)
{
	struct _stat64 st;
	return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool is_terminal(std::FILE *f)
{
	return _isatty(_fileno(f)) != 0;
}

static bool seek(std::FILE *f, std::uint64_t pos, int whence)
{
	return _fseeki64(f, static_cast<long long>(pos), whence) == 0;
}

static std::int64_t tell(std::FILE *f)
{
	return _ftelli64(f);
}
#else
static_assert(sizeof(off_t) >= 8, "off_t must hold positions past 4 GiB");

// Opening without O_NONBLOCK could wait for ever on a FIFO that has no
// writer; the caller makes sure the file is regular before reading it.
std::FILE *open_file(const char *path, bool update)
{
	int fd = open(path, (update ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return nullptr;
	std::FILE *f = fdopen(fd, update ? "rb+" : "rb");
	if (f == nullptr) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return f;
}

// Also drops O_NONBLOCK, which has no business on a regular file.
bool is_regular_file(std::FILE *f)
{
	struct stat st;
	int fd = fileno(f), flags = fcntl(fd, F_GETFL);
	return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool is_terminal(std::FILE *f)
{
	int fd = fileno(f); // -1 for a stream in memory
	return fd >= 0 && isatty(fd) != 0;
}

static bool seek(std::FILE *f, std::uint64_t pos, int whence)
{
	return fseeko(f, static_cast<off_t>(pos), whence) == 0;
}

static std::int64_t tell(std::FILE *f)
{
	return ftello(f);
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
