// File access on POSIX: every open relative to a folder's descriptor,
// links not followed inside folders, FIFOs never waited for.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "file_access.h"
#include "file_access_shared.h"

static_assert(sizeof(off_t) >= 8, "off_t must hold positions past 4 GiB");

struct open_folder {
	int fd;
};

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

// Held only to open names below it, the folder needs no permission to be
// read, only to be searched (O_PATH where there is one).
open_folder *open_folder_of(const char *path, const char **name)
{
#ifdef O_PATH
	const int hold = O_PATH;
#else
	const int hold = O_RDONLY;
#endif
	*name = leaf_name(path);
	std::size_t n = static_cast<std::size_t>(*name - path);
	char *folder_path = static_cast<char *>(std::malloc(n + 2));
	open_folder *folder = static_cast<open_folder *>(std::malloc(sizeof *folder));
	int fd = -1;
	if (folder_path != nullptr && folder != nullptr) {
		std::memcpy(folder_path, path, n);
		std::strcpy(folder_path + n, n > 0 ? "" : ".");
		fd = open(folder_path, hold | O_DIRECTORY | O_CLOEXEC);
	} else
		errno = ENOMEM;
	std::free(folder_path);
	if (fd < 0) {
		std::free(folder);
		return nullptr;
	}
	folder->fd = fd;
	return folder;
}

void close_folder(open_folder *folder)
{
	close(folder->fd);
	std::free(folder);
}

static int folder_of(place where)
{
	return where.folder == nullptr ? AT_FDCWD : where.folder->fd;
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

static std::FILE *stream_on(int fd, const char *mode)
{
	if (fd < 0)
		return nullptr;
	std::FILE *f = fdopen(fd, mode);
	if (f == nullptr) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return unbuffered(f);
}

// Opening without O_NONBLOCK could wait for ever on a FIFO that has no
// writer; the caller makes sure the file is regular before reading it,
// and on a regular file O_NONBLOCK changes nothing.
static int open_at(place where, int access, bool follow)
{
	return openat(folder_of(where), where.name, access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

std::FILE *open_file(place where, bool follow)
{
	return stream_on(open_at(where, O_RDONLY, follow), "rb");
}

static bool same_file(int a, int b)
{
	struct stat sa, sb;
	return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A descriptor cannot gain write access, so the name is opened again, and
// what it opens must be the very file read so far.
std::FILE *reopen_for_writing(std::FILE *f, place where, bool follow)
{
	int fd = open_at(where, O_RDWR, follow);
	if (fd < 0)
		return nullptr;
	if (!same_file(fd, fileno(f))) {
		close(fd);
		errno = 0;
		return nullptr;
	}
	std::FILE *writable = stream_on(fd, "rb+");
	if (writable != nullptr)
		std::fclose(f); // read-only: nothing of it can be lost
	return writable;
}

bool read_first_bytes(place where, unsigned char *head, std::size_t n, std::size_t *got)
{
	int fd = open_at(where, O_RDONLY, false);
	if (fd < 0)
		return false;
	ssize_t read_n = read(fd, head, n);
	int err = errno;
	close(fd);
	errno = err;
	*got = read_n > 0 ? static_cast<std::size_t>(read_n) : 0;
	return read_n >= 0;
}

name_kind kind_of_name(place where)
{
	struct stat st;
	if (fstatat(folder_of(where), where.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT ? NAME_FREE : NAME_UNKNOWN;
	return S_ISREG(st.st_mode) ? NAME_FILE : NAME_OTHER;
}

// The copy belongs to the file's owner and group where they can be given;
// a copy left in another group loses the group's bits.
static void match_owner(int fd, const struct stat &file)
{
	struct stat copy;
	if (fchown(fd, file.st_uid, file.st_gid) == 0 || fchown(fd, static_cast<uid_t>(-1), file.st_gid) == 0)
		return;
	if (fstat(fd, &copy) == 0 && copy.st_gid != file.st_gid)
		fchmod(fd, copy.st_mode & 0707);
}

// An access list (a POSIX ACL) goes with the mode bits: without it the
// copy could be read by someone the list keeps from the file.
static bool copy_access_list(int from, int to)
{
#ifdef __linux__
	static const char NAME[] = "system.posix_acl_access";
	char list[4096];
	ssize_t n = fgetxattr(from, NAME, list, sizeof list);
	if (n < 0)
		return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP; // none to copy
	return fsetxattr(to, NAME, list, static_cast<std::size_t>(n), 0) == 0;
#else
	(void)from, (void)to;
	return true;
#endif
}

std::FILE *create_new_file(place where, std::FILE *like)
{
	struct stat file;
	if (fstat(fileno(like), &file) != 0)
		return nullptr;
	int fd = openat(folder_of(where), where.name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW,
	                file.st_mode & 0777);
	if (fd < 0)
		return nullptr;
	match_owner(fd, file);
	if (!copy_access_list(fileno(like), fd)) {
		int err = errno;
		close(fd);
		unlinkat(folder_of(where), where.name, 0);
		errno = err;
		return nullptr;
	}
	return stream_on(fd, "wb");
}

// A hard link never replaces a name; where the file system has none, a
// rename told not to replace.
bool name_new_file(place temporary, place final)
{
	int from = folder_of(temporary), to = folder_of(final);
	if (linkat(from, temporary.name, to, final.name, 0) == 0)
		return unlinkat(from, temporary.name, 0), true;
#ifdef RENAME_NOREPLACE
	if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK)
		return renameat2(from, temporary.name, to, final.name, RENAME_NOREPLACE) == 0;
#endif
	return false;
}

void remove_file(place where)
{
	unlinkat(folder_of(where), where.name, 0);
}

bool flush_to_disk(std::FILE *f)
{
	return fsync(fileno(f)) == 0;
}

static file_times times_of(const struct stat &st)
{
	return {static_cast<std::int64_t>(st.st_atim.tv_sec), static_cast<std::int64_t>(st.st_mtim.tv_sec),
	        static_cast<std::int32_t>(st.st_atim.tv_nsec), static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
}

bool inspect_file(std::FILE *f, file_facts *facts)
{
	struct stat st;
	int fd = fileno(f);
	if (fstat(fd, &st) != 0)
		return false;
	facts->regular = S_ISREG(st.st_mode);
	facts->volume = static_cast<std::uint64_t>(st.st_dev);
	facts->index = static_cast<std::uint64_t>(st.st_ino);
	facts->times = times_of(st);
	return true;
}

bool set_file_times(std::FILE *f, const file_times &times)
{
	timespec both[2];
	both[0].tv_sec = static_cast<time_t>(times.access_seconds);
	both[0].tv_nsec = times.access_nanoseconds;
	both[1].tv_sec = static_cast<time_t>(times.modify_seconds);
	both[1].tv_nsec = times.modify_nanoseconds;
	return futimens(fileno(f), both) == 0;
}

bool seek_to(std::FILE *f, std::uint64_t pos)
{
	return fseeko(f, static_cast<off_t>(pos), SEEK_SET) == 0;
}

bool file_length(std::FILE *f, std::uint64_t *length)
{
	if (fseeko(f, 0, SEEK_END) != 0)
		return false;
	off_t end = ftello(f);
	*length = static_cast<std::uint64_t>(end);
	return end >= 0;
}

// The folder's own word for each entry; a stat only where it has none.
static entry_kind kind_of_entry(int folder, const dirent *d)
{
	unsigned char type = d->d_type;
	if (type == DT_UNKNOWN) {
		struct stat st;
		if (fstatat(folder, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return ENTRY_OTHER;
		return S_ISDIR(st.st_mode) ? ENTRY_FOLDER : S_ISREG(st.st_mode) ? ENTRY_FILE : ENTRY_OTHER;
	}
	return type == DT_DIR ? ENTRY_FOLDER : type == DT_REG ? ENTRY_FILE : ENTRY_OTHER;
}

// Reads every name of the folder open as fd; closes nothing.
static bool read_names(int fd, name_store *s)
{
	int copy = dup(fd);
	DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
	if (dir == nullptr) {
		if (copy >= 0)
			close(copy);
		return false;
	}
	bool ok = true;
	for (;;) {
		errno = 0;
		dirent *d = readdir(dir);
		if (d == nullptr) {
			ok = errno == 0;
			break;
		}
		if (!is_dot_or_dot_dot(d->d_name) && !store_name(s, d->d_name, kind_of_entry(fd, d))) {
			ok = false;
			break;
		}
	}
	int err = errno;
	closedir(dir);
	errno = err;
	return ok;
}

open_folder *open_listed_folder(place where, bool follow)
{
	int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
	int fd = openat(folder_of(where), where.name, flags);
	if (fd < 0)
		return nullptr;
	open_folder *folder = static_cast<open_folder *>(std::malloc(sizeof *folder));
	if (folder == nullptr) {
		close(fd);
		errno = ENOMEM;
		return nullptr;
	}
	folder->fd = fd;
	return folder;
}

bool read_folder_names(const open_folder *folder, name_store *s)
{
	return read_names(folder->fd, s);
}
