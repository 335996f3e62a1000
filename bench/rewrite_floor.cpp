// The floor for repairing an archive: for every txd entry, exactly one read
// and one write of its whole length at its place, and nothing else. With
// --read, only the reads: the least a run on a clean archive must do.
//   rewrite-floor [--read] ARCHIVE
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "format/little_endian.h"
#include "format/texture_patch.h"

static bool is_txd(const unsigned char *field)
{
	char name[25] = {};
	std::memcpy(name, field, 24);
	const char *dot = std::strrchr(name, '.');
	return dot != nullptr && std::strlen(dot) >= 4 && (dot[1] | 32) == 't' && (dot[2] | 32) == 'x' &&
	       (dot[3] | 32) == 'd';
}

int main(int argc, char *argv[])
{
	bool write_back = !(argc == 3 && std::strcmp(argv[1], "--read") == 0);
	int fd = argc == 2 || !write_back ? open(argv[argc - 1], O_RDWR) : -1;
	unsigned char header[8];
	if (fd < 0 || pread(fd, header, 8, 0) != 8)
		return 1;
	std::size_t count = get32le(header + 4);
	std::vector<unsigned char> dir(count * 32);
	if (pread(fd, dir.data(), dir.size(), 8) != static_cast<ssize_t>(dir.size()))
		return 1;
	std::vector<unsigned char> buf; // one buffer for all: the floor pays no allocation
	for (std::size_t i = 0; i < count; i++) {
		const unsigned char *rec = &dir[i * 32];
		if (!is_txd(rec + 8))
			continue;
		off_t at = static_cast<off_t>(get32le(rec)) * 2048;
		std::size_t length = std::size_t{get32le(rec + 4)} * 2048;
		if (buf.size() < length)
			buf.resize(length);
		if (pread(fd, buf.data(), length, at) != static_cast<ssize_t>(length) ||
		    (write_back && pwrite(fd, buf.data(), length, at) != static_cast<ssize_t>(length)))
			return 1;
	}
	return close(fd) == 0 ? 0 : 1;
}
