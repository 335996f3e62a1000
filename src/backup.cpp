// The copy -b makes of a file beside it: numbered names, made under a
// temporary name and named only when whole, never replacing anything.
#include "backup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

static const int LAST_NUMBER = 99;
static const char TEMPORARY[] = ".partial.bak";
static const std::size_t SUFFIX_ROOM = 16; // TEMPORARY, or ".N.bak" for any positive int N

// Copies from, from its start, to to; false with the reason in err.
static bool copy_whole_file(std::FILE *from, std::FILE *to, int *err)
{
	const std::size_t chunk = 1 << 20;
	unsigned char *buffer = static_cast<unsigned char *>(std::malloc(chunk));
	bool ok = buffer != nullptr && seek_to(from, 0);
	*err = buffer == nullptr ? ENOMEM : errno;
	while (ok) {
		std::size_t got = std::fread(buffer, 1, chunk, from);
		if (std::ferror(from) || std::fwrite(buffer, 1, got, to) != got)
			ok = false, *err = errno;
		else if (got < chunk)
			break;
	}
	std::clearerr(from);
	std::free(buffer);
	return ok;
}

// The names of one backup: the file's name and path with room for a
// suffix, and the temporary name the copy is made under.
struct backup_names {
	const open_folder *folder;
	char *name, *shown, *temporary;
	std::size_t name_length, shown_length; // the file's own
	int err;                               // why no backup was made
	const char *named;                     // the name to give with it, as shown
};

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

// PATH.bak for number 1, PATH.N.bak after it.
static place numbered(backup_names &b, int number)
{
	char suffix[SUFFIX_ROOM] = ".bak";
	if (number > 1)
		std::snprintf(suffix, sizeof suffix, ".%d.bak", number);
	return suffixed(b, suffix);
}

static place temporary_of(const backup_names &b)
{
	return {b.folder, b.temporary, b.temporary};
}

// Fails the backup with err, naming the name that shown holds now.
static int fail(backup_names &b, int err)
{
	b.err = err;
	b.named = b.shown;
	return 0;
}

// The first number from from on whose name is free; 0 when none is, or a
// name cannot be looked at.
static int first_free(backup_names &b, int from)
{
	for (int number = from; number <= LAST_NUMBER; number++) {
		name_kind kind = kind_of_name(numbered(b, number));
		if (kind == NAME_FREE)
			return number;
		if (kind == NAME_UNKNOWN)
			return fail(b, errno);
	}
	return fail(b, EEXIST);
}

// A copy that a killed run left under the temporary name is cleared, but
// only when that name cannot be the backup of a file beside it.
static void clear_leftover(backup_names &b)
{
	place temporary = temporary_of(b);
	if (kind_of_name(temporary) == NAME_FILE && kind_of_name(suffixed(b, ".partial")) == NAME_FREE)
		remove_file(temporary);
}

// Copies f whole under the temporary name; false, with nothing left
// behind, when it cannot. A copy that fails is named by the backup it was
// to be, the number wanted.
static bool copy_under_temporary(backup_names &b, std::FILE *f, const file_times *times, int wanted)
{
	clear_leftover(b);
	std::FILE *copy = create_new_file(temporary_of(b), f);
	if (copy == nullptr) {
		suffixed(b, TEMPORARY);
		return fail(b, errno);
	}
	int err = 0;
	bool made = copy_whole_file(f, copy, &err);
	if (made && !flush_to_disk(copy))
		made = false, err = errno;
	if (made && times != nullptr && !set_file_times(copy, *times))
		made = false, err = errno;
	if (std::fclose(copy) != 0 && made)
		made = false, err = errno;
	if (made)
		return true;
	remove_file(temporary_of(b));
	numbered(b, wanted);
	return fail(b, err);
}

// Gives the copy the first free name from number on, never replacing one
// taken meanwhile; the number given, or 0 with the copy gone.
static int give_number(backup_names &b, int number)
{
	while (number != 0) {
		if (name_new_file(temporary_of(b), numbered(b, number)))
			return number;
		number = errno == EEXIST ? first_free(b, number + 1) : fail(b, errno);
	}
	remove_file(temporary_of(b));
	return 0;
}

bool make_backup(report &r, place where, std::FILE *f, const file_times *times)
{
	backup_names b = {where.folder, nullptr, nullptr, nullptr, 0, 0, ENOMEM, where.shown};
	std::size_t length;
	b.name = with_room(where.name, &b.name_length);
	b.shown = with_room(where.shown, &b.shown_length);
	b.temporary = with_room(where.name, &length);
	int number = 0;
	if (b.name != nullptr && b.shown != nullptr && b.temporary != nullptr) {
		std::strcpy(b.temporary + length, TEMPORARY);
		int wanted = first_free(b, 1);
		if (wanted != 0 && copy_under_temporary(b, f, times, wanted))
			number = give_number(b, wanted);
	}
	if (number == 0)
		print_problem(r, b.named, nullptr, "no backup made, so the file is left unchanged", b.err);
	std::free(b.name);
	std::free(b.shown);
	std::free(b.temporary);
	return number != 0;
}
