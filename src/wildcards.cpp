// Wildcards expanded as Windows programs do it themselves.
#include "wildcards.h"

#include <cstdlib>
#include <cstring>

#include "file_access.h"
#include "file_kind.h"
#include "growth.h"

// The bytes of the UTF-8 character that starts at s.
static std::size_t character_length(const char *s)
{
	std::size_t n = 1;
	while ((static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
		n++;
	return n;
}

// A '*' takes as few characters as it can; when the rest fails, one more.
bool matches_pattern(const char *name, const char *pattern)
{
	if (std::strcmp(pattern, "*.*") == 0)
		return true;
	const char *after_star = nullptr, *taken = nullptr;
	while (*name != '\0') {
		if (*pattern == '*') {
			after_star = ++pattern;
			taken = name;
		} else if (*pattern == '?') {
			pattern++;
			name += character_length(name);
		} else if (*pattern != '\0' &&
		           ascii_lower(static_cast<unsigned char>(*pattern)) == ascii_lower(static_cast<unsigned char>(*name))) {
			pattern++;
			name++;
		} else if (after_star != nullptr) {
			pattern = after_star;
			taken += character_length(taken);
			name = taken;
		} else
			return false;
	}
	while (*pattern == '*')
		pattern++;
	return *pattern == '\0';
}

static bool add_path(path_list &list, const char *folder, std::size_t folder_length, const char *name)
{
	std::size_t n = std::strlen(name);
	char *path = static_cast<char *>(std::malloc(folder_length + n + 1));
	if (path == nullptr || !grow(list.paths, list.room, list.count + 1)) {
		std::free(path);
		return false;
	}
	std::memcpy(path, folder, folder_length);
	std::memcpy(path + folder_length, name, n + 1);
	list.paths[list.count++] = path;
	return true;
}

static bool has_wildcard(const char *text, std::size_t n)
{
	for (std::size_t i = 0; i < n; i++)
		if (text[i] == '*' || text[i] == '?')
			return true;
	return false;
}

static bool is_passed_over(const folder_entry &e)
{
	return e.kind == ENTRY_OTHER || (e.kind == ENTRY_FILE && is_backup_name(e.name));
}

bool add_operand(const char *operand, path_list &list)
{
	return add_path(list, "", 0, operand);
}

bool expand_operand(const char *operand, path_list &list)
{
	const char *pattern = leaf_name(operand);
	std::size_t folder_length = static_cast<std::size_t>(pattern - operand);
	if (!has_wildcard(pattern, std::strlen(pattern)) || has_wildcard(operand, folder_length))
		return add_operand(operand, list);
	char *folder = static_cast<char *>(std::malloc(folder_length + 2));
	if (folder == nullptr)
		return false;
	std::memcpy(folder, operand, folder_length);
	std::strcpy(folder + folder_length, folder_length > 0 ? "" : ".");
	folder_listing listing;
	bool listed = list_folder({nullptr, folder, folder}, true, &listing), added = true;
	std::size_t before = list.count;
	if (listed) {
		sort_by_name(listing);
		for (std::size_t i = 0; added && i < listing.count; i++)
			if (!is_passed_over(listing.entries[i]) && matches_pattern(listing.entries[i].name, pattern))
				added = add_path(list, operand, folder_length, listing.entries[i].name);
		release_listing(&listing);
	}
	std::free(folder);
	return added && (list.count > before || add_operand(operand, list));
}

void release_paths(path_list &list)
{
	while (list.count > 0)
		std::free(list.paths[--list.count]);
	std::free(list.paths);
}
