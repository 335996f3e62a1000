#include "backup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

static const int LAST_NUMBER = 99;
static const std::size_t SUFFIX_ROOM = 16; // ".partial.bak", ".99.bak" and their NUL

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

// The names of one backup: the temporary name it is made under, and a
// numbered name it may be given, as made and as shown.
struct backup_names {
	const open_folder *folder;
	char *temporary, *name, *shown;
	std::size_t name_length, shown_length; // the file's own
};

// text with suffix after it, in memory with room for any other suffix.
static char *with_suffix(const char *text, const char *suffix, std::size_t *length)
{
	*length = std::strlen(text);
	char *name = static_cast<char *>(std::malloc(*length + SUFFIX_ROOM));
	if (name != nullptr)
		std::memcpy(name, text, *length), std::strcpy(name + *length, suffix);
	return name;
}

static place temporary_of(const backup_names &b)
{
	return {b.folder, b.temporary, b.temporary};
}

// PATH.bak for number 1, PATH.N.bak after it.
static place numbered(backup_names &b, int number)
{
	char suffix[SUFFIX_ROOM] = ".bak";
	if (number > 1)
		std::snprintf(suffix, sizeof suffix, ".%d.bak", number);
	std::strcpy(b.name + b.name_length, suffix);
	std::strcpy(b.shown + b.shown_length, suffix);
	return {b.folder, b.name, b.shown};
}

// The first number from from on whose name is free, or 0 when none is.
static int first_free(backup_names &b, int from)
{
	for (int number = from; number <= LAST_NUMBER; number++)
		if (kind_of_name(numbered(b, number)) == NAME_FREE)
			return number;
	return 0;
}

// Copies f whole under the temporary name; false with the reason in err,
// and nothing left behind.
static bool copy_under_temporary(const backup_names &b, std::FILE *f, const file_times *times, int *err)
{
	place temporary = temporary_of(b);
	if (kind_of_name(temporary) == NAME_FILE)
		remove_file(temporary); // a copy that a killed run left half made
	std::FILE *copy = create_new_file(temporary, f);
	if (copy == nullptr) {
		*err = errno;
		return false;
	}
	bool made = copy_whole_file(f, copy, err);
	if (made && !flush_to_disk(copy))
		made = false, *err = errno;
	if (made && times != nullptr && !set_file_times(copy, *times))
		made = false, *err = errno;
	if (std::fclose(copy) != 0 && made)
		made = false, *err = errno;
	if (!made)
		remove_file(temporary);
	return made;
}

// Gives the copy the first free name from number on, never replacing one
// taken meanwhile; the number given, or 0 with the reason in err.
static int give_number(backup_names &b, int number, int *err)
{
	while (number != 0 && !name_new_file(temporary_of(b), numbered(b, number))) {
		*err = errno;
		if (errno != EEXIST)
			break;
		number = number < LAST_NUMBER ? first_free(b, number + 1) : 0;
	}
	if (number == 0 || *err != EEXIST)
		remove_file(temporary_of(b));
	return number;
}

bool make_backup(report &r, place where, std::FILE *f, const file_times *times)
{
	backup_names b = {where.folder, nullptr, nullptr, nullptr, 0, 0};
	std::size_t length;
	b.temporary = with_suffix(where.name, ".partial.bak", &length);
	b.name = with_suffix(where.name, "", &b.name_length);
	b.shown = with_suffix(where.shown, "", &b.shown_length);
	int err = ENOMEM, wanted = 0, number = 0;
	if (b.temporary != nullptr && b.name != nullptr && b.shown != nullptr) {
		wanted = first_free(b, 1);
		err = EEXIST;
		if (wanted != 0 && copy_under_temporary(b, f, times, &err))
			number = give_number(b, wanted, &err);
		numbered(b, wanted != 0 ? wanted : LAST_NUMBER); // the name the problem gives
	}
	if (number == 0)
		print_problem(r, b.shown != nullptr && b.name != nullptr ? b.shown : where.shown, nullptr,
		              "no backup made, so the file is left unchanged", err);
	std::free(b.temporary);
	std::free(b.name);
	std::free(b.shown);
	return number != 0;
}
