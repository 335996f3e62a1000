// Terminals on POSIX; consoles are Windows' alone.
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "platform/console_access.h"

bool is_terminal(std::FILE *f)
{
	int fd = fileno(f); // -1 for a stream in memory
	return fd >= 0 && isatty(fd) != 0;
}

bool open_standard_descriptors()
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
			return false;
	return true;
}

bool reader_gone(std::FILE *, int err)
{
	return err == EPIPE;
}

bool is_console(std::FILE *)
{
	return false;
}

bool write_console(std::FILE *, const char *, std::size_t)
{
	return false;
}

unsigned long console_processes()
{
	return 0;
}

bool standard_input_is_console()
{
	return false;
}

void show_on_console_and_wait(const char *)
{
}
