// The benchmark trees' random numbers: the same figures on every host and
// library, unlike <random>'s distributions.
#ifndef TXD_DEPTH_FIX_BENCH_RNG_H
#define TXD_DEPTH_FIX_BENCH_RNG_H

#include <cstdint>

struct rng {
	std::uint64_t state;
	std::uint64_t next()
	{
		state ^= state << 13;
		state ^= state >> 7;
		state ^= state << 17;
		return state;
	}
	std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
};

#endif
