// The walk of a folder to any depth: each regular file found is handed to
// the caller in order, and so is each problem met, as data.
#ifndef TXD_DEPTH_FIX_FOLDER_SEARCH_H
#define TXD_DEPTH_FIX_FOLDER_SEARCH_H

#include <cstddef>

#include "platform/file_access.h"
#include "walk/read_ahead.h"

// A file found; or (passed_over not null) a name the search passes over
// unopened, and why: "a link", "a backup", "not a regular file", or a
// folder left alone: "a system folder", "another file system" (where.folder
// null for the folder the search starts from); or
// (problem not null) what went wrong at where.shown and why (err, or 0
// for no system error). Valid until the next call.
struct found_file {
	place where;
	const char *passed_over;
	const char *problem;
	int err;
};

// One folder of the path in hand: its names, the next one to visit, and
// where its own path ends.
struct search_level {
	folder_listing listing;
	std::size_t next;
	std::size_t path_length;
};

// The whole search: the open folders, innermost last, and the path of the
// name in hand. Memory: one listing per level.
struct search {
	const char *root;
	read_ahead *ahead; // helpers told of each folder listed, or null
	bool one_file_system;
	search_level *levels;
	std::size_t depth, room;
	char *path;
	std::size_t path_room;
	bool started;
};

// Searches the folder at path (a link named here is followed), depth
// first, each folder's names in ascending byte order, a subfolder at its
// own name's place. Inside, links, FIFOs, sockets, devices and files named
// *.bak are handed out as passed over, never opened; a folder that goes or
// turns into a link before it is listed is passed over in silence. The
// helpers of ahead, when not null, read ahead of each folder listed. A
// folder that is a view the system gives of itself is left alone, and with
// one_file_system one on another file system than the folder it is in.
void search_begin(search &s, const char *path, read_ahead *ahead, bool one_file_system);

// The next file or problem; false when the search is over.
bool next_found_file(search &s, found_file &f);

// Releases what the search holds, whether or not it is over.
void search_end(search &s);

#endif
