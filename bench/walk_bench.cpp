// Speed of the walk on dictionaries held in memory: bytes of entry data and
// chunk headers per second. After the first pass the depths are already 16;
// the walk reads the same bytes either way.
#include <benchmark/benchmark.h>

#include "sample_archive.h"
#include "format/texture_patch.h"

namespace {

using sample::bytes;

std::vector<sample::texture> textures(int n, std::uint16_t side)
{
	std::vector<sample::texture> t;
	for (int i = 0; i < n; i++)
		t.push_back({"t" + std::to_string(i), 0x200, 8, side, side});
	return t;
}

void walk(benchmark::State &state, bytes buffer, std::int64_t chunks)
{
	for (auto _ : state)
		benchmark::DoNotOptimize(patch_texture_depths(buffer.data(), buffer.size()));
	state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
	state.counters["chunks"] = benchmark::Counter(static_cast<double>(state.iterations() * chunks),
	                                              benchmark::Counter::kIsRate);
}

// A dictionary visits its own header, struct, each texture and extension.
void ManySmallTextures(benchmark::State &state)
{
	walk(state, sample::texture_dictionary(textures(4000, 8)), 4000 + 3);
}

void FewLargeTextures(benchmark::State &state)
{
	walk(state, sample::texture_dictionary(textures(4, 512)), 4 + 3);
}

void TypicalDictionary(benchmark::State &state)
{
	walk(state, sample::texture_dictionary(textures(40, 64)), 40 + 3);
}

void DeepNesting(benchmark::State &state)
{
	const int depth = 10000;
	bytes b = sample::texture_dictionary(textures(10, 16));
	for (int i = 0; i < depth; i++)
		b = sample::chunk(0x16, b);
	walk(state, b, depth + 10 + 3);
}

} // namespace

BENCHMARK(ManySmallTextures);
BENCHMARK(FewLargeTextures);
BENCHMARK(TypicalDictionary);
BENCHMARK(DeepNesting);
BENCHMARK_MAIN();
