// What a run must do, worked out apart from the tool's own code: a walk of
// its own over the chunks, and the run's outcome on a whole archive image.
// Checked against the real run's before-and-after images.
#ifndef TXD_DEPTH_FIX_INVARIANT_H
#define TXD_DEPTH_FIX_INVARIANT_H

#include <cstddef>
#include <string>
#include <vector>

namespace invariant {

using bytes = std::vector<unsigned char>;

// Where in buffer a walk must set a depth to 16, in walk order.
std::vector<std::size_t> reference_repairs(const bytes &buffer);

// What a run on an archive named path that holds before must leave and
// print, when no read, write or allocation fails; with verbose, the
// listing too, or why the file was left alone.
struct outcome {
	bytes image;
	std::string out;
};
outcome reference_run(const bytes &before, bool verbose = false, const std::string &path = "");

// The same for a loose dictionary, named path on the command line.
outcome reference_loose_run(const bytes &before, const std::string &path, bool verbose);

// Walks a copy of buffer twice. Returns why the walk went wrong (a byte
// changed that the reference walk does not repair or the other way round,
// a count that differs from the changes, a second walk that finds more to
// do), or "" when it did right.
std::string walk_violation(const bytes &buffer);

// Returns why after is not what a run on before leaves, or "". A run cut
// short by a failure (whole_run false) may also leave any repair undone.
std::string archive_violation(const bytes &before, const bytes &after, bool whole_run = true);

} // namespace invariant

#endif
