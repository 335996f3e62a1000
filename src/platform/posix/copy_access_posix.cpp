// Copies made beside a file on POSIX: created where no other run can reach
// them (a file without a name where the system has them), given the file's
// owner, mode bits and access list, named without ever replacing a name;
// and whether a copy another user could have written is to be trusted.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/file_access.h"
#include "platform/posix/posix_access.h"

#ifdef __linux__
static const char ACCESS_LIST[] = "system.posix_acl_access";

static bool has_access_list(int fd)
{
	return fgetxattr(fd, ACCESS_LIST, nullptr, 0) >= 0;
}

// A folder's default list would otherwise stay on the copy. A file system
// that refuses to remove a list it does not keep is no obstacle.
static bool remove_access_list(int fd)
{
	return fremovexattr(fd, ACCESS_LIST) == 0 || errno == ENODATA || !has_access_list(fd);
}

// The copy's access list is exactly the file's: a POSIX ACL goes with the
// mode bits, and without it the copy could be read by someone the list
// keeps from the file.
static bool same_access_list(int a, int b)
{
	char list[2][1024];
	ssize_t n = fgetxattr(a, ACCESS_LIST, list[0], sizeof list[0]), m = fgetxattr(b, ACCESS_LIST, list[1], sizeof list[1]);
	return n >= 0 && n == m && std::memcmp(list[0], list[1], static_cast<std::size_t>(n)) == 0;
}

static bool copy_access_list(int from, int to)
{
	ssize_t n = fgetxattr(from, ACCESS_LIST, nullptr, 0);
	char *list = n >= 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(n) + 1)) : nullptr;
	ssize_t got = list != nullptr ? fgetxattr(from, ACCESS_LIST, list, static_cast<std::size_t>(n)) : -1;
	bool copied = got >= 0 && fsetxattr(to, ACCESS_LIST, list, static_cast<std::size_t>(got), 0) == 0;
	if (n >= 0 && list == nullptr)
		errno = ENOMEM;
	std::free(list);
	return copied;
}
#else
static bool has_access_list(int)
{
	return false;
}

static bool remove_access_list(int)
{
	return true;
}

static bool copy_access_list(int, int)
{
	return true;
}

static bool same_access_list(int, int)
{
	return true;
}
#endif

// With an access list, the group's mode bits are its mask: a list lets
// anyone named in it write only when they say so. So a copy whose group
// may write is trusted only when neither has a list, or both the same: a
// file's group bits that are a mask say nothing of what its group may do.
bool others_could_write(io_handle copy, io_handle file)
{
	struct stat c, f;
	if (fstat(descriptor(copy), &c) != 0 || fstat(descriptor(file), &f) != 0)
		return true;
	bool owner = c.st_uid == f.st_uid || c.st_uid == geteuid();
	bool group = (c.st_mode & S_IWGRP) == 0 || ((f.st_mode & S_IWGRP) != 0 && c.st_gid == f.st_gid);
	bool others = (c.st_mode & S_IWOTH) == 0 || (f.st_mode & S_IWOTH) != 0;
	bool lists = has_access_list(descriptor(copy)) || has_access_list(descriptor(file));
	bool list = (c.st_mode & S_IWGRP) == 0 || !lists || same_access_list(descriptor(copy), descriptor(file));
	return !(owner && group && others && list);
}

// The umask, which narrows a new file's mode bits, read by setting it back
// at once: only the walk's thread ever creates a file.
static mode_t current_umask()
{
	mode_t mask = umask(0);
	umask(mask);
	return mask;
}

// Whether the copy is no more open to anyone than the file already is: its
// owner and group, no mode bit the file lacks, no access list. A file
// system that can change none of them (FUSE exFAT gives every file the same)
// leaves it so.
static bool no_wider(int fd, const struct stat &file)
{
	struct stat copy;
	return fstat(fd, &copy) == 0 && copy.st_uid == file.st_uid && copy.st_gid == file.st_gid &&
	       (copy.st_mode & ~file.st_mode & 07777) == 0 && !has_access_list(fd);
}

// The copy, made readable by its creator alone, takes the file's owner and
// group, then its mode bits as the umask narrows them and its access list,
// exactly: none when the file has none. Where the owner cannot be given,
// only the run's user may read it: the file was readable to that user, so
// nobody gains anything.
static bool restrict_like(int fd, const struct stat &file, int like)
{
	mode_t mask = current_umask();
	bool done;
	if (fchown(fd, file.st_uid, file.st_gid) == 0)
		done = has_access_list(like) ? copy_access_list(like, fd)
		                             : remove_access_list(fd) && fchmod(fd, file.st_mode & 0777 & ~mask) == 0;
	else
		done = remove_access_list(fd) && fchmod(fd, file.st_mode & 0600 & ~mask) == 0;
	return done || no_wider(fd, file);
}

// The name must still be the file looked at when it is taken away. A live
// run keeps its copy locked; and it holds the file the copy is of, which
// this run holds now: where the leftover cannot be opened to be locked,
// that says enough.
static void clear_leftover_copy(place temporary)
{
	int fd = open_at(temporary, O_RDWR, false);
	if (fd < 0 && errno == EACCES)
		fd = open_at(temporary, O_RDONLY, false);
	if (fd < 0)
		return;
	int mode = fcntl(fd, F_GETFL);
	struct stat open_one, named;
	if (fstat(fd, &open_one) == 0 && S_ISREG(open_one.st_mode) && ((mode & O_ACCMODE) != O_RDWR || lock_for_update(fd)) &&
	    fstatat(folder_of(temporary), temporary.name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	    named.st_dev == open_one.st_dev && named.st_ino == open_one.st_ino)
		unlinkat(folder_of(temporary), temporary.name, 0);
	close(fd);
}

// What a file system without unnamed files says to O_TMPFILE; any other
// refusal (no permission, no room) would meet the named copy too.
static bool unnamed_unsupported(int err)
{
	return err == EOPNOTSUPP || err == ENOTSUP || err == EISDIR || err == EINVAL || err == ENOSYS || err == ENOENT;
}

// Where the file system has no unnamed files, under the temporary name,
// locked for as long as the copy is made.
static int create_unnamed_or_temporary(place temporary, bool may_clear, bool *unnamed)
{
	const mode_t own = 0600;
#ifdef O_TMPFILE
	if (temporary.folder != nullptr) {
		int fd = open_retried([&] { return openat(folder_of(temporary), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, own); });
		if ((*unnamed = fd >= 0) || !unnamed_unsupported(errno))
			return fd;
	}
#endif
	*unnamed = false;
	if (may_clear)
		clear_leftover_copy(temporary);
	int fd = open_retried([&] {
		return openat(folder_of(temporary), temporary.name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, own);
	});
	if (fd >= 0 && !lock_for_update(fd)) {
		close_keeping_errno(fd);
		unlinkat(folder_of(temporary), temporary.name, 0);
		return -1;
	}
	return fd;
}

bool create_copy(place temporary, io_handle like, bool may_clear, new_copy *copy)
{
	struct stat file;
	if (fstat(descriptor(like), &file) != 0)
		return false;
	int fd = create_unnamed_or_temporary(temporary, may_clear, &copy->unnamed);
	if (fd < 0)
		return false;
	copy->f = fd;
	if (restrict_like(fd, file, descriptor(like)))
		return true;
	discard_copy(*copy, temporary);
	return false;
}

// An unnamed file is named through its entry in /proc, which any user may
// link; where /proc is missing, by its descriptor, which needs privileges.
static bool link_unnamed(int fd, place final)
{
#ifdef AT_EMPTY_PATH
	char proc_entry[40];
	std::snprintf(proc_entry, sizeof proc_entry, "/proc/self/fd/%d", fd);
	if (linkat(AT_FDCWD, proc_entry, folder_of(final), final.name, AT_SYMLINK_FOLLOW) == 0)
		return true;
	return errno == ENOENT && linkat(fd, "", folder_of(final), final.name, AT_EMPTY_PATH) == 0;
#else
	(void)fd, (void)final;
	errno = ENOTSUP;
	return false;
#endif
}

// What file systems without hard links (FUSE exFAT, vfat, some network
// shares) say to a link, and to a rename told not to replace.
static bool refused_as_unsupported(int err)
{
	return err == EPERM || err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK;
}

// A hard link never replaces a name; then a rename told not to replace;
// where neither is to be had, a plain rename to a name seen free, which
// only a program creating that very name in the same instant could lose.
static bool rename_without_replacing(place temporary, place final)
{
	int from = folder_of(temporary), to = folder_of(final);
	if (linkat(from, temporary.name, to, final.name, 0) == 0)
		return unlinkat(from, temporary.name, 0), true;
	if (!refused_as_unsupported(errno))
		return false;
#ifdef RENAME_NOREPLACE
	if (renameat2(from, temporary.name, to, final.name, RENAME_NOREPLACE) == 0)
		return true;
	if (!refused_as_unsupported(errno))
		return false;
#endif
	name_kind kind = kind_of_name(final);
	if (kind != NAME_FREE) {
		errno = kind == NAME_UNKNOWN ? errno : EEXIST;
		return false;
	}
	return renameat(from, temporary.name, to, final.name) == 0;
}

// A name lives in its folder: until the folder is on the disk too, a power
// cut could take the backup's name and leave the repaired file. Where a
// folder cannot be flushed this way, the file system keeps names otherwise.
static void flush_folder(place where)
{
	int fd = open_retried([&] { return openat(folder_of(where), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
	if (fd >= 0) {
		fsync(fd);
		close(fd);
	}
}

bool name_copy(new_copy &copy, place temporary, place final)
{
	bool named = copy.unnamed ? link_unnamed(descriptor(copy.f), final) : rename_without_replacing(temporary, final);
	if (named)
		flush_folder(final);
	return named;
}

void discard_copy(new_copy &copy, place temporary)
{
	close(descriptor(copy.f));
	if (!copy.unnamed)
		unlinkat(folder_of(temporary), temporary.name, 0);
}
