// The checksum an undo record keeps of each entry it covers: XXH64 with
// seed 0, a 64-bit checksum with published test vectors, computed here
// byte by byte so that every host gives the same value for the same bytes.
#ifndef TXD_DEPTH_FIX_CHECKSUM_H
#define TXD_DEPTH_FIX_CHECKSUM_H

#include <cstddef>
#include <cstdint>

std::uint64_t checksum64(const unsigned char *data, std::size_t n);

#endif
