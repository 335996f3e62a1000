// Wildcards expanded as Windows programs do it themselves.
#include "walk/wildcards.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/file_access.h"
#include "walk/policy.h"
#include "base/growth.h"

// UTF-8 as the UTF-16 units Windows matches names in, case folded; a
// malformed byte as U+FFFD. Room: one unit a byte.
static std::size_t folded_units(const char *text, char16_t *units)
{
	const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
	std::size_t n = 0;
	while (*s != 0) {
		unsigned lead = *s, length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
		std::uint32_t point = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
		for (unsigned i = 1; i < length; i++)
			length = (s[i] & 0xC0) == 0x80 ? length : 0, point = point << 6 | (s[i] & 0x3F);
		if (length == 0 || point > 0x10FFFF)
			point = 0xFFFD, length = 1;
		s += length;
		if (point >= 0x10000) {
			units[n++] = static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
			units[n++] = static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
		} else
			units[n++] = folded_unit(static_cast<char16_t>(point));
	}
	return n;
}

// A '*' takes as few units as it can; when the rest fails, one more.
static bool units_match(const char16_t *name, std::size_t n, const char16_t *pattern, std::size_t p)
{
	std::size_t at = 0, in = 0, after_star = 0, taken = 0;
	bool star = false;
	while (at < n) {
		if (in < p && pattern[in] == u'*')
			star = true, after_star = ++in, taken = at;
		else if (in < p && (pattern[in] == u'?' || pattern[in] == name[at]))
			in++, at++;
		else if (star)
			in = after_star, at = ++taken;
		else
			return false;
	}
	while (in < p && pattern[in] == u'*')
		in++;
	return in == p;
}

// As Windows matches: "*.*" is every name, a '.' that ends the pattern
// matches only a name without one.
bool matches_pattern(const char *name, const char *pattern)
{
	std::size_t name_n = std::strlen(name), pattern_n = std::strlen(pattern);
	if (std::strcmp(pattern, "*.*") == 0)
		return true;
	bool no_extension = pattern_n > 0 && pattern[pattern_n - 1] == '.';
	char16_t *units = static_cast<char16_t *>(std::malloc((name_n + pattern_n + 1) * sizeof(char16_t)));
	if (units == nullptr)
		return false;
	std::size_t n = folded_units(name, units), p = folded_units(pattern, units + n);
	bool matches = units_match(units, n, units + n, p - no_extension) && !(no_extension && std::strchr(name, '.'));
	std::free(units);
	return matches;
}

static bool add_path(path_list &list, const char *folder, std::size_t folder_length, const char *name,
                     bool only_passed_over = false)
{
	std::size_t n = std::strlen(name);
	char *path = static_cast<char *>(std::malloc(folder_length + n + 1));
	if (path == nullptr || !grow(list.items, list.room, list.count + 1)) {
		std::free(path);
		return false;
	}
	std::memcpy(path, folder, folder_length);
	std::memcpy(path + folder_length, name, n + 1);
	list.items[list.count++] = {path, only_passed_over};
	return true;
}

static bool has_wildcard(const char *text, std::size_t n)
{
	for (std::size_t i = 0; i < n; i++)
		if (text[i] == '*' || text[i] == '?')
			return true;
	return false;
}

bool add_operand(const char *operand, path_list &list)
{
	return add_path(list, "", 0, operand);
}

// The '?' of the long form "\\?\" is no wildcard.
bool expand_operand(const char *operand, path_list &list)
{
	const char *pattern = leaf_name(operand), *folder_start = std::strncmp(operand, "\\\\?\\", 4) == 0 ? operand + 4 : operand;
	std::size_t folder_length = static_cast<std::size_t>(pattern - operand);
	if (!has_wildcard(pattern, std::strlen(pattern)) || has_wildcard(folder_start, static_cast<std::size_t>(pattern - folder_start)))
		return add_operand(operand, list);
	char *folder = static_cast<char *>(std::malloc(folder_length + 2));
	if (folder == nullptr)
		return false;
	std::memcpy(folder, operand, folder_length);
	std::strcpy(folder + folder_length, folder_length > 0 ? "" : ".");
	folder_listing listing;
	bool listed = list_folder({nullptr, folder, folder}, true, &listing), added = true, passed_over = false;
	std::size_t before = list.count;
	if (listed) {
		sort_by_name(listing);
		for (std::size_t i = 0; added && i < listing.count; i++) {
			if (!matches_pattern(listing.entries[i].name, pattern))
				continue;
			if (passed_over_because(listing.entries[i]) != nullptr)
				passed_over = true;
			else
				added = add_path(list, operand, folder_length, listing.entries[i].name);
		}
		release_listing(&listing);
	}
	std::free(folder);
	return added && (list.count > before || add_path(list, "", 0, operand, passed_over));
}

void release_paths(path_list &list)
{
	while (list.count > 0)
		std::free(list.items[--list.count].path);
	std::free(list.items);
}
