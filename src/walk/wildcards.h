// Wildcards as Windows programs expand them themselves: an operand whose
// last name holds '*' or '?' stands for the names of its folder that the
// pattern matches.
#ifndef TXD_DEPTH_FIX_WILDCARDS_H
#define TXD_DEPTH_FIX_WILDCARDS_H

#include <cstddef>

// Whether name matches pattern: '*' any run of characters, '?' one UTF-16
// unit (a character, or half of one past U+FFFF), letters in either case as
// the system folds them; "*.*" matches every name, and a '.' that ends the
// pattern only names without one.
bool matches_pattern(const char *name, const char *pattern);

// Operands in memory of their own, and for each whether it is a pattern
// that matched only names a folder search passes over.
struct operand_path {
	char *path;
	bool only_passed_over;
};
struct path_list {
	operand_path *items;
	std::size_t count, room;
};

// Appends the paths operand stands for: the names of its folder that its
// last name matches, joined to the folder as written, in the order a folder
// search takes them, links, devices and files named *.bak passed over as
// there; or operand itself when its last name holds no wildcard, its
// folder cannot be listed, or no name matches (marked when all that
// matched was passed over). False when memory runs out.
bool expand_operand(const char *operand, path_list &list);

// Appends operand as it is; false when memory runs out.
bool add_operand(const char *operand, path_list &list);
void release_paths(path_list &list);

#endif
