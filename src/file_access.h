// The few file operations that differ between POSIX and Windows: opening by
// a UTF-8 path, telling a regular file or a terminal, and 64-bit positions.
#ifndef TXD_DEPTH_FIX_FILE_ACCESS_H
#define TXD_DEPTH_FIX_FILE_ACCESS_H

#include <cstdint>
#include <cstdio>

// Opens path (UTF-8 on every host) as a binary stream for reading, and for
// writing too when update is set; never creates or truncates, and never
// waits for a FIFO's other end. Null with errno set on failure.
std::FILE *open_file(const char *path, bool update);

bool is_regular_file(std::FILE *f);
bool is_terminal(std::FILE *f);

bool seek_to(std::FILE *f, std::uint64_t pos);

// The file's length in bytes; false with errno set when it has none.
bool file_length(std::FILE *f, std::uint64_t *length);

#endif
