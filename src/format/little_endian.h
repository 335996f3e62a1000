// Every integer in archives and chunk streams is little-endian, whatever the
// host: built byte by byte, widened before it is shifted.
#ifndef TXD_DEPTH_FIX_LITTLE_ENDIAN_H
#define TXD_DEPTH_FIX_LITTLE_ENDIAN_H

#include <cstdint>

inline std::uint32_t get32le(const unsigned char *p)
{
	return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
	       static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

#endif
