// What the end-to-end tests share: scratch files, running the tool (in
// process, or as a process of its own under limits), the one placeholder
// language of expected texts, sample dictionaries, and the few POSIX calls
// some tests need, which on Windows report that they cannot be made.
#ifndef TXD_DEPTH_FIX_TEST_SUPPORT_H
#define TXD_DEPTH_FIX_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "run_tool.h"
#include "sample_archive.h"

using sample::bytes;

struct run_result : run_output {
	bytes after; // the file's bytes after the run
};

// A path for this test alone, below the test's temporary folder.
std::string scratch_path(const std::string &leaf);

// Paths are UTF-8 on every host, as the tool takes them.
bytes read_file(const std::string &path);
void write_file(const std::string &path, const bytes &data);

// In process; with limits, as a process of its own.
run_result run_tool(const std::vector<std::string> &args, const run_limits *limits = nullptr);

// In process, keeping what a held window shows in summary.
run_result run_held(const std::vector<std::string> &args, run_summary &summary);

// Any program as a process of its own, output captured.
run_result run_tool_program(const std::string &program, const std::vector<std::string> &args);

// Writes image to a fresh archive file, runs the tool with args before
// its path, reads it back; the path is left in path_out.
run_result run_on(const bytes &image, const run_limits *limits = nullptr, std::string *path_out = nullptr,
                  std::vector<std::string> args = {});

// The one placeholder language of expected texts and arguments: "@" and
// one of the letters of files, as "@a", names that file (stem, the letter,
// then ".txd" for t, e, s and v, ".img.bak" for k, ".img" for the others); any other "@" stands
// for stem itself: the archive's path, or the folder searched.
extern const std::string file_letters;
std::string expand(const std::string &templ, const std::string &stem);

// A path as a JSON string holds it: a Windows path's backslashes escaped.
std::string json_text(const std::string &path);

bytes whole_sector(bytes data);

// Report lines of a real run as a dry run prints them: "Patching NAME
// patched N textures" as "Checking NAME found N textures to repair".
std::string as_checked(const std::string &lines);

// A file of size bytes holding the parts at their positions, sparse, so that
// the disk holds only what is written.
void write_sparse(const std::string &path, std::uint64_t size, const std::vector<std::pair<std::uint64_t, bytes>> &parts);
bytes read_at(const std::string &path, std::uint64_t pos, std::size_t n);

// Textures and dictionaries: broken ones, the same repaired, and one with
// nothing to repair. Inline, so that they are made before any constant of
// a test file that is made of them.
inline const sample::texture broken{"body", 0x200, 8}, fixed{"body", 0x200, 16};
inline const sample::texture broken2{"face", 0x300, 4}, fixed2{"face", 0x300, 16};
inline const bytes broken_txd = sample::texture_dictionary({broken, broken2});
inline const bytes fixed_txd = sample::texture_dictionary({fixed, fixed2});
inline const bytes sound_txd = sample::texture_dictionary({fixed, {"sky", 0x500, 32}});
inline const std::string a_line = "Patching a.txd patched 2 textures\n";
inline const std::string b_line = "Patching b.txd patched 2 textures\n";
inline const std::string a_left = "Patching a.txd patched 0 textures, 2 still to repair\n"; // not written
inline const std::string a_found = "Checking a.txd found 2 textures to repair\n";          // a dry run
inline const std::string b_found = "Checking b.txd found 2 textures to repair\n";
inline const std::string listing = "  body: 5-6-5, depth 8 -> 16\n  face: 4-4-4-4, depth 4 -> 16\n";
inline const std::string usage_hint = "Try 'txd-depth-fix --help' for more information.\n";

// Cases print by their name.
template <class Case> struct named_case {
	static std::string name(const ::testing::TestParamInfo<Case> &param) { return param.param.what; }
};

// POSIX calls; false on Windows, where a test that needs them skips itself.
bool make_fifo(const std::string &path, unsigned mode);
bool make_symlink(const std::string &target, const std::string &path);
bool set_mode(const std::string &path, unsigned mode);
bool set_environment(const char *name, const char *value); // null value: unset
void give_away(const std::string &path); // to another user, when the tests run as root
bool running_as_root();
extern const bool posix;

// While it lives, the read-ahead's helpers take every cache for a cold one
// and run beside the walk, as they do on a cold disk: from the start, or
// after the walk has entered so many folders (POSIX; on Windows they always
// run).
struct cold_cache {
	explicit cold_cache(const char *after_folders = "1") { set_environment("TXD_TEST_COLD_CACHE", after_folders); }
	~cold_cache() { set_environment("TXD_TEST_COLD_CACHE", nullptr); }
	cold_cache(const cold_cache &) = delete;
	cold_cache &operator=(const cold_cache &) = delete;
};

#define POSIX_ONLY()                                                                                                   \
	if (!posix)                                                                                                    \
	GTEST_SKIP() << "needs POSIX"

// RLIMIT_AS would starve the sanitizers' shadow memory or the emulator.
bool plain_allocator();
#define NEEDS_PLAIN_ALLOCATOR()                                                                                        \
	if (!posix || !plain_allocator())                                                                              \
	GTEST_SKIP() << "no address-space limit under sanitizers or emulators"

// The preloaded library that makes one chosen call fail (native Linux).
bool have_fault_shim();
#define NEEDS_FAULT_SHIM()                                                                                             \
	if (!have_fault_shim())                                                                                        \
	GTEST_SKIP() << "no fault shim on this host"

#endif
