// The walk on arbitrary bytes: only qualifying depths change, the count
// matches the changes, and a second walk has nothing left to do.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "invariant.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string why = invariant::walk_violation(invariant::bytes(data, data + size));
	if (!why.empty()) {
		std::fprintf(stderr, "walk invariant broken: %s\n", why.c_str());
		std::abort();
	}
	return 0;
}
