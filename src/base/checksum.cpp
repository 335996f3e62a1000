// XXH64: four lanes over 32-byte stripes, then the tail, then a final
// avalanche. Loads are little-endian whatever the host.
#include "base/checksum.h"

static const std::uint64_t P1 = 0x9E3779B185EBCA87ULL, P2 = 0xC2B2AE3D27D4EB4FULL, P3 = 0x165667B19E3779F9ULL,
                           P4 = 0x85EBCA77C2B2AE63ULL, P5 = 0x27D4EB2F165667C5ULL;

static std::uint64_t rotl(std::uint64_t x, int r)
{
	return x << r | x >> (64 - r);
}

static std::uint64_t get64(const unsigned char *p)
{
	std::uint64_t v = 0;
	for (int i = 7; i >= 0; i--)
		v = v << 8 | p[i];
	return v;
}

static std::uint64_t get32(const unsigned char *p)
{
	return static_cast<std::uint64_t>(p[0]) | static_cast<std::uint64_t>(p[1]) << 8 |
	       static_cast<std::uint64_t>(p[2]) << 16 | static_cast<std::uint64_t>(p[3]) << 24;
}

static std::uint64_t lane(std::uint64_t acc, std::uint64_t input)
{
	return rotl(acc + input * P2, 31) * P1;
}

static std::uint64_t merge(std::uint64_t h, std::uint64_t acc)
{
	return (h ^ lane(0, acc)) * P1 + P4;
}

// The four lanes over every whole stripe, folded into one.
static std::uint64_t stripes(const unsigned char *&p, const unsigned char *end)
{
	std::uint64_t v1 = P1 + P2, v2 = P2, v3 = 0, v4 = 0 - P1;
	for (; end - p >= 32; p += 32) {
		v1 = lane(v1, get64(p));
		v2 = lane(v2, get64(p + 8));
		v3 = lane(v3, get64(p + 16));
		v4 = lane(v4, get64(p + 24));
	}
	std::uint64_t h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
	return merge(merge(merge(merge(h, v1), v2), v3), v4);
}

std::uint64_t checksum64(const unsigned char *data, std::size_t n)
{
	const unsigned char *p = data, *end = data + n;
	std::uint64_t h = (n >= 32 ? stripes(p, end) : P5) + n;
	for (; end - p >= 8; p += 8)
		h = rotl(h ^ lane(0, get64(p)), 27) * P1 + P4;
	if (end - p >= 4)
		h = rotl(h ^ get32(p) * P1, 23) * P2 + P3, p += 4;
	for (; p < end; p++)
		h = rotl(h ^ *p * P5, 11) * P1;
	h = (h ^ h >> 33) * P2;
	h = (h ^ h >> 29) * P3;
	return h ^ h >> 32;
}
