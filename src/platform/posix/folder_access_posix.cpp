// Folders on POSIX: each held open as a descriptor and listed through it;
// the names in it looked at and taken away. Copies made beside a file are
// copy_access_posix.cpp's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include "platform/file_access.h"
#include "platform/file_access_shared.h"
#include "platform/posix/posix_access.h"

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
		fd = open_retried([&] { return open(folder_path, hold | O_DIRECTORY | O_CLOEXEC); });
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

open_folder *hold_folder_again(const open_folder *folder)
{
	open_folder *again = static_cast<open_folder *>(std::malloc(sizeof *again));
	int fd = again != nullptr ? fcntl(folder->fd, F_DUPFD_CLOEXEC, 0) : -1;
	if (fd < 0) {
		int err = again == nullptr ? ENOMEM : errno;
		std::free(again);
		errno = err;
		return nullptr;
	}
	again->fd = fd;
	return again;
}

name_kind kind_of_name(place where)
{
	struct stat st;
	if (fstatat(folder_of(where), where.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT ? NAME_FREE : NAME_UNKNOWN;
	return S_ISREG(st.st_mode) ? NAME_FILE : NAME_OTHER;
}

char *link_target(const char *path)
{
	struct stat st;
	if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode))
		return nullptr;
	return realpath(path, nullptr);
}

bool remove_file(place where)
{
	return unlinkat(folder_of(where), where.name, 0) == 0;
}

// POSIX removes by name alone: the name is looked at just before, which
// leaves only a writer of the folder a moment to put another file there.
removal remove_same_file(place where, io_handle same)
{
	struct stat named, open;
	if (fstatat(folder_of(where), where.name, &named, AT_SYMLINK_NOFOLLOW) != 0 || fstat(descriptor(same), &open) != 0)
		return REMOVAL_FAILED;
	if (named.st_dev != open.st_dev || named.st_ino != open.st_ino)
		return NAME_REPLACED;
	return unlinkat(folder_of(where), where.name, 0) == 0 ? REMOVED : REMOVAL_FAILED;
}

// The folder's own word for each entry; a stat only where it has none.
static entry_kind kind_of_entry(int folder, const dirent *d)
{
	unsigned char type = d->d_type;
	if (type == DT_UNKNOWN) {
		struct stat st;
		if (fstatat(folder, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return ENTRY_OTHER;
		return S_ISDIR(st.st_mode)   ? ENTRY_FOLDER
		       : S_ISREG(st.st_mode) ? ENTRY_FILE
		       : S_ISLNK(st.st_mode) ? ENTRY_LINK
		                             : ENTRY_OTHER;
	}
	return type == DT_DIR ? ENTRY_FOLDER : type == DT_REG ? ENTRY_FILE : type == DT_LNK ? ENTRY_LINK : ENTRY_OTHER;
}

// Reads every name of the folder open as fd; closes nothing.
static bool read_names(int fd, name_store *s)
{
	int copy = open_retried([&] { return fcntl(fd, F_DUPFD_CLOEXEC, 0); });
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
		if (!is_dot_or_dot_dot(d->d_name) &&
		    !store_name(s, d->d_name, kind_of_entry(fd, d), static_cast<std::uint64_t>(d->d_ino))) {
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
	int fd = open_retried([&] { return openat(folder_of(where), where.name, flags); });
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

// The types of the file systems through which Linux shows itself: their
// files are the kernel's state, reading some of them has effects, and a
// search of them finds nothing but noise. autofs is here too: entering one
// mounts what it stands for. (devtmpfs reports itself as tmpfs and cannot
// be told apart; its devices are passed over anyway.)
#ifdef __linux__
static bool is_system_view(unsigned long type)
{
	static const unsigned long VIEWS[] = {
	    0x9fa0,     // proc
	    0x62656572, // sysfs
	    0x1cd1,     // devpts
	    0x27e0eb,   // cgroup
	    0x63677270, // cgroup2
	    0x64626720, // debugfs
	    0x74726163, // tracefs
	    0x73636673, // securityfs
	    0x6165676c, // pstore
	    0xcafe4a11, // bpf
	    0x62656570, // configfs
	    0x65735543, // fusectl
	    0x42494e4d, // binfmt_misc
	    0xde5e81e4, // efivarfs
	    0xf97cff8c, // selinuxfs
	    0x43415d53, // smackfs
	    0x19800202, // mqueue
	    0x6e736673, // nsfs
	    0x0187,     // autofs
	};
	for (unsigned long view : VIEWS)
		if (type == view)
			return true;
	return false;
}
#endif

bool inspect_folder(const open_folder *folder, folder_facts *facts)
{
	struct stat st;
	if (fstat(folder->fd, &st) != 0)
		return false;
	facts->volume = static_cast<std::uint64_t>(st.st_dev);
	facts->system_view = false;
#ifdef __linux__
	struct statfs fs;
	if (fstatfs(folder->fd, &fs) != 0)
		return false;
	facts->system_view = is_system_view(static_cast<unsigned long>(fs.f_type) & 0xffffffffUL);
#endif
	return true;
}

bool is_system_root(const char *path)
{
	struct stat st, root;
	return stat(path, &st) == 0 && stat("/", &root) == 0 && st.st_dev == root.st_dev && st.st_ino == root.st_ino;
}
