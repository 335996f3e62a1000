#include "folder_search.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_access.h"
#include "texture_patch.h"

#ifdef _WIN32
static const char SEPARATOR = '\\';
#else
static const char SEPARATOR = '/';
#endif


// One folder of the path in hand: its names, the next one to visit, and
// where its own path ends.
struct level {
	folder_listing listing;
	std::size_t next;
	std::size_t path_length;
};

// The whole search: the open folders, innermost last, and the path of the
// name in hand. Memory: one listing per level.
struct search {
	report &r;
	const run_options &options;
	level *levels;
	std::size_t depth, room;
	char *path;
	std::size_t path_room;
};

static int by_name(const void *a, const void *b)
{
	return std::strcmp(static_cast<const folder_entry *>(a)->name, static_cast<const folder_entry *>(b)->name);
}

static bool ends_in_separator(const char *path, std::size_t n)
{
	return n > 0 && (path[n - 1] == SEPARATOR || path[n - 1] == '/');
}

// Backups of this tool and others': names that end in ".bak", in any
// letter case.
static bool is_backup_name(const char *name)
{
	std::size_t n = std::strlen(name);
	const unsigned char *end = reinterpret_cast<const unsigned char *>(name + n);
	return n >= 4 && end[-4] == '.' && ascii_lower(end[-3]) == 'b' && ascii_lower(end[-2]) == 'a' &&
	       ascii_lower(end[-1]) == 'k';
}

// Sets the path in hand to the folder's path at length, a separator unless
// it ends in one, and name.
static bool set_path(search &s, std::size_t length, const char *name)
{
	bool separate = !ends_in_separator(s.path, length);
	std::size_t n = std::strlen(name), need = length + separate + n + 1;
	if (need > s.path_room) {
		char *grown = static_cast<char *>(std::realloc(s.path, 2 * need));
		if (grown == nullptr)
			return false;
		s.path = grown;
		s.path_room = 2 * need;
	}
	if (separate)
		s.path[length++] = SEPARATOR;
	std::memcpy(s.path + length, name, n + 1);
	return true;
}

// Lists the folder at where and makes it the innermost level, its path
// being the path in hand. A folder that has gone, or turned into a link,
// is passed over.
static void enter_folder(search &s, place where, bool follow)
{
	folder_listing listing;
	if (!list_folder(where, follow, &listing)) {
		if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR)
			print_problem(s.r, s.path, nullptr, "cannot list the folder", errno);
		return;
	}
	if (s.depth == s.room) {
		std::size_t room = s.room > 0 ? 2 * s.room : 16;
		level *grown = static_cast<level *>(std::realloc(s.levels, room * sizeof(level)));
		if (grown == nullptr) {
			release_listing(&listing);
			print_problem(s.r, s.path, nullptr, "not enough memory to search the folder", 0);
			return;
		}
		s.levels = grown;
		s.room = room;
	}
	std::qsort(listing.entries, listing.count, sizeof(folder_entry), by_name);
	s.levels[s.depth++] = {listing, 0, std::strlen(s.path)};
}

// Reads a found file's first bytes and hands it on when they say it is
// an archive or a loose dictionary; passes over anything else unwritten.
// What the folder says is trusted: a file is looked at again only when it
// is to be handled.
static void visit_file(search &s, place where, const char *name)
{
	unsigned char head[4];
	std::size_t got;
	if (!read_first_bytes(where, head, sizeof head, &got)) {
		if (errno != ENOENT && errno != ELOOP)
			print_problem(s.r, s.path, nullptr, std::strerror(errno), 0);
		return;
	}
	bool archive = got == sizeof head && get32le(head) == VER2_MAGIC;
	bool loose = got == sizeof head && get32le(head) == CHUNK_TEXTURE_DICTIONARY && has_txd_extension(name);
	if (archive || loose)
		fix_found_file(s.r, where, s.path, archive ? s.path : nullptr, loose, s.options);
}

// Visits the next name of the innermost folder, or leaves the folder.
static void step(search &s)
{
	level &top = s.levels[s.depth - 1];
	if (top.next == top.listing.count) {
		release_listing(&top.listing);
		s.depth--;
		return;
	}
	const folder_entry &e = top.listing.entries[top.next++];
	if (e.kind == ENTRY_OTHER || (e.kind == ENTRY_FILE && is_backup_name(e.name)))
		return;
	if (!set_path(s, top.path_length, e.name)) {
		print_problem(s.r, s.path, nullptr, "not enough memory for the path", 0);
		return;
	}
	place where = place_in(top.listing, e.name, s.path);
	if (e.kind == ENTRY_FOLDER)
		enter_folder(s, where, false);
	else
		visit_file(s, where, e.name);
}

void search_folder(report &r, const char *path, const run_options &options)
{
	search s = {r, options, nullptr, 0, 0, nullptr, 0};
	std::size_t n = std::strlen(path);
	s.path = static_cast<char *>(std::malloc(n + 1));
	if (s.path == nullptr) {
		print_problem(r, path, nullptr, "not enough memory for the path", 0);
		return;
	}
	std::memcpy(s.path, path, n + 1);
	s.path_room = n + 1;
	enter_folder(s, {PLACE_CWD, path}, true);
	while (s.depth > 0)
		step(s);
	std::free(s.levels);
	std::free(s.path);
}
