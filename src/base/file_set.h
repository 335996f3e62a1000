// The files a run has met, by identity, so that one file met again under
// another name (a hard link, a folder named twice, a link named as a
// FILE) is handled once.
#ifndef TXD_DEPTH_FIX_FILE_SET_H
#define TXD_DEPTH_FIX_FILE_SET_H

#include <cstddef>
#include <cstdint>

struct seen_file {
	std::uint64_t volume, index;
	char *shown; // null for a free slot
};
struct file_set {
	seen_file *slots;
	std::size_t count, room; // room a power of two, or 0
};

// The path the file was first met by, or null when it was not met before:
// then it is added, shown copied. When memory is short it is not added.
const char *seen_before(file_set &s, std::uint64_t volume, std::uint64_t index, const char *shown);
void release_file_set(file_set &s);

#endif
