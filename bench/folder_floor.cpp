// The floor of a folder run: what any program must do to repair a tree.
//   folder-floor ROOT
// Walks it in name order without following links, opens every regular
// file and reads its first four bytes; of an archive, reads the header and
// directory and each txd entry once; of a loose dictionary, the whole file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format/little_endian.h"

namespace {

std::vector<unsigned char> buffer;

bool read_at(int fd, std::size_t n, off_t at)
{
	if (buffer.size() < n)
		buffer.resize(n);
	return pread(fd, buffer.data(), n, at) >= 0;
}

bool txd_named(const char *name)
{
	const char *dot = std::strrchr(name, '.');
	return dot != nullptr && (dot[1] | 0x20) == 't' && (dot[2] | 0x20) == 'x' && (dot[3] | 0x20) == 'd';
}

void read_archive(int fd)
{
	unsigned char head[8];
	if (pread(fd, head, 8, 0) != 8)
		return;
	std::uint32_t count = get32le(head + 4);
	std::vector<unsigned char> dir(std::size_t{count} * 32);
	if (pread(fd, dir.data(), dir.size(), 8) != static_cast<ssize_t>(dir.size()))
		return;
	for (std::uint32_t i = 0; i < count; i++) {
		char name[25] = {};
		std::memcpy(name, &dir[i * 32 + 8], 24);
		if (txd_named(name))
			read_at(fd, std::size_t{get32le(&dir[i * 32 + 4])} * 2048, off_t(get32le(&dir[i * 32])) * 2048);
	}
}

void visit(int folder, const char *name)
{
	int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW);
	unsigned char head[4];
	if (fd < 0)
		return;
	if (read(fd, head, 4) == 4) {
		if (get32le(head) == 0x32524556)
			read_archive(fd);
		else if (get32le(head) == 0x16 && txd_named(name)) {
			struct stat st;
			if (fstat(fd, &st) == 0)
				read_at(fd, std::size_t(st.st_size), 0);
		}
	}
	close(fd);
}

void walk(int parent, const char *path)
{
	int folder = openat(parent, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
	DIR *d = folder >= 0 ? fdopendir(dup(folder)) : nullptr;
	if (d == nullptr)
		return;
	std::vector<std::pair<std::string, unsigned char>> names;
	while (dirent *e = readdir(d))
		if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
			names.push_back({e->d_name, e->d_type});
	closedir(d);
	std::sort(names.begin(), names.end());
	for (const auto &[name, type] : names) {
		if (type == DT_DIR)
			walk(folder, name.c_str());
		else if (type == DT_REG)
			visit(folder, name.c_str());
	}
	close(folder);
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 2) {
		std::fputs("usage: folder-floor ROOT\n", stderr);
		return 2;
	}
	walk(AT_FDCWD, argv[1]);
	return 0;
}
