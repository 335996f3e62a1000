// What a run may change, checked on before-and-after images: only depth
// bytes of 16-bit texture natives, each from 8 or 4 to 16.
#ifndef TXD_DEPTH_FIX_INVARIANT_H
#define TXD_DEPTH_FIX_INVARIANT_H

#include <string>
#include <vector>

namespace invariant {

using bytes = std::vector<unsigned char>;

// Walks a copy of buffer twice. Returns why the changes break the rules
// (a byte other than a qualifying depth changed, a count that differs from
// the changes, a second walk that finds more to do), or "" when they hold.
std::string walk_violation(const bytes &buffer);

// Returns why after is not a permitted outcome of running the tool on an
// archive that held before, or "" when it is: same length, and every byte
// that differs is a qualifying depth byte inside a selected entry's data.
std::string archive_violation(const bytes &before, const bytes &after);

} // namespace invariant

#endif
