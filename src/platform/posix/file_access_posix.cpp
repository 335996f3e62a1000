// File access on POSIX: every open relative to a folder's descriptor,
// links not followed inside folders, FIFOs never waited for; reads,
// writes, the write lock and what the system says of a file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/file_access.h"
#include "platform/posix/posix_access.h"

static_assert(sizeof(off_t) >= 8, "off_t must hold positions past 4 GiB");

const char PATH_SEPARATOR = '/';
const bool WINDOWS_COMMAND_LINE = false;

bool needs_separator_after(const char *folder, std::size_t n)
{
	return n == 0 || folder[n - 1] != '/';
}

char16_t folded_unit(char16_t unit)
{
	return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

const char *leaf_name(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	return slash != nullptr ? slash + 1 : path;
}

const char *last_name_as_opened(const char *path, std::size_t *n)
{
	const char *name = leaf_name(path);
	*n = std::strlen(name);
	return name;
}

path_kind kind_of_path(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return PATH_MISSING;
	if (S_ISDIR(st.st_mode))
		return PATH_FOLDER;
	return S_ISREG(st.st_mode) ? PATH_REGULAR : PATH_OTHER;
}

io_handle open_file(place where, bool follow)
{
	return open_at(where, O_RDONLY, follow);
}

// Whether a and b are one file; false with errno set when either cannot
// be looked at, with errno 0 when they are two.
static bool same_file(int a, int b)
{
	struct stat sa, sb;
	if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0)
		return false;
	errno = 0;
	return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// One writer at a time, never waited for: a lock of the open file
// description where Linux has it (a classic fcntl lock would be dropped by
// the close of any other descriptor of the file), flock elsewhere. The
// same call in every run, so that they see one another's.
bool lock_for_update(int fd)
{
#ifdef F_OFD_SETLK
	struct flock whole = {};
	whole.l_type = F_WRLCK;
	whole.l_whence = SEEK_SET;
	if (fcntl(fd, F_OFD_SETLK, &whole) == 0)
		return true;
	if (errno != EINVAL) // a kernel without them says EINVAL
		return false;
#endif
	return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

static bool held_by_another(int err)
{
	return err == EAGAIN || err == EACCES || err == EWOULDBLOCK;
}

// A descriptor cannot gain write access, so the name is opened again, and
// what it opens must be the very file read so far.
write_access open_for_writing(io_handle *f, place where, bool follow)
{
	int fd = open_at(where, O_RDWR, follow);
	if (fd < 0)
		return WRITE_REFUSED;
	if (!same_file(fd, descriptor(*f))) {
		close_keeping_errno(fd);
		return errno == 0 ? WRITE_REPLACED : WRITE_REFUSED;
	}
	if (!lock_for_update(fd)) {
		close_keeping_errno(fd);
		return held_by_another(errno) ? WRITE_IN_USE : WRITE_REFUSED;
	}
	close(descriptor(*f)); // read-only: nothing of it can be lost
	*f = fd;
	return WRITE_GRANTED;
}

// At most 1 GiB a call, which every system takes whole.
static std::size_t one_call(std::size_t n)
{
	return n < (std::size_t{1} << 30) ? n : std::size_t{1} << 30;
}

io_result read_at(io_handle f, std::uint64_t pos, unsigned char *buffer, std::size_t n, std::size_t *done)
{
	for (*done = 0; *done < n;) {
		ssize_t got = pread(descriptor(f), buffer + *done, one_call(n - *done), static_cast<off_t>(pos + *done));
		if (got == 0)
			return IO_SHORT;
		if (got < 0 && errno != EINTR)
			return IO_FAILED;
		if (got > 0)
			*done += static_cast<std::size_t>(got);
	}
	return IO_WHOLE;
}

io_result write_at(io_handle f, std::uint64_t pos, const unsigned char *data, std::size_t n, std::size_t *done)
{
	for (*done = 0; *done < n;) {
		ssize_t put = pwrite(descriptor(f), data + *done, one_call(n - *done), static_cast<off_t>(pos + *done));
		if (put == 0)
			errno = EIO;
		if (put <= 0 && errno != EINTR)
			return IO_FAILED;
		if (put > 0)
			*done += static_cast<std::size_t>(put);
	}
	return IO_WHOLE;
}

void advise_reading(io_handle f, std::uint64_t pos, std::uint64_t length)
{
#ifdef POSIX_FADV_WILLNEED
	posix_fadvise(descriptor(f), static_cast<off_t>(pos), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
#else
	(void)f, (void)pos, (void)length;
#endif
}

// A read told not to wait fails rather than go to the disk. Only where
// the access time stays as it was.
cache_state first_bytes_cached(place where)
{
#if defined(RWF_NOWAIT) && defined(O_NOATIME)
	int fd = open_at(where, O_RDONLY | O_NOATIME, false);
	if (fd < 0)
		return CACHE_UNKNOWN;
	unsigned char byte;
	iovec one = {&byte, 1};
	ssize_t got = preadv2(fd, &one, 1, 0, RWF_NOWAIT);
	bool refused = got < 0 && errno != EAGAIN;
	close(fd);
	return refused ? CACHE_UNKNOWN : got >= 0 ? CACHE_WARM : CACHE_COLD;
#else
	(void)where;
	return CACHE_UNKNOWN;
#endif
}

// Linux says it of the disk, whose queue a partition's entry lacks.
bool on_rotating_disk(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return false;
	char name[96];
	for (const char *queue : {"queue", "../queue"}) {
		std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/%s/rotational", major(st.st_dev), minor(st.st_dev), queue);
		int fd = open(name, O_RDONLY | O_CLOEXEC);
		char said = '0';
		bool read_one = fd >= 0 && read(fd, &said, 1) == 1;
		if (fd >= 0)
			close(fd);
		if (read_one)
			return said == '1';
	}
	return false;
}

bool close_file(io_handle f)
{
	return close(descriptor(f)) == 0;
}

io_handle file_of_stream(std::FILE *f)
{
	int fd = fileno(f); // -1 for a stream in memory
	return fd >= 0 ? fd : NO_HANDLE;
}

// The time -p keeps is recorded when the file is looked at, after this.
io_handle open_quietly(place where)
{
#ifdef O_NOATIME
	int fd = open_at(where, O_RDONLY | O_NOATIME, false);
	if (fd >= 0 || errno != EPERM)
		return fd;
#endif
	return open_at(where, O_RDONLY, false);
}

bool read_start(io_handle f, unsigned char *head, std::size_t n, std::size_t *got)
{
	ssize_t read_n = read(descriptor(f), head, n);
	*got = read_n > 0 ? static_cast<std::size_t>(read_n) : 0;
	return read_n >= 0;
}

bool flush_to_disk(io_handle f)
{
	return fsync(descriptor(f)) == 0;
}

static file_times times_of(const struct stat &st)
{
	return {static_cast<std::int64_t>(st.st_atim.tv_sec), static_cast<std::int64_t>(st.st_mtim.tv_sec),
	        static_cast<std::int32_t>(st.st_atim.tv_nsec), static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
}

bool inspect_file(io_handle f, file_facts *facts)
{
	struct stat st;
	if (fstat(descriptor(f), &st) != 0)
		return false;
	facts->regular = S_ISREG(st.st_mode);
	facts->volume = static_cast<std::uint64_t>(st.st_dev);
	facts->index = static_cast<std::uint64_t>(st.st_ino);
	facts->size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
	facts->times = times_of(st);
	return true;
}

bool set_file_times(io_handle f, const file_times &times)
{
	timespec both[2];
	both[0].tv_sec = static_cast<time_t>(times.access_seconds);
	both[0].tv_nsec = times.access_nanoseconds;
	both[1].tv_sec = static_cast<time_t>(times.modify_seconds);
	both[1].tv_nsec = times.modify_nanoseconds;
	return futimens(descriptor(f), both) == 0;
}
