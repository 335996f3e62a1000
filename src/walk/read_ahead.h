// Helpers that run ahead of a folder search, or of many FILE operands, on
// a cold disk: they list the folders the walk will enter next, open the
// files it will probe next, and ask the system for the bytes the repair
// will read, so that the disk answers many requests at once instead of
// one after another. They never write, never decide and never report:
// the walk opens and checks every file itself, exactly as it would alone.
#ifndef TXD_DEPTH_FIX_READ_AHEAD_H
#define TXD_DEPTH_FIX_READ_AHEAD_H

#include <cstddef>
#include <cstdint>

#include "platform/file_access.h"

struct read_ahead;

// Starts jobs - 1 helpers beside the walk, each opening one file at a time
// and asking for its bytes without waiting for them (on a disk that
// rotates, two at a time, in the order the disk keeps the files); null,
// the walk alone, for jobs of 1 or where no helper can be started. They
// enter the folders the walk will, by its rules (one_file_system as -x).
read_ahead *start_read_ahead(unsigned jobs, bool rotational, bool one_file_system);

// The walk has listed a folder (where the file system keeps it at index,
// 0 where unknown) and will visit its names in this order: they are read
// ahead before those of folders listed earlier, and so are the folders in
// it, until the walk leaves it.
void read_ahead_folder(read_ahead *ra, const folder_listing &listing, std::uint64_t index);
void left_folder(read_ahead *ra, const folder_listing &listing);

// The operands the walk will handle, in order, after any folder listed.
void read_ahead_paths(read_ahead *ra, const char *const *paths, std::size_t count);

// Stops the helpers, waiting for each to finish what it is doing.
void stop_read_ahead(read_ahead *ra);

#endif
