// The copy -b makes of a file beside it: numbered names, made where no
// other run can reach it, named only when whole, never replacing anything.
#include "ops/backup.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>


static const int LAST_NUMBER = LAST_BACKUP_NUMBER;
// The first no longer than ".bak", so that every name whose backup's name
// is legal has a legal temporary name too; the others for when a copy a
// stopped run left, which this run may not clear, stands in the way.
static const char TEMPORARY[] = ".ba~";
static const int LAST_TEMPORARY = 9;
static const std::size_t SUFFIX_ROOM = 16; // ".bak.N" and ".N.bak" for any positive int N

// Copies from, from its start to its end, to to; false with the reason in
// err.
static bool copy_whole_file(io_handle from, io_handle to, int *err)
{
	const std::size_t chunk = 1 << 20;
	unsigned char *buffer = static_cast<unsigned char *>(std::malloc(chunk));
	*err = ENOMEM;
	io_result got = buffer != nullptr ? IO_WHOLE : IO_FAILED;
	std::size_t n = 0, put = 0;
	for (std::uint64_t at = 0; got == IO_WHOLE; at += n) {
		got = read_at(from, at, buffer, chunk, &n);
		if (got != IO_FAILED && write_at(to, at, buffer, n, &put) != IO_WHOLE)
			got = IO_FAILED;
		if (got == IO_FAILED)
			*err = errno;
	}
	std::free(buffer);
	return got == IO_SHORT;
}

// The names of one backup: the file's name and path with room for a
// suffix, and the temporary name the copy is made under where it needs one.
struct backup_names {
	const open_folder *folder;
	char *name, *shown, *temporary;
	std::size_t name_length, shown_length; // the file's own
	int turn;                              // of the temporary names, from 1
};

// The path a file's backups are shown by.
static const char *shown_by(place where)
{
	return where.beside != nullptr ? where.beside : where.shown;
}

static char *with_room(const char *text, std::size_t *length)
{
	*length = std::strlen(text);
	char *copy = static_cast<char *>(std::malloc(*length + SUFFIX_ROOM));
	if (copy != nullptr)
		std::memcpy(copy, text, *length + 1);
	return copy;
}

// The file's name with suffix after it, and its path as shown.
static place suffixed(backup_names &b, const char *suffix)
{
	std::strcpy(b.name + b.name_length, suffix);
	std::strcpy(b.shown + b.shown_length, suffix);
	return {b.folder, b.name, b.shown};
}

// PATH.bak for number 1, PATH.bak.N after it: names that no other file's
// backup can have, since no suffix is the end of another.
static place numbered(backup_names &b, int number)
{
	char suffix[SUFFIX_ROOM] = ".bak";
	if (number > 1)
		std::snprintf(suffix, sizeof suffix, ".bak.%d", number);
	return suffixed(b, suffix);
}

// How earlier versions named a backup after the first: PATH.N.bak, which
// is also the first backup of a file PATH.N.
static place numbered_before(backup_names &b, int number)
{
	char suffix[SUFFIX_ROOM];
	std::snprintf(suffix, sizeof suffix, ".%d.bak", number);
	return suffixed(b, suffix);
}

// Whether PATH.N.bak can be PATH's backup: no file PATH.N stands beside it,
// whose first backup it would be.
static bool earlier_name_is_ours(backup_names &b, int number)
{
	char suffix[SUFFIX_ROOM];
	std::snprintf(suffix, sizeof suffix, ".%d", number);
	return kind_of_name(suffixed(b, suffix)) == NAME_FREE;
}

// The temporary name of this turn: PATH.ba~, then PATH.ba~2 on.
static place temporary_of(backup_names &b)
{
	char suffix[SUFFIX_ROOM] = ".ba~";
	if (b.turn > 1)
		std::snprintf(suffix, sizeof suffix, ".ba~%d", b.turn);
	std::strcpy(b.temporary + b.name_length, suffix);
	return {b.folder, b.temporary, b.temporary};
}

// The first number from from on whose name is free; 0, with why in err,
// when none is or a name cannot be looked at.
static int first_free(backup_names &b, int from, int *err)
{
	for (int number = from; number <= LAST_NUMBER; number++) {
		name_kind kind = kind_of_name(numbered(b, number));
		if (kind == NAME_FREE)
			return number;
		if (kind == NAME_UNKNOWN)
			return *err = errno, 0;
	}
	*err = EEXIST;
	return 0;
}

// What stands under the name of backup number: one named as now, or
// (earlier set) as earlier versions named it, where that is ours.
static name_kind backup_kind(backup_names &b, int number, bool *earlier)
{
	*earlier = false;
	name_kind kind = kind_of_name(numbered(b, number));
	if (kind != NAME_FREE || number == 1 || !earlier_name_is_ours(b, number))
		return kind;
	kind = kind_of_name(numbered_before(b, number));
	*earlier = kind == NAME_FILE || kind == NAME_OTHER;
	return kind;
}

// The number of the newest backup, the highest one taken (0 when none is,
// and whether it is a regular file and named as earlier versions did); -1,
// with why in err, when a name cannot be looked at. A name too long for the
// folder is none.
static int newest_number(backup_names &b, bool *regular, bool *earlier, int *err, int below = LAST_NUMBER + 1)
{
	for (int number = below - 1; number >= 1; number--) {
		name_kind kind = backup_kind(b, number, earlier);
		if (kind == NAME_FILE || kind == NAME_OTHER)
			return *regular = kind == NAME_FILE, number;
		if (kind == NAME_UNKNOWN && errno != ENAMETOOLONG)
			return *err = errno, -1;
	}
	return 0;
}

// A new backup takes the number after the newest, so that the highest is
// always the newest, even when older ones were taken away; 0, with why in
// err, past the last number or when its name is not one the folder takes.
static int next_number(backup_names &b, int *err)
{
	bool regular, earlier;
	int newest = newest_number(b, &regular, &earlier, err);
	if (newest < 0 || newest == LAST_NUMBER)
		return newest < 0 ? 0 : (*err = EEXIST, 0);
	if (kind_of_name(numbered(b, newest + 1)) == NAME_UNKNOWN)
		return *err = errno, 0;
	return newest + 1;
}

// Makes the copy whole and on the disk, with the times when given; false
// with why in err.
static bool fill_copy(io_handle from, new_copy &copy, const file_times *times, int *err)
{
	if (!copy_whole_file(from, copy.f, err))
		return false;
	if (!flush_to_disk(copy.f) || (times != nullptr && !set_file_times(copy.f, *times)))
		return *err = errno, false;
	return true;
}

// Gives the copy the first free name from number on, never replacing one
// taken meanwhile; the number given, or 0 with why in err.
static int give_number(backup_names &b, new_copy &copy, int number, int *err)
{
	while (number != 0) {
		if (name_copy(copy, temporary_of(b), numbered(b, number)))
			return number;
		*err = errno;
		number = errno == EEXIST ? first_free(b, number + 1, err) : 0;
	}
	return 0;
}

// Whether the file at where holds the first bytes of f, and no more: what
// a copy that was cut short holds.
static bool holds_a_start_of(place where, io_handle f)
{
	const std::size_t chunk = 1 << 16;
	io_handle cut = open_file(where, false);
	file_facts facts, whole;
	unsigned char *mine = static_cast<unsigned char *>(std::malloc(2 * chunk));
	unsigned char *theirs = mine != nullptr ? mine + chunk : nullptr;
	bool same = cut != NO_HANDLE && mine != nullptr && inspect_file(cut, &facts) && inspect_file(f, &whole) &&
	            facts.regular && facts.size <= whole.size;
	for (std::uint64_t at = 0; same && at < facts.size; at += chunk) {
		std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, facts.size - at)), a = 0, b = 0;
		same = read_at(cut, at, mine, n, &a) == IO_WHOLE && read_at(f, at, theirs, n, &b) == IO_WHOLE &&
		       std::memcmp(mine, theirs, n) == 0;
	}
	if (cut != NO_HANDLE)
		close_file(cut);
	std::free(mine);
	return same;
}

// A file under the temporary name is taken for a copy a stopped run left
// only when it holds the first bytes of the file, and no file PATH.ba
// stands beside it, whose editor's backup it could be: anything else there
// is not this tool's to remove.
static bool may_clear_leftover(backup_names &b, io_handle f)
{
	return kind_of_name(temporary_of(b)) == NAME_FILE && kind_of_name(suffixed(b, ".ba")) == NAME_FREE &&
	       holds_a_start_of(temporary_of(b), f);
}

// Creates the copy under the first temporary name that is free or may be
// cleared: a copy a stopped run left that this one cannot tell for its own
// never blocks a backup. False with errno set (EEXIST when every name is
// taken).
static bool create_in_turn(backup_names &b, io_handle f, new_copy &copy)
{
	for (b.turn = 1; b.turn <= LAST_TEMPORARY; b.turn++) {
		if (create_copy(temporary_of(b), f, may_clear_leftover(b, f), &copy))
			return true;
		if (errno != EEXIST)
			return false;
	}
	b.turn = 1;
	errno = EEXIST;
	return false;
}

// Numbers the copy once it is whole. A copy that cannot be made or filled
// is named by the backup it was to be, the number wanted, or by the
// temporary name when files there are in the way.
static int copy_and_number(backup_names &b, io_handle f, const file_times *times, int *err)
{
	int wanted = next_number(b, err);
	new_copy copy = {NO_HANDLE, false};
	if (wanted == 0)
		return 0;
	if (!create_in_turn(b, f, copy)) {
		*err = errno;
		if (*err == EEXIST) // what stands in the way is what to name
			suffixed(b, TEMPORARY);
		else
			numbered(b, wanted);
		return 0;
	}
	if (!fill_copy(f, copy, times, err)) {
		discard_copy(copy, temporary_of(b));
		numbered(b, wanted);
		return 0;
	}
	int number = give_number(b, copy, wanted, err);
	if (number == 0)
		discard_copy(copy, temporary_of(b));
	else
		close_file(copy.f); // on the disk already
	return number;
}

backup_made make_backup(place where, io_handle f, const file_times *times)
{
	backup_names b = {where.folder, nullptr, nullptr, nullptr, 0, 0, 1};
	std::size_t length;
	b.name = with_room(where.name, &b.name_length);
	b.shown = with_room(shown_by(where), &b.shown_length);
	b.temporary = with_room(where.name, &length);
	backup_made made = {0, nullptr, ENOMEM};
	if (b.name != nullptr && b.shown != nullptr && b.temporary != nullptr) {
		made.number = copy_and_number(b, f, times, &made.err);
		made.shown = b.shown;
	} else
		std::free(b.shown);
	std::free(b.name);
	std::free(b.temporary);
	return made;
}

backup_name newest_backup_of(place where)
{
	return backup_before(where, LAST_NUMBER + 1);
}

backup_name backup_before(place where, int below)
{
	backup_names b = {where.folder, nullptr, nullptr, nullptr, 0, 0, 1};
	b.name = with_room(where.name, &b.name_length);
	b.shown = with_room(shown_by(where), &b.shown_length);
	backup_name newest = {0, false, b.name, b.shown};
	int err = 0;
	bool earlier = false;
	if (b.name == nullptr || b.shown == nullptr)
		return release_backup_name(newest), newest;
	newest.number = std::max(newest_number(b, &newest.regular, &earlier, &err, below), 0);
	if (newest.number > 0 && earlier)
		numbered_before(b, newest.number);
	else if (newest.number > 0)
		numbered(b, newest.number);
	return newest;
}

void release_backup_name(backup_name &b)
{
	std::free(b.name);
	std::free(b.shown);
	b.name = b.shown = nullptr;
}

void release_backup(backup_made &b)
{
	std::free(b.shown);
	b.shown = nullptr;
}
