// Writes sample archives.
//   make-sample [--clean] OUTPUT   one archive, broken textures unless --clean
//   make-sample --corpus DIR       fuzzing seeds: archives, cut archives,
//                                  bare dictionaries
#include <cstdio>
#include <cstring>
#include <string>

#include "sample_archive.h"

using sample::bytes;
using sample::write_file;

static bytes cut(bytes data, std::size_t length)
{
	data.resize(length);
	return data;
}

static bool write_corpus(const std::string &dir)
{
	bytes broken = sample::archive(sample::mixed_entries(true));
	bytes clean = sample::archive(sample::mixed_entries(false));
	bytes txd = sample::mixed_entries(true)[0].data;
	bytes small = sample::archive({{"a.txd", txd}, {"b.TXD", txd}});
	bool ok = write_file(dir + "/archive-broken", broken) && write_file(dir + "/archive-clean", clean) &&
	          write_file(dir + "/archive-small", small) && write_file(dir + "/txd-broken", txd) &&
	          write_file(dir + "/txd-clean", sample::mixed_entries(false)[0].data) &&
	          write_file(dir + "/txd-odd-names", sample::texture_dictionary({{"a\\b\x01\xe9", 0x100, 4},
	                                                                        {"abcdefghijklmnopqrstuvwxyz012345", 0x200, 8}}));
	for (std::size_t length : {4u, 7u, 40u, 2048u + 100, 2048u + 600})
		ok = ok && write_file(dir + "/archive-cut-" + std::to_string(length), cut(small, length));
	return ok;
}

static const char USAGE[] = "usage: make-sample [--clean] OUTPUT | --corpus DIR\n";

int main(int argc, char *argv[])
{
	if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
		return std::fputs(USAGE, stdout) == EOF ? 1 : 0;
	if (argc == 3 && std::strcmp(argv[1], "--corpus") == 0)
		return write_corpus(argv[2]) ? 0 : 1;
	bool clean = argc == 3 && std::strcmp(argv[1], "--clean") == 0;
	// An output name that looks like an option is a mistyped option.
	if ((argc != 2 && !clean) || argv[argc - 1][0] == '-') {
		std::fputs(USAGE, stderr);
		return 2;
	}
	return write_file(argv[argc - 1], sample::archive(sample::mixed_entries(!clean))) ? 0 : 1;
}
