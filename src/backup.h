// The copy of a file that -b makes beside it before its first write.
#ifndef TXD_DEPTH_FIX_BACKUP_H
#define TXD_DEPTH_FIX_BACKUP_H

#include <cstdio>

#include "file_access.h"
#include "report.h"

// Copies the whole of f, the file at where, to the name with ".bak" after
// it. An existing backup is never replaced, and a copy that fails is
// removed: false then, with the problem reported, naming the backup.
bool make_backup(report &r, place where, std::FILE *f);

#endif
