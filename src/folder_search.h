// A folder searched to any depth for archives and loose dictionaries.
#ifndef TXD_DEPTH_FIX_FOLDER_SEARCH_H
#define TXD_DEPTH_FIX_FOLDER_SEARCH_H

#include "patch_run.h"
#include "report.h"

// Searches the folder at path (a link named here is followed), depth
// first, each folder's names in ascending byte order, a subfolder at its
// own name's place. Inside, links, FIFOs, sockets, devices and files named
// *.bak are passed over unopened; every other file is read for its first
// four bytes, and handled when they say VER2 (an archive) or a texture
// dictionary under a name with the txd extension (a loose dictionary).
void search_folder(report &r, const char *path, const run_options &options);

#endif
