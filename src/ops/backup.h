// The copy of a file that -b makes beside it before its first write.
#ifndef TXD_DEPTH_FIX_BACKUP_H
#define TXD_DEPTH_FIX_BACKUP_H

#include <cstddef>

#include "platform/file_access.h"

// Backups are numbered 1 (PATH.bak) to this (PATH.bak.99).
constexpr int LAST_BACKUP_NUMBER = 99;

// The name a backup was given, or (number 0) the one it was to have and why
// none was made; shown is the path as printed, in memory of its own.
struct backup_made {
	int number; // 1 for PATH.bak, N for PATH.bak.N
	char *shown;
	int err;
};

// Copies the whole of f, the file at where, which this run holds for
// writing, to PATH.bak beside it, or when that or later names are taken to
// the one after the newest of PATH.bak.2 to PATH.bak.99, so that the
// highest number is always the newest backup; no other file's backup can
// have such a name; never more readable than the file,
// and with times when they are given. The copy is named only once it is
// whole and on the disk, and never replaces anything: a run cut short at
// any point leaves no file under a backup's name that is not one.
backup_made make_backup(place where, io_handle f, const file_times *times);
void release_backup(backup_made &b);

// The newest backup of the file at where: PATH.bak.N of the highest N,
// else PATH.bak; a backup earlier versions named PATH.N.bak counts as N
// where no file PATH.N stands beside it, whose backup it would be. Number 0
// when there is none, or it cannot be told. Whether it is a regular file,
// and its name and path as shown, in memory of their own.
struct backup_name {
	int number;
	bool regular;
	char *name, *shown;
};
backup_name newest_backup_of(place where);

// The same among the backups numbered below below: the one a restore
// looks at after one it found the file a repair of.
backup_name backup_before(place where, int below);
void release_backup_name(backup_name &b);

#endif
