// The copy of a file that -b makes beside it before its first write.
#ifndef TXD_DEPTH_FIX_BACKUP_H
#define TXD_DEPTH_FIX_BACKUP_H

#include <cstdio>

#include "file_access.h"
#include "report.h"

// Copies the whole of f, the file at where, to PATH.bak beside it, or
// when that name is taken to the first free one of PATH.2.bak to
// PATH.99.bak; never more readable than the file, and with times when they
// are given. The copy is made under a name of its own and named only once
// it is whole, so that a run cut short never leaves what looks like a
// backup; such a leftover is cleared by the next backup of the file. False,
// with one problem reported naming the backup, when no backup was made.
bool make_backup(report &r, place where, std::FILE *f, const file_times *times);

#endif
