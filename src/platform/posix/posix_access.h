// What the POSIX platform files share: the open folder a descriptor
// stands for, and files opened below folders.
#ifndef TXD_DEPTH_FIX_POSIX_ACCESS_H
#define TXD_DEPTH_FIX_POSIX_ACCESS_H

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "platform/file_access.h"

struct open_folder {
	int fd;
};

inline int folder_of(place where)
{
	return where.folder == nullptr ? AT_FDCWD : where.folder->fd;
}

// Calls open, which returns a descriptor or -1 with errno set, and once
// more when it failed for want of descriptors that others could free.
template <class Open> int open_retried(Open open)
{
	int fd = open();
	if (fd < 0 && descriptors_freed(errno))
		fd = open();
	return fd;
}

// Opening without O_NONBLOCK could wait for ever on a FIFO that has no
// writer; the caller makes sure the file is regular before reading it,
// and on a regular file O_NONBLOCK changes nothing.
inline int open_at(place where, int access, bool follow)
{
	int flags = access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
	return open_retried([&] { return openat(folder_of(where), where.name, flags); });
}

inline int descriptor(io_handle f)
{
	return static_cast<int>(f);
}

// Closes fd, keeping the errno of what went wrong before.
inline void close_keeping_errno(int fd)
{
	int err = errno;
	close(fd);
	errno = err;
}

// One writer at a time, never waited for: a lock of the open file
// description where Linux has it (a classic fcntl lock would be dropped by
// the close of any other descriptor of the file), flock elsewhere. The
// same call in every run, so that they see one another's.
bool lock_for_update(int fd);

#endif
