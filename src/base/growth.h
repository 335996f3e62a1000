// Room for arrays that grow as they fill: one rule, checked against
// overflow once, for every list the tool builds.
#ifndef TXD_DEPTH_FIX_GROWTH_H
#define TXD_DEPTH_FIX_GROWTH_H

#include <cstddef>

// Makes *block, of *room units of unit bytes, hold at least need units:
// from 16 units, doubled until it does. False, changing nothing, when the
// bytes cannot be counted in a size_t or memory is short (errno ENOMEM).
bool grow_block(void **block, std::size_t *room, std::size_t need, std::size_t unit);

template <class T> bool grow(T *&block, std::size_t &room, std::size_t need)
{
	void *p = block;
	bool grown = grow_block(&p, &room, need, sizeof(T));
	block = static_cast<T *>(p);
	return grown;
}

#endif
