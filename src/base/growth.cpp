// The one rule by which the tool's arrays grow.
#include "base/growth.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

bool grow_block(void **block, std::size_t *room, std::size_t need, std::size_t unit)
{
	if (need <= *room)
		return true;
	std::size_t more = *room > 0 ? *room : 16;
	while (more < need)
		more = more <= SIZE_MAX / 2 ? 2 * more : need;
	void *grown = more <= SIZE_MAX / unit ? std::realloc(*block, more * unit) : nullptr;
	if (grown == nullptr) {
		errno = ENOMEM;
		return false;
	}
	*block = grown;
	*room = more;
	return true;
}
