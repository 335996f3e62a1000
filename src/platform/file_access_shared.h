// What both platforms' file access share: the names of a folder gathered
// as they are read.
#ifndef TXD_DEPTH_FIX_FILE_ACCESS_SHARED_H
#define TXD_DEPTH_FIX_FILE_ACCESS_SHARED_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/file_access.h"

bool is_dot_or_dot_dot(const char *name);

// The names of a folder as they are read: their text back to back, and
// where each starts, until the whole folder is in and pointers can be made.
struct stored_name {
	std::size_t start;
	entry_kind kind;
	std::uint64_t index;
};
struct name_store {
	char *text;
	std::size_t used, room;
	stored_name *names;
	std::size_t count, slots;
};

bool store_name(name_store *s, const char *name, entry_kind kind, std::uint64_t index = 0);
void discard_names(name_store *s);

// Each platform's own: reads every name of a folder open_listed_folder
// opened into s; false with errno set.
bool read_folder_names(const open_folder *folder, name_store *s);

#endif
