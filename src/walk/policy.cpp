// The walk's rules: backups by name, what a search passes over, and how
// an operand is handled.
#include "walk/policy.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "format/archive.h"

// Whether the n bytes before end are ".bak" in any letter case, or ".ba~".
static bool ends_in_backup_suffix(const unsigned char *end, std::size_t n)
{
	return n >= 4 && end[-4] == '.' && ascii_lower(end[-3]) == 'b' && ascii_lower(end[-2]) == 'a' &&
	       (ascii_lower(end[-1]) == 'k' || end[-1] == '~');
}

// How many decimal digits the first n bytes of path end in.
static std::size_t trailing_digits(const char *path, std::size_t n)
{
	std::size_t digits = 0;
	while (digits < n && path[n - 1 - digits] >= '0' && path[n - 1 - digits] <= '9')
		digits++;
	return digits;
}

// "NAME.bak" and "NAME.ba~", and the same followed by a number: backups
// after the first ("NAME.bak.2"), and copies in the making after the first
// ("NAME.ba~2").
bool is_backup_name(const char *name, std::size_t n)
{
	const unsigned char *end = reinterpret_cast<const unsigned char *>(name + n);
	std::size_t digits = trailing_digits(name, n);
	if (digits > 0 && digits < n && name[n - 1 - digits] == '.')
		digits++; // ".bak.2"
	return ends_in_backup_suffix(end, n) || (digits > 0 && ends_in_backup_suffix(end - digits, n - digits));
}

bool is_backup_name(const char *name)
{
	return is_backup_name(name, std::strlen(name));
}

// Whether name ends in suffix, its letters in any case.
static bool ends_in(const char *name, std::size_t n, const char *suffix)
{
	std::size_t m = std::strlen(suffix);
	for (std::size_t i = 0; m <= n && i < m; i++)
		if (ascii_lower(static_cast<unsigned char>(name[n - m + i])) != suffix[i])
			return false;
	return m <= n;
}

static bool is_undo_record_name(const char *name, std::size_t n)
{
	return ends_in(name, n, ".undo") || ends_in(name, n, ".und~");
}

bool is_undo_record_name(const char *name)
{
	return is_undo_record_name(name, std::strlen(name));
}

// Whether name ends in suffix as a restore looks for it: in any letter
// case where the file system folds case (Windows), else as written.
static bool named_as_restored(const char *name, std::size_t n, const char *suffix)
{
	std::size_t m = std::strlen(suffix);
	return WINDOWS_COMMAND_LINE ? ends_in(name, n, suffix) : m <= n && std::strcmp(name + n - m, suffix) == 0;
}

// The length of path without its backup's suffix, or 0 when it has none
// that a restore can use.
static std::size_t without_suffix(const char *path)
{
	std::size_t n = std::strlen(path), digits = trailing_digits(path, n);
	if (named_as_restored(path, n, ".bak") || named_as_restored(path, n, ".undo"))
		return n - (named_as_restored(path, n, ".bak") ? 4 : 5);
	return digits > 0 && named_as_restored(path, n - digits, ".bak.") ? n - digits - 5 : 0;
}

// "a.img.3" of "a.img.3.bak" is the file, where it stands; else "a.img".
static std::size_t earlier_numbered(const char *path, std::size_t n)
{
	std::size_t digits = trailing_digits(path, n);
	if (digits == 0 || digits + 1 >= n || path[n - 1 - digits] != '.')
		return n;
	char *numbered = static_cast<char *>(std::malloc(n + 1));
	if (numbered == nullptr)
		return n;
	std::memcpy(numbered, path, n), numbered[n] = '\0';
	bool stands = kind_of_path(numbered) != PATH_MISSING;
	std::free(numbered);
	return stands ? n : n - digits - 1;
}

char *file_of_backup(const char *path)
{
	std::size_t n = without_suffix(path);
	if (n == 0)
		return nullptr;
	if (named_as_restored(path, std::strlen(path), ".bak"))
		n = earlier_numbered(path, n);
	char *file = static_cast<char *>(std::malloc(n + 1));
	if (file != nullptr)
		std::memcpy(file, path, n), file[n] = '\0';
	return file;
}

const char *passed_over_because(const folder_entry &e)
{
	if (e.kind == ENTRY_LINK)
		return "a link";
	if (e.kind == ENTRY_OTHER)
		return "not a regular file";
	if (e.kind == ENTRY_FILE && is_undo_record_name(e.name))
		return "an undo record";
	return e.kind == ENTRY_FILE && is_backup_name(e.name) ? "a backup" : nullptr;
}

// Why a folder that can be listed is not: nothing in a system view is a
// file of the user's, and reading some of it has effects.
static const char *left_unlisted_because(const folder_facts &facts, const folder_facts *inside, bool one_file_system)
{
	if (facts.system_view)
		return "a system folder";
	return one_file_system && inside != nullptr && facts.volume != inside->volume ? "another file system" : nullptr;
}

bool list_folder_to_enter(place where, bool follow, const folder_facts *inside, bool one_file_system,
                          folder_listing *listing, const char **why)
{
	*why = nullptr;
	open_folder *folder = open_listed_folder(where, follow);
	if (folder == nullptr)
		return false;
	folder_facts facts;
	bool known = inspect_folder(folder, &facts);
	if (known && (*why = left_unlisted_because(facts, inside, one_file_system)) == nullptr) {
		if (!read_listing(folder, listing))
			return false;
		listing->facts = facts;
		return true;
	}
	int err = errno;
	close_folder(folder);
	errno = err;
	return false;
}

// Whatever the path says before the name the system takes from it: on
// Windows "a.bak." and "a.bak::$DATA" open a.bak.
static bool names_a_backup(const char *path)
{
	std::size_t n;
	const char *name = last_name_as_opened(path, &n);
	return is_backup_name(name, n);
}

static bool names_a_record(const char *path)
{
	std::size_t n;
	const char *name = last_name_as_opened(path, &n);
	return is_undo_record_name(name, n);
}

operand_plan plan_operand(const char *operand)
{
	path_kind kind = kind_of_path(operand);
	operand_plan plan = {OPERAND_FILE, kind == PATH_MISSING ? errno : 0, nullptr};
	if (kind == PATH_REGULAR || kind == PATH_OTHER)
		plan.target = link_target(operand);
	if (kind == PATH_FOLDER)
		plan.kind = OPERAND_FOLDER;
	else if (kind == PATH_MISSING)
		plan.kind = OPERAND_MISSING;
	else if (names_a_backup(operand))
		plan.kind = OPERAND_BACKUP;
	else if (names_a_record(operand))
		plan.kind = OPERAND_RECORD;
	else if (plan.target != nullptr && is_backup_name(leaf_name(plan.target)))
		plan.kind = OPERAND_LINK_TO_BACKUP;
	else if (kind != PATH_REGULAR)
		plan.kind = OPERAND_NOT_REGULAR;
	return plan;
}

void release_operand_plan(operand_plan &plan)
{
	std::free(plan.target);
	plan.target = nullptr;
}
