// The program end to end: run on archive files, in process or as a process
// of its own, judged by exact stdout, stderr, exit status and the file's
// bytes afterwards.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "invariant.h"
#include "command_line.h"
#include "run_tool.h"
#include "sample_archive.h"

using sample::bytes;
using sample::cat;
using sample::header;
using sample::entry;
using sample::texture;
using sample::texture_dictionary;

namespace {

struct run_result : run_output {
	bytes after; // the archive's bytes after the run
};

std::string scratch_path(const std::string &leaf)
{
	const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
	std::string name = std::string(info->test_suite_name()) + "." + info->name();
	for (char &c : name)
		if (c == '/')
			c = '_';
#ifdef _WIN32
	int pid = _getpid();
#else
	int pid = static_cast<int>(getpid());
#endif
	return ::testing::TempDir() + "txd-" + std::to_string(pid) + "-" + name + "-" + leaf;
}

// Paths are UTF-8 on every host, as the tool takes them.
bytes read_file(const std::string &path)
{
	std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
	return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const bytes &data)
{
	std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
	out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
	ASSERT_TRUE(out.good()) << path;
}

// In process; with limits, as a process of its own.
run_result run_tool(const std::vector<std::string> &args, const run_limits *limits = nullptr)
{
	std::string out_path = scratch_path("stdout"), err_path = scratch_path("stderr");
	run_result r;
	static_cast<run_output &>(r) = limits != nullptr ? run_program(TXD_DEPTH_FIX, args, out_path, err_path, *limits)
	                                                 : run_in_process(args, out_path, err_path);
	std::remove(out_path.c_str());
	std::remove(err_path.c_str());
	return r;
}

// Any program as a process of its own, output captured.
[[maybe_unused]] run_result run_tool_program(const std::string &program, const std::vector<std::string> &args)
{
	std::string out_path = scratch_path("stdout"), err_path = scratch_path("stderr");
	run_result r;
	static_cast<run_output &>(r) = run_program(program, args, out_path, err_path, run_limits{});
	std::remove(out_path.c_str());
	std::remove(err_path.c_str());
	return r;
}

// Writes image to a fresh archive file, runs the tool on it, reads it back.
run_result run_on(const bytes &image, const run_limits *limits = nullptr, std::string *path_out = nullptr,
                  std::vector<std::string> args = {})
{
	std::string path = scratch_path("archive.img");
	write_file(path, image);
	args.push_back(path);
	run_result r = run_tool(args, limits);
	r.after = read_file(path);
	std::remove(path.c_str());
	if (path_out != nullptr)
		*path_out = path;
	return r;
}

bytes whole_sector(bytes data)
{
	data.resize(2048, 0);
	return data;
}

bool seek64(std::FILE *f, std::uint64_t pos)
{
#ifdef _WIN32
	return _fseeki64(f, static_cast<long long>(pos), SEEK_SET) == 0;
#else
	return fseeko(f, static_cast<off_t>(pos), SEEK_SET) == 0;
#endif
}

// A file of size bytes holding the parts at their positions, sparse, so that
// the disk holds only what is written.
void write_sparse(const std::string &path, std::uint64_t size, const std::vector<std::pair<std::uint64_t, bytes>> &parts)
{
	std::FILE *f = std::fopen(path.c_str(), "wb");
	ASSERT_NE(f, nullptr);
	for (const auto &[pos, b] : parts)
		ASSERT_TRUE(seek64(f, pos) && std::fwrite(b.data(), 1, b.size(), f) == b.size());
	ASSERT_EQ(std::fclose(f), 0);
	std::filesystem::resize_file(path, size);
}

bytes read_at(const std::string &path, std::uint64_t pos, std::size_t n)
{
	bytes b(n);
	std::FILE *in = std::fopen(path.c_str(), "rb");
	EXPECT_TRUE(in != nullptr && seek64(in, pos) && std::fread(b.data(), 1, n, in) == n);
	if (in != nullptr)
		std::fclose(in);
	return b;
}

// Replaces each @ in a message template by the archive's path.
std::string with_path(const std::string &templ, const std::string &path)
{
	std::string out;
	for (char c : templ)
		out += c == '@' ? path : std::string(1, c);
	return out;
}

const texture broken{"body", 0x200, 8}, fixed{"body", 0x200, 16};
const texture broken2{"face", 0x300, 4}, fixed2{"face", 0x300, 16};
const bytes broken_txd = texture_dictionary({broken, broken2});
const bytes fixed_txd = texture_dictionary({fixed, fixed2});
const bytes sound_txd = texture_dictionary({fixed, {"sky", 0x500, 32}});

// A backslash and bytes outside printable ASCII; and all 32 bytes, no NUL.
// Printable ASCII ends at ' ' and '~' on either side.
const texture odd_name{"a\\b\x01\xe9 ~\x1f\x7f", 0x100, 4}, odd_name_fixed{"a\\b\x01\xe9 ~\x1f\x7f", 0x100, 16};
const texture full_name{"abcdefghijklmnopqrstuvwxyz012345", 0x200, 8};
const texture full_name_fixed{"abcdefghijklmnopqrstuvwxyz012345", 0x200, 16};

// An archive, what the tool must print and leave behind for it, with
// options before its path.
struct archive_case {
	const char *what;
	bytes before;
	std::string out;
	std::string err; // @ stands for the archive's path
	int status;
	bytes after;
	std::vector<std::string> options = {};
};

void PrintTo(const archive_case &c, std::ostream *os)
{
	*os << c.what;
}

class Archive : public ::testing::TestWithParam<archive_case> {};

TEST_P(Archive, PrintsAndWritesExactly)
{
	const archive_case &c = GetParam();
	std::string path;
	run_result r = run_on(c.before, nullptr, &path, c.options);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err, with_path(c.err, path));
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(r.after, c.after);
}

// One broken dictionary at sector 1, under the given magic and count.
bytes one_entry(const char *magic, std::uint32_t count)
{
	return cat({header(magic, count), sample::dir_record(1, 1, "a.txd"), bytes(2048 - 40, 0), broken_txd});
}

bytes with_garbage_tail(bytes image)
{
	image.insert(image.end(), {'V', 'E', 'R', '2'});
	return image;
}

// 2147483647 entries claimed, two present: one over the whole 100-byte
// file, one past its end.
bytes huge_count_small_file()
{
	return cat({header("VER2", 0x7FFFFFFF), sample::dir_record(0, 1, "all.txd"), sample::dir_record(9, 1, "gone.txd"),
	            bytes(20, 0)});
}

// An entry of 0xFFFFFFFF sectors, of which the file holds the dictionary.
bytes size_with_high_bits(const bytes &txd)
{
	return cat({header("VER2", 1), sample::dir_record(1, 0xFFFFFFFF, "big.txd"), bytes(2048 - 40, 0), txd});
}

// The file ends 1000 bytes into the second of the entry's four sectors.
bytes entry_cut_short(const bytes &txd)
{
	bytes image = cat({header("VER2", 1), sample::dir_record(1, 4, "cut.txd")});
	image.resize(2048, 0);
	sample::append(image, txd);
	image.resize(3048, 0);
	return image;
}

INSTANTIATE_TEST_SUITE_P(
    Archives, Archive,
    ::testing::Values(
        archive_case{"MixedSample", sample::archive(sample::mixed_entries(true)),
                     "Patching player.txd patched 2 textures\n"
                     "Patching TITLES.TXD patched 2 textures\n"
                     "Patching hud.txd patched 0 textures\n"
                     "Patching empty.txd patched 0 textures\n",
                     "", 0, sample::archive(sample::mixed_entries(false))},
        archive_case{"OneTextureSaysTextures", sample::archive({{"one.txd", texture_dictionary({broken})}}),
                     "Patching one.txd patched 1 textures\n", "", 0,
                     sample::archive({{"one.txd", texture_dictionary({fixed})}})},
        archive_case{"SoundEntryIsNotWritten", sample::archive({{"ok.txd", sound_txd}}),
                     "Patching ok.txd patched 0 textures\n", "", 0, sample::archive({{"ok.txd", sound_txd}})},
        archive_case{"SelectionInDirectoryOrder",
                     sample::archive({{"a.dff", broken_txd}, {"b.txd", broken_txd}, {"c.TXD", broken_txd}}),
                     "Patching b.txd patched 2 textures\nPatching c.TXD patched 2 textures\n", "", 0,
                     sample::archive({{"a.dff", broken_txd}, {"b.txd", fixed_txd}, {"c.TXD", fixed_txd}})},
        archive_case{"EntryListedTwice",
                     cat({header("VER2", 2), sample::dir_record(1, 1, "twice.txd"),
                          sample::dir_record(1, 1, "twice.txd"), bytes(2048 - 72, 0), whole_sector(broken_txd)}),
                     "Patching twice.txd patched 2 textures\nPatching twice.txd patched 0 textures\n", "", 0,
                     cat({header("VER2", 2), sample::dir_record(1, 1, "twice.txd"),
                          sample::dir_record(1, 1, "twice.txd"), bytes(2048 - 72, 0), whole_sector(fixed_txd)})},
        archive_case{"NoEntries", header("VER2", 0), "", "", 0, header("VER2", 0)},
        archive_case{"NoEntriesTrailingBytes", with_garbage_tail(header("VER2", 0)), "", "", 0,
                     with_garbage_tail(header("VER2", 0))},
        archive_case{"EmptyFile", {}, "", "", 0, {}},
        archive_case{"ShorterThanMagic", {'V', 'E', 'R'}, "", "", 0, {'V', 'E', 'R'}},
        archive_case{"LowerCaseMagic", one_entry("ver2", 1), "", "", 0, one_entry("ver2", 1)},
        archive_case{"OtherVersion", one_entry("VER1", 1), "", "", 0, one_entry("VER1", 1)},
        archive_case{"MagicAlone", {'V', 'E', 'R', '2'}, "",
                     "txd-depth-fix: @: header cut short after the VER2 magic\n", 1, {'V', 'E', 'R', '2'}},
        archive_case{"MagicAloneIsReadNotLeftAlone", {'V', 'E', 'R', '2'}, "0 textures repaired in 0 of 1 file, 1 problem\n",
                     "txd-depth-fix: @: header cut short after the VER2 magic\n", 1, {'V', 'E', 'R', '2'}, {"-v", "--totals"}},
        archive_case{"CountCutShort", {'V', 'E', 'R', '2', 1, 0, 0}, "",
                     "txd-depth-fix: @: header cut short after the VER2 magic\n", 1, {'V', 'E', 'R', '2', 1, 0, 0}},
        archive_case{"NegativeCount", one_entry("VER2", 0xFFFFFFFF), "", "txd-depth-fix: @: negative entry count -1\n",
                     1, one_entry("VER2", 0xFFFFFFFF)},
        archive_case{"HugeCountInSmallFile",
                     huge_count_small_file(),
                     "Patching all.txd patched 0 textures\nPatching gone.txd patched 0 textures\n",
                     "txd-depth-fix: @: all.txd: entry ends past the end of the archive\n"
                     "txd-depth-fix: @: gone.txd: entry starts past the end of the archive\n"
                     "txd-depth-fix: @: directory lists 2147483647 entries but only 2 are in the file\n",
                     1, huge_count_small_file()},
        archive_case{"EntryEndsPastTheEnd", entry_cut_short(broken_txd), "Patching cut.txd patched 2 textures\n",
                     "txd-depth-fix: @: cut.txd: entry ends past the end of the archive\n", 1, entry_cut_short(fixed_txd)},
        archive_case{"SizeWithHighBitsSet",
                     size_with_high_bits(broken_txd), "Patching big.txd patched 2 textures\n",
                     "txd-depth-fix: @: big.txd: entry ends past the end of the archive\n", 1,
                     size_with_high_bits(fixed_txd)},
        archive_case{"EntryOfSizeZero", sample::archive({{"none.txd", {}, 1, 0}}),
                     "Patching none.txd patched 0 textures\n", "", 0, sample::archive({{"none.txd", {}, 1, 0}})},
        archive_case{"ListingEscapesTextureNames", sample::archive({{"odd.txd", texture_dictionary({odd_name, full_name})}}),
                     "Patching odd.txd patched 2 textures\n"
                     "  a\\x5cb\\x01\\xe9 ~\\x1f\\x7f: 1-5-5-5, depth 4 -> 16\n"
                     "  abcdefghijklmnopqrstuvwxyz012345: 5-6-5, depth 8 -> 16\n",
                     "", 0, sample::archive({{"odd.txd", texture_dictionary({odd_name_fixed, full_name_fixed})}}), {"-v"}},
        archive_case{"FullNameBeforeAnotherRecord", // the name ends with its field, not in the next record
                     sample::archive({{"abcdefghijklmnopqrst.txd", broken_txd}, {"b.txd", sound_txd}}),
                     "Patching abcdefghijklmnopqrst.txd patched 2 textures\nPatching b.txd patched 0 textures\n", "", 0,
                     sample::archive({{"abcdefghijklmnopqrst.txd", fixed_txd}, {"b.txd", sound_txd}})},
        archive_case{"EntryOfSizeZeroPastTheEnd", cat({header("VER2", 1), sample::dir_record(100, 0, "none.txd")}),
                     "Patching none.txd patched 0 textures\n", "", 0,
                     cat({header("VER2", 1), sample::dir_record(100, 0, "none.txd")})}),
    [](const ::testing::TestParamInfo<archive_case> &param) { return std::string(param.param.what); });

// Every name gets a broken dictionary; only selected ones may change.
struct name_case {
	std::string name;
	bool selected;
};

// Test names reach terminals: control bytes are written as escapes.
void PrintTo(const name_case &c, std::ostream *os)
{
	*os << '"';
	for (char ch : c.name) {
		unsigned char b = static_cast<unsigned char>(ch);
		if (b < 0x20 || b >= 0x7F)
			*os << "\\x" << "0123456789abcdef"[b >> 4] << "0123456789abcdef"[b & 15];
		else
			*os << ch;
	}
	*os << '"';
}

class NameRule : public ::testing::TestWithParam<name_case> {};

TEST_P(NameRule, SelectsByTheThreeLettersAfterTheLastDot)
{
	const name_case &c = GetParam();
	run_result r = run_on(sample::archive({{c.name, broken_txd}}));
	EXPECT_EQ(r.out, c.selected ? "Patching " + c.name + " patched 2 textures\n" : "");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.after, sample::archive({{c.name, c.selected ? fixed_txd : broken_txd}}));
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameRule,
    ::testing::Values(name_case{"player.txd", true}, name_case{"PLAYER.TXD", true}, name_case{"a.TxD", true},
                      name_case{".txd", true}, name_case{"a.txdx", true}, name_case{"a.txd1", true},
                      name_case{"no.nul.in.the.field..txd", true}, name_case{"abcdefghijklmnopqrst.txd", true},
                      name_case{"a.tx", false}, name_case{"a.txd.bak", false}, name_case{"txd", false},
                      name_case{"a.dff", false}, name_case{"a.t\xd8" "d", false}, name_case{"a.\xd4XD", false},
                      name_case{"", false}, name_case{"a.", false}, name_case{"a.1xd", false},
                      name_case{"a.tod", false}, name_case{"a.txt", false},
                      name_case{"a\x1b]0;x\x07.txd", true}));

// A command line over the files a.img and b.img (archives holding a.txd and
// b.txd), o.img (o.txd, one broken texture), c.img (c.txd, nothing to
// repair), t.txd (a loose dictionary), e.txd (empty) and s.txd (three bytes
// of a dictionary chunk's type), each broken where it can be; @a, @b, ...
// stand for their paths.
struct command_case {
	const char *what;
	std::vector<std::string> args;
	std::string out, err;
	int status;
	std::string repaired;     // the letters of the files repaired
	std::string backed_up{}; // the letters whose FILE.bak holds the file as it was
};

void PrintTo(const command_case &c, std::ostream *os)
{
	*os << c.what;
}

class CommandLine : public ::testing::TestWithParam<command_case> {};

const std::string letters = "aboctes";

std::string expand(const std::string &templ, const std::string &stem)
{
	std::string out;
	for (std::size_t i = 0; i < templ.size(); i++) {
		char f = i + 1 < templ.size() ? templ[i + 1] : '\0';
		if (templ[i] != '@' || f == '\0' || letters.find(f) == std::string::npos) {
			out += templ[i];
			continue;
		}
		out += stem + f + (f == 't' || f == 'e' || f == 's' ? ".txd" : ".img");
		i++;
	}
	return out;
}

bytes command_file(char letter, bool repaired)
{
	const bytes &txd = repaired ? fixed_txd : broken_txd;
	switch (letter) {
	case 't': return txd;
	case 'e': return {};
	case 's': return {0x16, 0, 0}; // too short to be a dictionary
	case 'c': return sample::archive({{"c.txd", fixed_txd}});
	case 'o': return sample::archive({{"o.txd", texture_dictionary({repaired ? fixed : broken})}});
	default: return sample::archive({{std::string(1, letter) + ".txd", txd}});
	}
}

TEST_P(CommandLine, HandlesEveryFileAsAsked)
{
	const command_case &c = GetParam();
	std::string stem = scratch_path("");
	for (char f : letters)
		write_file(expand(std::string("@") + f, stem), command_file(f, false));
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(expand(a, stem));
	run_result r = run_tool(args);
	EXPECT_EQ(r.out, expand(c.out, stem));
	EXPECT_EQ(r.err, expand(c.err, stem));
	EXPECT_EQ(r.status, c.status);
	for (char f : letters) {
		std::string path = expand(std::string("@") + f, stem);
		EXPECT_EQ(read_file(path), command_file(f, c.repaired.find(f) != std::string::npos)) << path;
		bool backed_up = c.backed_up.find(f) != std::string::npos;
		EXPECT_EQ(std::filesystem::exists(path + ".bak"), backed_up) << path;
		if (backed_up) {
			EXPECT_EQ(read_file(path + ".bak"), command_file(f, false));
		}
		std::remove(path.c_str());
		std::remove((path + ".bak").c_str());
	}
}

const std::string a_line = "Patching a.txd patched 2 textures\n";
const std::string b_line = "Patching b.txd patched 2 textures\n";
const std::string listing = "  body: 5-6-5, depth 8 -> 16\n  face: 4-4-4-4, depth 4 -> 16\n";
const std::string usage_hint = "Try 'txd-depth-fix --help' for more information.\n";

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLine,
    ::testing::Values(
        command_case{"NoArgument", {}, "", "", 0, ""},
        command_case{"OptionsButNoFile", {"-n", "--verbose"}, "", "", 0, ""},
        command_case{"OneArchive", {"@a"}, a_line, "", 0, "a"},
        command_case{"SeveralArchivesNameTheirLines", {"@a", "@b"}, "@a: " + a_line + "@b: " + b_line, "", 0, "ab"},
        command_case{"WithFilename", {"-H", "@a"}, "@a: " + a_line, "", 0, "a"},
        command_case{"WithFilenameLooseUnprefixed", {"--with-filename", "-t", "@t"}, "Patching @t patched 2 textures\n", "", 0, "t"},
        command_case{"AProblemStopsNoOtherFile", {"@a", "@a.gone", "@b"}, "@a: " + a_line + "@b: " + b_line,
                     "txd-depth-fix: @a.gone: No such file or directory\n", 1, "ab"},
        command_case{"DryRunWritesNothing", {"--dry-run", "@a"}, a_line, "", 0, ""},
        command_case{"OptionAfterTheFiles", {"@a", "-n"}, a_line, "", 0, ""},
        command_case{"VerboseListsEachRepair", {"@a", "--verbose"}, a_line + listing, "", 0, "a"},
        command_case{"VerboseSeveral", {"-v", "@b", "@a"},
                     "@b: " + b_line + "@b:   body: 5-6-5, depth 8 -> 16\n@b:   face: 4-4-4-4, depth 4 -> 16\n@a: " +
                         a_line + "@a:   body: 5-6-5, depth 8 -> 16\n@a:   face: 4-4-4-4, depth 4 -> 16\n",
                     "", 0, "ab"},
        command_case{"BundledDryRunVerbose", {"-nv", "@a"}, a_line + listing, "", 0, ""},
        command_case{"QuietLeavesOutZeroCounts", {"-q", "@c", "@a", "@e"}, "@a: " + a_line, "", 0, "a"},
        command_case{"LooseDictionary", {"-t", "@t"}, "Patching @t patched 2 textures\n", "", 0, "t"},
        command_case{"VerboseSaysWhatWasLeftAlone", {"--txd", "@a", "@e", "@s", "@t", "-v"},
                     "@a: left alone: not a texture dictionary\n@e: left alone: not a texture dictionary\n"
                     "@s: left alone: not a texture dictionary\n"
                     "Patching @t patched 2 textures\n" + listing,
                     "", 0, "t"},
        command_case{"LeftAloneSilentlyWithoutVerbose", {"@t", "@e"}, "", "", 0, ""},
        command_case{"LooseDryRun", {"-tn", "@t"}, "Patching @t patched 2 textures\n", "", 0, ""},
        command_case{"TotalsAlone", {"--totals"}, "0 textures repaired in 0 of 0 files\n", "", 0, ""},
        command_case{"TotalsSingular", {"--totals", "@o"}, "Patching o.txd patched 1 textures\n1 texture repaired in 1 of 1 file\n", "", 0, "o"},
        command_case{"TotalsOfEverything", {"-n", "--totals", "-q", "@c", "@e", "@a", "@gone", "@o"},
                     "@a: " + a_line + "@o: Patching o.txd patched 1 textures\n"
                     "3 textures to repair in 2 of 3 files, 1 left alone, 1 problem\n",
                     "txd-depth-fix: @gone: No such file or directory\n", 1, ""},
        command_case{"TotalsTwoProblems", {"--totals", "@gone", "@gone"}, "0 textures repaired in 0 of 0 files, 2 problems\n",
                     "txd-depth-fix: @gone: No such file or directory\ntxd-depth-fix: @gone: No such file or directory\n", 1, ""},
        command_case{"BackupOfALooseDictionary", {"-b", "-t", "@c", "@t"}, "Patching @t patched 2 textures\n", "", 0, "t", "t"},
        command_case{"BackupOfArchives", {"--backup", "@a", "@c"}, "@a: " + a_line + "@c: Patching c.txd patched 0 textures\n",
                     "", 0, "a", "a"},
        command_case{"NoBackupInADryRun", {"-bn", "@a"}, a_line, "", 0, "", ""},
        command_case{"DoubleDashEndsOptions", {"--", "-n"}, "", "txd-depth-fix: -n: No such file or directory\n", 1, ""},
        command_case{"LoneDashIsAFile", {"-"}, "", "txd-depth-fix: -: No such file or directory\n", 1, ""},
        command_case{"Version", {"@a", "--version"}, "txd-depth-fix " TXD_VERSION "\n", "", 0, ""},
        command_case{"UnknownShortOption", {"-nx", "@a"}, "", "txd-depth-fix: unknown option '-x'\n" + usage_hint, 2, ""},
        command_case{"UnknownOptionAfterTheFile", {"@a", "--verx"}, "", "txd-depth-fix: unknown option '--verx'\n" + usage_hint, 2, ""},
        command_case{"AmbiguousPrefix", {"--ver", "@a"}, "", "txd-depth-fix: option '--ver' is ambiguous\n" + usage_hint, 2, ""},
        command_case{"DashInABundle", {"-n-", "@a"}, "", "txd-depth-fix: unknown option '-' in '-n-'\n" + usage_hint, 2, ""},
        command_case{"LetterInABundle", {"-bvx", "@a"}, "", "txd-depth-fix: unknown option '-x'\n" + usage_hint, 2, ""},
        command_case{"WholeUtf8Letter", {"-\xc3\xa9", "@a"}, "", "txd-depth-fix: unknown option '-\xc3\xa9'\n" + usage_hint, 2, ""},
        command_case{"ArgumentToAnOption", {"--verbose=1", "@a"}, "",
                     "txd-depth-fix: option '--verbose' takes no argument\n" + usage_hint, 2, ""}),
    [](const ::testing::TestParamInfo<command_case> &param) { return std::string(param.param.what); });

// The text may change; what it must tell may not.
TEST(Help, NamesEveryOptionAndStatusAndTouchesNothing)
{
	std::string path = scratch_path("archive.img");
	write_file(path, command_file('a', false));
	run_result r = run_tool({path, "--help"});
	for (const char *told : {"-n, --dry-run", "-v, --verbose", "-q, --quiet", "-H, --with-filename", "-t, --txd",
	                         "-b, --backup", "-p, --preserve", "--totals", "-h, --help", "-V, --version", "FOLDER",
	                         "0 when nothing was reported", "1 when anything was", "2 for a usage error"})
		EXPECT_NE(r.out.find(told), std::string::npos) << told;
	EXPECT_EQ(r.out.compare(0, 22, "usage: txd-depth-fix ["), 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(path), command_file('a', false));
	std::remove(path.c_str());
}

// Help and version that cannot be written are failures too, and a usage
// error part way through a bundle leaves nothing behind for the next run.
TEST(Help, UnwritableHelpFailsAndNoStateOutlivesARun)
{
	char prog[] = "txd-depth-fix", help[] = "--help", version[] = "-V", bad[] = "-xn";
	std::string path = scratch_path("archive.img");
	write_file(path, command_file('a', false));
	for (char *option : {help, version}) {
#ifdef _WIN32
		std::FILE *full = std::fopen(path.c_str(), "rb"), *err = std::tmpfile(); // writes fail
#else
		std::FILE *full = std::fopen("/dev/full", "w"), *err = std::tmpfile(); // the flush fails
#endif
		ASSERT_TRUE(full != nullptr && err != nullptr);
		char *argv[] = {prog, option, nullptr};
		EXPECT_EQ(txd_depth_fix(2, argv, full, err), 1) << option;
#ifndef _WIN32
		std::rewind(err);
		char said[128] = {};
		EXPECT_EQ(std::string(said, std::fread(said, 1, sizeof said, err)),
		          "txd-depth-fix: standard output: No space left on device\n");
#endif
		std::fclose(full);
		std::fclose(err);
	}
	// As a process of its own, so that getopt's own messages would show.
	run_limits own_process;
	run_result refused = run_tool({bad}, &own_process);
	EXPECT_EQ(refused.out + refused.err, "txd-depth-fix: unknown option '-x'\n" + usage_hint);
	EXPECT_EQ(refused.status, 2);
	EXPECT_EQ(run_tool({bad}).status, 2);
	EXPECT_EQ(run_tool({path}).out, a_line);
	EXPECT_EQ(read_file(path), command_file('a', true));
	std::remove(path.c_str());
}

#ifndef _WIN32
// glibc stops at the first operand under POSIXLY_CORRECT unless told
// otherwise; a dry run asked for after the file must still be one.
TEST(Help, OptionsCountWhereverTheyStandUnderPosixlyCorrect)
{
	std::string path = scratch_path("archive.img");
	write_file(path, command_file('a', false));
	ASSERT_EQ(setenv("POSIXLY_CORRECT", "1", 1), 0);
	run_result dry = run_tool({path, "-n"}), bogus = run_tool({path, "--bogus"});
	unsetenv("POSIXLY_CORRECT");
	EXPECT_EQ(dry.out + dry.err, a_line);
	EXPECT_EQ(bogus.out + bogus.err, "txd-depth-fix: unknown option '--bogus'\n" + usage_hint);
	EXPECT_EQ(bogus.status, 2);
	EXPECT_EQ(read_file(path), command_file('a', false));
	std::remove(path.c_str());
}
#endif

// A game-like folder: archives and loose dictionaries among files of other
// kinds, backups, links and a FIFO, each file broken where it can be.
struct tree_file {
	std::string path; // below the root, '/' between names
	bytes broken, fixed;
};

std::vector<tree_file> game_tree()
{
	auto archive = [](const std::string &name, bool repaired) {
		return sample::archive({{name, repaired ? fixed_txd : broken_txd}});
	};
	bytes broken_archive = archive("a.txd", false), fixed_archive = archive("a.txd", true);
	return {{".b", archive("b.txd", false), archive("b.txd", true)}, // two letters, but neither "." nor ".."
	        {".BAK", broken_archive, broken_archive},                 // a backup named by its extension alone
	        {"speak", archive("k.txd", false), archive("k.txd", true)}, // ends like "bak", but is none
	        {"B.img", archive("b.txd", false), archive("b.txd", true)},
	        {"a.img", broken_archive, fixed_archive},
	        {"a.img.bak", broken_archive, broken_archive},
	        {"c.BAK", broken_archive, broken_archive},
	        {"d10.img", broken_archive, fixed_archive},
	        {"d9.img", broken_archive, fixed_archive},
	        {"m/inner.img", archive("i.txd", false), archive("i.txd", true)},
	        {"m.img", archive("c.txd", true), archive("c.txd", true)},
	        {"s.txd", {0x16, 0, 0}, {0x16, 0, 0}}, // too short to say
	        {"x.dat", broken_txd, broken_txd},     // a dictionary, but not by name
	        {"y.txd", {'t', 'e', 'x', 't'}, {'t', 'e', 'x', 't'}},
	        {"z.TXD", broken_txd, fixed_txd},
	        {"\xc3\xa9.txd", broken_txd, fixed_txd},
	        {"\u6a21\u578b/\u0430\u0440\u0445\u0438\u0432.img", archive("r.txd", false), archive("r.txd", true)}};
}

struct folder_case {
	const char *what;
	std::vector<std::string> args; // @ stands for the root
	std::string out, err;
	int status;
	std::vector<std::string> repaired, backed_up = {};
};

void PrintTo(const folder_case &c, std::ostream *os)
{
	*os << c.what;
}

class Folder : public ::testing::TestWithParam<folder_case> {};

// Every regular file below root and its bytes; links are not followed.
std::map<std::string, bytes> files_below(const std::string &root)
{
	std::map<std::string, bytes> files;
	for (const auto &e : std::filesystem::recursive_directory_iterator(std::filesystem::u8path(root)))
		if (e.is_regular_file() && !e.is_symlink())
			files[e.path().lexically_relative(std::filesystem::u8path(root)).generic_u8string()] = read_file(e.path().u8string());
	return files;
}

TEST_P(Folder, FindsEveryArchiveAndDictionaryInOrder)
{
	const folder_case &c = GetParam();
	std::string root = scratch_path("game");
	std::map<std::string, bytes> expected;
	for (const tree_file &f : game_tree()) {
		std::filesystem::create_directories(std::filesystem::u8path(root + "/" + f.path).parent_path());
		write_file(root + "/" + f.path, f.broken);
		bool repaired = std::find(c.repaired.begin(), c.repaired.end(), f.path) != c.repaired.end();
		expected[f.path] = repaired ? f.fixed : f.broken;
		if (std::find(c.backed_up.begin(), c.backed_up.end(), f.path) != c.backed_up.end())
			expected[f.path + ".bak"] = f.broken;
	}
#ifndef _WIN32
	for (auto [link, target] : {std::pair{"link.img", "a.img"}, {"linkdir", "m"}, {"up", ".."}, {"dangling", "gone"}})
		ASSERT_EQ(symlink(target, (root + "/" + link).c_str()), 0);
	ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
#endif
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(with_path(a, root));
	run_result r = run_tool(args);
	EXPECT_EQ(r.out, with_path(c.out, root));
	EXPECT_EQ(r.err, with_path(c.err, root));
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(files_below(root), expected);
	std::filesystem::remove_all(std::filesystem::u8path(root));
}

#ifdef _WIN32
#define SEP "\\"
#else
#define SEP "/"
#endif
const std::string tree_lines = "@" SEP ".b: Patching b.txd patched 2 textures\n"
                               "@" SEP "B.img: Patching b.txd patched 2 textures\n"
                               "@" SEP "a.img: Patching a.txd patched 2 textures\n"
                               "@" SEP "d10.img: Patching a.txd patched 2 textures\n"
                               "@" SEP "d9.img: Patching a.txd patched 2 textures\n"
                               "@" SEP "m" SEP "inner.img: Patching i.txd patched 2 textures\n";
const std::string tree_tail = "@" SEP "speak: Patching k.txd patched 2 textures\n"
                              "Patching @" SEP "z.TXD patched 2 textures\n"
                              "Patching @" SEP "\xc3\xa9.txd patched 2 textures\n"
                              "@" SEP "\u6a21\u578b" SEP "\u0430\u0440\u0445\u0438\u0432.img: Patching r.txd patched 2 textures\n";
const std::string m_img_line = "@" SEP "m.img: Patching c.txd patched 0 textures\n";
const std::string cjk_archive = "\u6a21\u578b/\u0430\u0440\u0445\u0438\u0432.img";
const std::vector<std::string> tree_repaired{".b", "speak", "B.img",  "a.img",         "d10.img",  "d9.img",
                                             "m/inner.img", "z.TXD", "\xc3\xa9.txd", cjk_archive};

// An operand that ends in '/' is followed by no separator of its own.
std::string at_root_after_slash(std::string lines)
{
	for (std::size_t at = 0; (at = lines.find("@" SEP, at)) != std::string::npos; at += 2)
		lines.replace(at, 2, "@/");
	return lines;
}

std::vector<folder_case> folder_cases()
{
	std::vector<folder_case> cases{
	    {"WholeTree", {"@"}, tree_lines + m_img_line + tree_tail, "", 0, tree_repaired},
	    {"TrailingSeparator", {"@/"}, at_root_after_slash(tree_lines + m_img_line + tree_tail), "", 0, tree_repaired},
	    {"DryRunQuietTotals", {"-nq", "--totals", "@"}, tree_lines + tree_tail + "20 textures to repair in 10 of 11 files\n",
	     "", 0, {}},
	    {"FileAndFolderOperands", {"-t", "@/z.TXD", "@/m", "@/a.img", "-v"},
	     "Patching @/z.TXD patched 2 textures\n  body: 5-6-5, depth 8 -> 16\n  face: 4-4-4-4, depth 4 -> 16\n"
	     "@/m" SEP "inner.img: Patching i.txd patched 2 textures\n@/m" SEP "inner.img:   body: 5-6-5, depth 8 -> 16\n"
	     "@/m" SEP "inner.img:   face: 4-4-4-4, depth 4 -> 16\n@/a.img: left alone: not a texture dictionary\n",
	     "", 0, {"z.TXD", "m/inner.img"}},
	    {"BackupsBesideAnOldOne", {"-b", "-q", "@"}, tree_lines + tree_tail,
	     "txd-depth-fix: @" SEP "a.img.bak: no backup made, so the file is left unchanged: File exists\n", 1,
	     {".b", "speak", "B.img", "d10.img", "d9.img", "m/inner.img", "z.TXD", "\xc3\xa9.txd", cjk_archive},
	     {".b", "speak", "B.img", "d10.img", "d9.img", "m/inner.img", "z.TXD", "\xc3\xa9.txd", cjk_archive}}};
#ifndef _WIN32
	cases.push_back({"LinkedOperandIsFollowed", {"@/linkdir"}, "@/linkdir/inner.img: Patching i.txd patched 2 textures\n",
	                 "", 0, {"m/inner.img"}});
#endif
	return cases;
}

INSTANTIATE_TEST_SUITE_P(Trees, Folder, ::testing::ValuesIn(folder_cases()),
                         [](const ::testing::TestParamInfo<folder_case> &param) { return std::string(param.param.what); });

TEST(Console, HeldOpenOnlyWhenTheToolIsAloneOnIt)
{
	EXPECT_TRUE(console_closes_at_exit(1, true));
	EXPECT_FALSE(console_closes_at_exit(1, false)); // input redirected
	EXPECT_FALSE(console_closes_at_exit(2, true));  // started from a console
	EXPECT_FALSE(console_closes_at_exit(0, true));  // no console at all
}

TEST(Console, HeldWindowExplainsWhatWasLeftOrHowToStart)
{
	struct hint_case {
		int operands;
		std::uint64_t left_alone;
		held_window_hint hint;
	} cases[] = {{0, 0, HINT_DROP_SOMETHING}, {1, 0, HINT_NONE}, {2, 1, HINT_DROP_THE_FOLDER}, {1, 1, HINT_DROP_THE_FOLDER}};
	for (const hint_case &c : cases) {
		run_summary summary = {c.operands, c.left_alone, ""};
		EXPECT_EQ(held_window_hint_for(summary), c.hint) << c.operands << " " << c.left_alone;
	}
	// The totals line is there whether or not --totals was given.
	std::string loose = scratch_path("loose.txd");
	write_file(loose, broken_txd);
	std::FILE *out = std::tmpfile(), *err = std::tmpfile();
	char prog[] = "txd-depth-fix", dry[] = "-n";
	char *dropped[] = {prog, dry, &loose[0], nullptr}, *nothing[] = {prog, nullptr};
	run_summary summary = {-1, 9, "?"};
	EXPECT_EQ(txd_depth_fix(3, dropped, out, err, &summary), 0);
	EXPECT_EQ(summary.operands, 1);
	EXPECT_EQ(summary.left_alone, 1u);
	EXPECT_EQ(std::string(summary.totals), "0 textures to repair in 0 of 0 files, 1 left alone");
	summary = {-1, 9, "?"};
	EXPECT_EQ(txd_depth_fix(1, nothing, out, err, &summary), 0);
	EXPECT_EQ(summary.operands, 0);
	EXPECT_EQ(summary.left_alone, 0u);
	EXPECT_EQ(std::string(summary.totals), "0 textures repaired in 0 of 0 files");
	std::fclose(out);
	std::fclose(err);
	std::remove(loose.c_str());
}

// Windows programs are asked for help with "/?", which names no file there.
TEST(Console, SlashQuestionMarkIsHelpOnWindowsOnly)
{
	run_result r = run_tool({"/?"});
#ifdef _WIN32
	EXPECT_EQ(r.out.compare(0, 22, "usage: txd-depth-fix ["), 0);
	EXPECT_EQ(r.status, 0);
#else
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: /?: No such file or directory\n");
	EXPECT_EQ(r.status, 1);
#endif
}

TEST(Arguments, UnopenableArchivesAreReported)
{
	// Options ("" for none), the file, and why it cannot be handled.
	struct unopenable {
		std::string options, path, why;
	};
	std::string missing = scratch_path("missing.img"), fifo = scratch_path("fifo");
	std::vector<unopenable> cases{{"", missing, "No such file or directory"}};
#ifndef _WIN32
	// With no writer, a read of the FIFO would wait for ever; opened
	// read-only, even the open would.
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	cases.insert(cases.end(), {{"", fifo, "not a regular file"},
	                           {"", "/dev/null", "not a regular file"},
	                           {"-n", fifo, "not a regular file"},
	                           {"-tn", "/dev/null", "not a regular file"}});
#endif
	for (const unopenable &c : cases) {
		run_result r = run_tool(c.options.empty() ? std::vector<std::string>{c.path} : std::vector<std::string>{c.options, c.path});
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "txd-depth-fix: " + c.path + ": " + c.why + "\n");
		EXPECT_EQ(r.status, 1);
	}
	std::filesystem::remove(fifo);
}

// Names outside the ANSI code page reach a Windows program only through its
// wide command line, and come back in diagnostics as UTF-8.
TEST(Arguments, UnicodeArchiveNames)
{
	run_limits own_process;
	for (std::string leaf : {"\u0430\u0440\u0445\u0438\u0432.img", "\u56f3\u50cf.img"}) {
		std::string path = scratch_path(leaf), missing = scratch_path("\u043d\u0435\u0442-" + leaf);
		write_file(path, sample::archive({{"a.txd", broken_txd}}));
		run_result r = run_tool({path}, &own_process);
		EXPECT_EQ(r.out + r.err, "Patching a.txd patched 2 textures\n");
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(read_file(path), sample::archive({{"a.txd", fixed_txd}}));
		r = run_tool({missing}, &own_process);
		EXPECT_EQ(r.out + r.err, "txd-depth-fix: " + missing + ": No such file or directory\n");
		EXPECT_EQ(r.status, 1);
		std::filesystem::remove(std::filesystem::u8path(path));
	}
}

#ifndef _WIN32
// Resource limits, FIFOs, /proc and /dev/full: faults a POSIX host can make.

TEST(Faults, UnreadableArchiveIsReported)
{
	// Opens for update, but reading its first bytes fails with EIO.
	run_result r = run_tool({"/proc/self/mem"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "txd-depth-fix: /proc/self/mem: cannot read header: Input/output error\n");
	EXPECT_EQ(r.status, 1);
}

const std::vector<entry> three_broken{{"a.txd", broken_txd}, {"b.txd", broken_txd}, {"c.txd", broken_txd}};

TEST(Faults, FailedWriteIsReportedAndTheRunGoesOn)
{
	// Files may not grow past a's sector: the writes of b and c, which lie
	// beyond it, fail with EFBIG; a's still lands, and so does the other
	// file's. SIGXFSZ has its default action, as from a shell.
	bytes image = sample::archive(three_broken);
	std::vector<entry> a_fixed = three_broken;
	a_fixed[0].data = fixed_txd;
	std::string path;
	run_limits limits;
	limits.file_size = 2 * 2048;
	std::string loose = scratch_path("l.txd"), other = scratch_path("other.img");
	write_file(loose, cat({broken_txd, bytes(2 * 2048, 0)}));
	write_file(other, sample::archive({{"o.txd", broken_txd}}));
	run_result r = run_on(image, &limits, &path, {"-t", loose, "-t"});
	EXPECT_EQ(r.err, "txd-depth-fix: " + loose + ": write failed: File too large\n");
	EXPECT_EQ(read_file(loose), cat({fixed_txd, bytes(2 * 2048, 0)})); // the part below the limit landed
	r = run_on(image, &limits, &path, {other});
	EXPECT_EQ(r.out, other + ": Patching o.txd patched 2 textures\n" + path + ": Patching a.txd patched 2 textures\n" +
	                     path + ": Patching b.txd patched 2 textures\n" + path + ": Patching c.txd patched 2 textures\n");
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": b.txd: write failed: File too large\n"
	                 "txd-depth-fix: " + path + ": c.txd: write failed: File too large\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.after, sample::archive(a_fixed));
	EXPECT_EQ(read_file(other), sample::archive({{"o.txd", fixed_txd}}));
	std::remove(loose.c_str());
	std::remove(other.c_str());
}

TEST(Faults, EntriesWithNothingToRepairAreNeverWritten)
{
	// Every entry lies past 2048 bytes, where any write would fail; the
	// report files stay below.
	bytes image = sample::archive(sample::mixed_entries(false));
	run_limits limits;
	limits.file_size = 2048;
	run_result r = run_on(image, &limits);
	EXPECT_EQ(r.out, "Patching player.txd patched 0 textures\nPatching TITLES.TXD patched 0 textures\n"
	                 "Patching hud.txd patched 0 textures\nPatching empty.txd patched 0 textures\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.after, image);
}

TEST(Faults, DryRunNeedsNoWriteAccess)
{
	// Read-only, and bound by that even when the tests run as root, who
	// could write it all the same.
	std::string path = scratch_path("archive.img");
	bytes image = sample::archive({{"a.txd", broken_txd}});
	write_file(path, image);
	ASSERT_EQ(chmod(path.c_str(), 0444), 0);
	run_limits limits;
	limits.unprivileged = true;
	run_result r = run_tool({"-n", path}, &limits);
	EXPECT_EQ(r.out + r.err, "Patching a.txd patched 2 textures\n");
	EXPECT_EQ(r.status, 0);
	r = run_tool({path}, &limits);
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: " + path + ": Permission denied\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), image);
	std::remove(path.c_str());
}

TEST(Faults, SpecialFilesAreRefusedBeforeAnOpenForWriting)
{
	// Opened for writing, this FIFO would say "Permission denied".
	std::string fifo = scratch_path("fifo");
	ASSERT_EQ(mkfifo(fifo.c_str(), 0444), 0);
	run_limits limits;
	limits.unprivileged = true;
	run_result r = run_tool({fifo}, &limits);
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: " + fifo + ": not a regular file\n");
	EXPECT_EQ(r.status, 1);
	std::remove(fifo.c_str());
}

TEST(Faults, StandardOutputIsNeverTheArchive)
{
	bytes image = sample::archive({{"a.txd", broken_txd}});
	std::string path = scratch_path("archive.img");
	write_file(path, image);
	run_limits limits;
	limits.stdout_path = path.c_str();
	limits.stdout_append = true;
	run_result r = run_tool({path}, &limits);
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": input file is output file\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), image);
	std::remove(path.c_str());
}

// As an ordinary user: a folder that cannot be listed and a file that
// cannot be read are reported and the search goes on; an archive that
// can be read but not written is reported as a FILE operand would be.
TEST(FolderFaults, UnreadableFoldersAndFilesAreReportedAndPassed)
{
	std::string root = scratch_path("game");
	bytes image = sample::archive({{"a.txd", broken_txd}});
	ASSERT_TRUE(std::filesystem::create_directories(root + "/locked"));
	for (const char *name : {"locked/a.img", "ok.img", "ro.img", "secret.img"})
		write_file(root + "/" + name, image);
	ASSERT_EQ(chmod((root + "/locked").c_str(), 0), 0);
	ASSERT_EQ(chmod((root + "/secret.img").c_str(), 0), 0);
	ASSERT_EQ(chmod((root + "/ro.img").c_str(), 0444), 0);
	run_limits limits;
	limits.unprivileged = true;
	run_result r = run_tool({root}, &limits);
	EXPECT_EQ(r.out, root + "/ok.img: " + a_line);
	EXPECT_EQ(r.err, "txd-depth-fix: " + root + "/locked: cannot list the folder: Permission denied\n"
	                 "txd-depth-fix: " + root + "/ro.img: Permission denied\n"
	                 "txd-depth-fix: " + root + "/secret.img: Permission denied\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(root + "/ro.img"), image);
	chmod((root + "/locked").c_str(), 0700);
	EXPECT_EQ(read_file(root + "/locked/a.img"), image);
	std::filesystem::remove_all(root);
}

// 300 levels whose path is longer than PATH_MAX: nothing recurses, and
// every level opens below the one before.
TEST(FolderFaults, DeepTreeLongerThanAPath)
{
	std::string root = scratch_path("deep"), shown = root, name(20, 'd');
	ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
	int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY);
	for (int level = 0; level < 300 && folder >= 0; level++) {
		ASSERT_EQ(mkdirat(folder, name.c_str(), 0700), 0);
		int inner = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
		close(folder);
		folder = inner;
		shown += "/" + name;
	}
	bytes image = sample::archive({{"a.txd", broken_txd}});
	int fd = openat(folder, "deep.img", O_WRONLY | O_CREAT, 0600);
	ASSERT_TRUE(fd >= 0 && write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()));
	close(fd);
	ASSERT_GT(shown.size(), 6000u);
	run_result r = run_tool({root});
	EXPECT_EQ(r.out + r.err, shown + "/deep.img: " + a_line);
	EXPECT_EQ(r.status, 0);
	bytes after(image.size());
	fd = openat(folder, "deep.img", O_RDONLY);
	EXPECT_TRUE(fd >= 0 && read(fd, after.data(), after.size()) == static_cast<ssize_t>(after.size()));
	EXPECT_EQ(after, sample::archive({{"a.txd", fixed_txd}}));
	close(fd);
	close(folder);
	EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
}

// A descriptor per level of the path and per file in hand, never more: a
// hundred folders side by side fit in 16 descriptors.
TEST(FolderFaults, WideTreeHoldsNoDescriptorOfAFolderLeft)
{
	std::string root = scratch_path("wide"), expected;
	for (int i = 100; i < 200; i++) {
		std::string folder = root + "/f" + std::to_string(i);
		ASSERT_TRUE(std::filesystem::create_directories(folder));
		write_file(folder + "/a.img", sample::archive({{"a.txd", broken_txd}}));
		expected += folder + "/a.img: " + a_line;
	}
	run_limits limits;
	limits.open_files = 16;
	run_result r = run_tool({"-q", root}, &limits);
	EXPECT_EQ(r.out + r.err, expected);
	EXPECT_EQ(r.status, 0);
	std::filesystem::remove_all(root);
}

// Four runs writing into one file at once, as xargs -P4 does: every line
// arrives whole.
TEST(FolderFaults, ConcurrentRunsNeverTearALine)
{
	if (under_emulator())
		GTEST_SKIP() << "the shell would run under the emulator too";
	std::vector<entry> entries;
	for (int i = 0; i < 300; i++)
		entries.push_back({"a-long-line-" + std::to_string(i) + ".txd", broken_txd});
	std::string script, expected;
	std::vector<std::string> lines;
	for (int run = 0; run < 4; run++) {
		std::string path = scratch_path(std::to_string(run) + ".img");
		write_file(path, sample::archive(entries));
		script += std::string(TXD_DEPTH_FIX) + " -nH '" + path + "' & ";
		for (const entry &e : entries)
			lines.push_back(path + ": Patching " + e.name + " patched 2 textures");
	}
	run_result r = run_tool_program("/bin/sh", {"-c", script + "wait"});
	std::vector<std::string> got;
	std::istringstream in(r.out);
	for (std::string line; std::getline(in, line);)
		got.push_back(line);
	std::sort(got.begin(), got.end());
	std::sort(lines.begin(), lines.end());
	EXPECT_EQ(got, lines);
	for (int run = 0; run < 4; run++)
		std::remove(scratch_path(std::to_string(run) + ".img").c_str());
}

// -p keeps both times of a written file; without it the write moves the
// modification time. A backup that cannot be made whole (a file-size
// limit) leaves the file untouched and no half backup behind.
TEST(FolderFaults, KeptTimesAndAFullDiskBackup)
{
	std::string path = scratch_path("archive.img");
	bytes image = sample::archive(three_broken);
	const timespec old_times[2] = {{1000000000, 987654321}, {1000000500, 123456789}};
	for (bool preserve : {true, false}) {
		write_file(path, image);
		ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
		run_result r = run_tool(preserve ? std::vector<std::string>{"-pq", path} : std::vector<std::string>{"-q", path});
		EXPECT_EQ(r.status, 0);
		struct stat st;
		ASSERT_EQ(stat(path.c_str(), &st), 0);
		EXPECT_EQ(st.st_mtim.tv_sec == old_times[1].tv_sec && st.st_mtim.tv_nsec == old_times[1].tv_nsec, preserve);
		EXPECT_TRUE(!preserve || (st.st_atim.tv_sec == old_times[0].tv_sec && st.st_atim.tv_nsec == old_times[0].tv_nsec));
	}
	write_file(path, image);
	run_limits limits;
	limits.file_size = 2 * 2048;
	run_result r = run_tool({"-b", path}, &limits);
	EXPECT_EQ(r.out, "Patching a.txd patched 2 textures\nPatching b.txd patched 2 textures\nPatching c.txd patched 2 textures\n");
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ".bak: no backup made, so the file is left unchanged: File too large\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), image);
	EXPECT_FALSE(std::filesystem::exists(path + ".bak"));
	// A backup of several MiB is whole; a second backup run over the
	// repaired file is silent and keeps the backup.
	image.resize((5 << 20) / 2 + 2048, 0x5A);
	write_file(path, image);
	EXPECT_EQ(run_tool({"-bq", path}).status, 0);
	run_result again = run_tool({"-bq", path});
	EXPECT_EQ(again.out + again.err, "");
	EXPECT_EQ(again.status, 0);
	EXPECT_EQ(read_file(path + ".bak"), image);
	struct stat bak;
	mode_t mask = umask(0);
	umask(mask);
	EXPECT_EQ(stat((path + ".bak").c_str(), &bak), 0);
	EXPECT_EQ(bak.st_mode & 0777, 0666 & ~mask); // as any new file
	std::remove(path.c_str());
	std::remove((path + ".bak").c_str());
}

#ifdef TXD_SANITIZED
const bool sanitized = true;
#else
const bool sanitized = false;
#endif

// RLIMIT_AS would starve the sanitizers' shadow memory or the emulator.
#define NEEDS_PLAIN_ALLOCATOR()                                                                                        \
	if (sanitized || under_emulator())                                                                             \
	GTEST_SKIP() << "no address-space limit under sanitizers or emulators"

TEST(Faults, EntryTooLargeForMemoryIsSkipped)
{
	NEEDS_PLAIN_ALLOCATOR();
	// b, listed second but stored last, claims 32 MiB that the file holds;
	// a 24 MiB address space cannot hold it.
	std::vector<entry> entries = three_broken;
	entries[2].offset = 2;
	entries[1].offset = 3;
	entries[1].sectors = 16 * 1024;
	std::vector<entry> expected = entries;
	expected[0].data = expected[2].data = fixed_txd;
	bytes before = sample::archive(entries), after = sample::archive(expected);
	before.resize((3 + 16 * 1024) * 2048, 0);
	after.resize(before.size(), 0);
	std::string path;
	run_limits limits;
	limits.address_space = 24 << 20;
	run_result r = run_on(before, &limits, &path);
	EXPECT_EQ(r.out, "Patching a.txd patched 2 textures\nPatching b.txd patched 0 textures\n"
	                 "Patching c.txd patched 2 textures\n");
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": b.txd: not enough memory for the entry\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.after, after);
}

TEST(Faults, FullStdoutIsAFailure)
{
	run_limits limits;
	limits.stdout_path = "/dev/full";
	run_result r = run_on(sample::archive(three_broken), &limits);
	EXPECT_EQ(r.err, "txd-depth-fix: standard output: No space left on device\n");
	EXPECT_EQ(r.status, 1);
}

TEST(Faults, DirectoryTooLargeForMemoryIsReported)
{
	NEEDS_PLAIN_ALLOCATOR();
	// Records really present in a sparse file: a million in 32 MiB, and
	// 2^27 + 1, whose 4 GiB a 32-bit size_t cannot even count.
	for (std::uint32_t records : {1u << 20, (1u << 27) + 1}) {
		std::string path = scratch_path("sparse.img");
		bytes head = header("VER2", records);
		std::uint64_t size = 8 + std::uint64_t{records} * 32;
		write_sparse(path, size, {{0, head}});
		run_limits limits;
		limits.address_space = 24 << 20;
		run_result r = run_tool({path}, &limits);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": not enough memory for a directory of " +
		                     std::to_string(records) + " entries\n");
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(read_at(path, 0, 8), head);
		EXPECT_EQ(std::filesystem::file_size(path), size);
		std::remove(path.c_str());
	}
}

TEST(Faults, HugeCountAllocatesOnlyWhatTheFileHolds)
{
	NEEDS_PLAIN_ALLOCATOR();
	bytes image = cat({header("VER2", 0x7FFFFFFF), sample::dir_record(1, 1, "a.txd"), bytes(2048 - 40, 0),
	                   whole_sector(broken_txd)});
	std::string path;
	run_limits limits;
	limits.address_space = 24 << 20;
	run_result r = run_on(image, &limits, &path);
	EXPECT_EQ(r.out, "Patching a.txd patched 2 textures\n");
	// The rest of the 4096-byte file, entry included, is read as directory.
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": directory lists 2147483647 entries but only 127 are in the file\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.after, cat({header("VER2", 0x7FFFFFFF), sample::dir_record(1, 1, "a.txd"), bytes(2048 - 40, 0),
	                        whole_sector(fixed_txd)}));
}

// A write stopped part way, as by a power cut, leaves each byte either old
// or repaired, and a second run completes the repair.
TEST(Faults, TornWriteIsReportedAndFinishedByASecondRun)
{
	std::vector<texture> broken_set, fixed_set;
	for (char c = 'a'; c < 'g'; c++) {
		broken_set.push_back({std::string(1, c), 0x100, 4, 32, 16});
		fixed_set.push_back({std::string(1, c), 0x100, 16, 32, 16});
	}
	const bytes before = sample::archive({{"torn.txd", texture_dictionary(broken_set)}});
	const bytes repaired = sample::archive({{"torn.txd", texture_dictionary(fixed_set)}});
	for (std::size_t limit = 2048; limit < before.size(); limit += 512) {
		SCOPED_TRACE("file size limit " + std::to_string(limit));
		std::string path = scratch_path("archive.img");
		write_file(path, before);
		run_limits limits;
		limits.file_size = limit;
		run_result torn = run_tool({path}, &limits);
		bytes after = read_file(path);
		EXPECT_EQ(torn.out, "Patching torn.txd patched 6 textures\n");
		EXPECT_EQ(torn.err, "txd-depth-fix: " + path + ": torn.txd: write failed: File too large\n");
		EXPECT_EQ(torn.status, 1);
		EXPECT_EQ(invariant::archive_violation(before, after, false), "");
		bytes expected(repaired.begin(), repaired.begin() + static_cast<std::ptrdiff_t>(limit));
		expected.insert(expected.end(), before.begin() + static_cast<std::ptrdiff_t>(limit), before.end());
		EXPECT_EQ(after, expected);

		std::size_t left = 0;
		for (std::size_t i = limit; i < before.size(); i++)
			left += before[i] != repaired[i];
		run_result rerun = run_tool({path});
		EXPECT_EQ(rerun.out, "Patching torn.txd patched " + std::to_string(left) + " textures\n");
		EXPECT_EQ(rerun.status, 0);
		EXPECT_EQ(read_file(path), repaired);
		std::remove(path.c_str());
	}
}

// How the tool was started: a standard descriptor closed, or standard
// output a pipe whose reader has gone. The archive comes out exactly as in
// a normal run, and a lost report is a failure.
struct start_case {
	const char *what;
	int closed_fd;
	bool reader_gone;
	bytes before;
	std::string out, err; // @ stands for the archive's path
	bytes after;
};

void PrintTo(const start_case &c, std::ostream *os)
{
	*os << c.what;
}

class Start : public ::testing::TestWithParam<start_case> {};

TEST_P(Start, LeavesTheArchiveAsANormalRunDoes)
{
	const start_case &c = GetParam();
	run_limits limits;
	limits.closed_fd = c.closed_fd;
	limits.stdout_reader_gone = c.reader_gone;
	std::string path;
	run_result r = run_on(c.before, &limits, &path);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err, with_path(c.err, path));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.after, c.after);
}

// Enough entries that their report lines overflow a stdio buffer mid-run.
std::vector<entry> many_entries(const bytes &txd)
{
	std::vector<entry> entries;
	for (int i = 0; i < 150; i++)
		entries.push_back({"e" + std::to_string(i) + ".txd", txd});
	return entries;
}

// A count the file cannot hold, reported while the archive is still open.
bytes count_past_the_file(const bytes &txd)
{
	return cat({header("VER2", 1000), sample::dir_record(1, 1, "a.txd"), bytes(2048 - 40, 0), whole_sector(txd)});
}

// A diagnostic, which flushes the report line before it, then an entry.
bytes report_then_entry(const bytes &txd)
{
	return cat({header("VER2", 2), sample::dir_record(9, 1, "gone.txd"), sample::dir_record(1, 1, "a.txd"),
	            bytes(2048 - 72, 0), whole_sector(txd)});
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, Start,
    ::testing::Values(
        start_case{"StdoutClosed", 1, false, sample::archive(many_entries(broken_txd)), "",
                   "txd-depth-fix: standard output: Bad file descriptor\n", sample::archive(many_entries(fixed_txd))},
        start_case{"StderrClosed", 2, false, count_past_the_file(broken_txd),
                   "Patching a.txd patched 2 textures\n", "", count_past_the_file(fixed_txd)},
        start_case{"ReaderGone", -1, true, report_then_entry(broken_txd), "",
                   "txd-depth-fix: @: gone.txd: entry starts past the end of the archive\n"
                   "txd-depth-fix: standard output: Broken pipe\n",
                   report_then_entry(fixed_txd)}),
    [](const ::testing::TestParamInfo<start_case> &param) { return std::string(param.param.what); });

// Both streams on one terminal: bytes below 0x20 and 0x7F of names and
// paths, in report lines, prefixes and diagnostics alike, print as '?'.
TEST(Terminal, ControlBytesOfNamesPrintAsQuestionMarks)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
	std::FILE *tty = fdopen(open(ptsname(master), O_WRONLY | O_NOCTTY), "w");
	ASSERT_TRUE(tty != nullptr);
	std::string path = scratch_path("a\x1b[2J.img"), other = scratch_path("b.img");
	bytes image = cat({sample::archive({{"a\x1b]0;x\x07.txd", broken_txd}, {"b\x7f.txd", broken_txd},
	                                    {" c\x1f~\x20.txd", broken_txd}})});
	bytes gone = cat({header("VER2", 1), sample::dir_record(9, 1, "g\x1b.txd")});
	write_file(path, image);
	write_file(other, gone);
	char prog[] = "txd-depth-fix";
	char *argv[] = {prog, &path[0], &other[0], nullptr}, *other_only[] = {prog, &other[0], nullptr};
	EXPECT_EQ(txd_depth_fix(3, argv, tty, tty), 1);
	// Each stream by its own kind: a file keeps the bytes, the terminal not.
	std::FILE *file = std::tmpfile();
	EXPECT_EQ(txd_depth_fix(2, other_only, file, tty), 1);
	std::rewind(file);
	char kept[64] = {};
	EXPECT_EQ(std::string(kept, std::fread(kept, 1, sizeof kept, file)), "Patching g\x1b.txd patched 0 textures\n");
	std::fclose(file);
	std::fclose(tty);
	std::string shown;
	char buffer[256];
	for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
		shown.append(buffer, static_cast<std::size_t>(n));
	close(master);
	std::string a = scratch_path("a?[2J.img");
	EXPECT_EQ(shown, a + ": Patching a?]0;x?.txd patched 2 textures\r\n" + a + ": Patching b?.txd patched 2 textures\r\n" + a +
	                     ": Patching  c?~ .txd patched 2 textures\r\n" + other + ": Patching g?.txd patched 0 textures\r\n" +
	                     "txd-depth-fix: " + other + ": g?.txd: entry starts past the end of the archive\r\n" +
	                     "txd-depth-fix: " + other + ": g?.txd: entry starts past the end of the archive\r\n");
	EXPECT_EQ(read_file(path), sample::archive({{"a\x1b]0;x\x07.txd", fixed_txd}, {"b\x7f.txd", fixed_txd},
	                                            {" c\x1f~\x20.txd", fixed_txd}}));
	std::remove(path.c_str());
	std::remove(other.c_str());
}

#endif

// Whatever length the file was cut to, the run ends normally, reports the
// cut, lists the records read in full and repairs exactly what it read.
TEST(Faults, ArchiveCutAtEveryLength)
{
	const bytes whole = sample::archive({{"a.txd", whole_sector(broken_txd)}, {"b.TXD", whole_sector(broken_txd)}});
	ASSERT_EQ(whole.size(), 3u * 2048);
	for (std::size_t length = 0; length <= whole.size(); length++) {
		SCOPED_TRACE("cut at " + std::to_string(length));
		bytes before(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
		run_result r = run_on(before);
		ASSERT_EQ(invariant::archive_violation(before, r.after), "");
		ASSERT_EQ(r.out, invariant::reference_run(before).out);
		ASSERT_EQ(r.status, length < 4 || length == whole.size() ? 0 : 1);
		ASSERT_EQ(r.err.empty(), r.status == 0);
	}
}

// Hostile directories: overlapping entries and entries over the header and
// directory. Only qualifying depths inside selected entries may change.
struct hostile_case {
	const char *what;
	bytes before;
	std::string out;
};

void PrintTo(const hostile_case &c, std::ostream *os)
{
	*os << c.what;
}

class HostileDirectory : public ::testing::TestWithParam<hostile_case> {};

TEST_P(HostileDirectory, ChangesOnlyQualifyingDepths)
{
	const hostile_case &c = GetParam();
	run_result r = run_on(c.before);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(invariant::archive_violation(c.before, r.after), "");
}

// Two sectors, each holding a broken dictionary, after a header sector whose
// directory is given.
bytes two_sectors_under(std::initializer_list<bytes> records)
{
	bytes image = header("VER2", static_cast<std::uint32_t>(records.size()));
	for (const bytes &r : records)
		sample::append(image, r);
	image.resize(2048, 0);
	sample::append(image, whole_sector(broken_txd));
	sample::append(image, whole_sector(broken_txd));
	return image;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, HostileDirectory,
    ::testing::Values(
        hostile_case{"OverlappingEntries",
                     two_sectors_under({sample::dir_record(1, 2, "wide.txd"), sample::dir_record(2, 1, "inner.txd")}),
                     "Patching wide.txd patched 2 textures\nPatching inner.txd patched 2 textures\n"},
        hostile_case{"EntryOverTheDirectory",
                     two_sectors_under({sample::dir_record(0, 3, "all.txd"), sample::dir_record(1, 1, "one.txd")}),
                     "Patching all.txd patched 0 textures\nPatching one.txd patched 2 textures\n"},
        hostile_case{"EntryInsideTheHeaderSector",
                     two_sectors_under({sample::dir_record(0, 1, "head.txd"), sample::dir_record(0, 0, "none.txd")}),
                     "Patching head.txd patched 0 textures\nPatching none.txd patched 0 textures\n"}),
    [](const ::testing::TestParamInfo<hostile_case> &param) { return std::string(param.param.what); });

#ifdef TXD_FAULT_SHIM
// One stdio call fails (a read after half its bytes arrived); what the user
// sees and what is left behind. Why it failed comes from the shim, so only
// what failed is compared.
struct stdio_fault_case {
	const char *what;
	const char *fault; // the shim's call:n for it
	std::string out;
	std::string err; // one line, up to the reason; @ stands for the archive's path
	bool a_fixed, b_fixed;
	std::vector<std::string> options = {};
};

void PrintTo(const stdio_fault_case &c, std::ostream *os)
{
	*os << c.what;
}

class StdioFault : public ::testing::TestWithParam<stdio_fault_case> {};

TEST_P(StdioFault, IsReportedAndSpoilsNothing)
{
	const stdio_fault_case &c = GetParam();
	std::string path = scratch_path("archive.img");
	write_file(path, sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}}));
	run_limits limits;
	limits.fault = c.fault;
	std::vector<std::string> args = c.options;
	args.push_back(path);
	run_result r = run_tool(args, &limits);
	std::string err = with_path(c.err, path);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err.compare(0, err.size(), err), 0) << r.err;
	EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), sample::archive({{"a.txd", c.a_fixed ? fixed_txd : broken_txd},
	                                            {"b.txd", c.b_fixed ? fixed_txd : broken_txd}}));
	std::remove(path.c_str());
}

const std::string both_lines = "Patching a.txd patched 2 textures\nPatching b.txd patched 2 textures\n";
const std::string a_none = "Patching a.txd patched 0 textures\nPatching b.txd patched 2 textures\n";

INSTANTIATE_TEST_SUITE_P(
    Calls, StdioFault,
    ::testing::Values(
        stdio_fault_case{"Unbuffering", "setvbuf:2", "", "txd-depth-fix: @: Cannot allocate memory\n", false, false},
        stdio_fault_case{"HeaderRead", "fread:1", "", "txd-depth-fix: @: cannot read header: ", false, false},
        stdio_fault_case{"LooseRead", "fread:1", "", "txd-depth-fix: @: cannot read: ", false, false, {"-t"}},
        stdio_fault_case{"DirectoryReadHalfWay", "fread:2", "Patching a.txd patched 2 textures\n",
                         "txd-depth-fix: @: cannot read the directory: ", true, false},
        stdio_fault_case{"EntryReadHalfWay", "fread:3", a_none, "txd-depth-fix: @: a.txd: read failed: ", false, true},
        stdio_fault_case{"LengthSeek", "fseeko:1", "", "txd-depth-fix: @: cannot find the archive's size: ", false, false},
        stdio_fault_case{"LengthTell", "ftello:1", "", "txd-depth-fix: @: cannot find the archive's size: ", false, false},
        stdio_fault_case{"DirectorySeek", "fseeko:2", "", "txd-depth-fix: @: cannot find the archive's size: ", false, false},
        stdio_fault_case{"EntrySeek", "fseeko:3", a_none, "txd-depth-fix: @: a.txd: cannot seek to the entry: ", false, true},
        stdio_fault_case{"WriteBackSeek", "fseeko:4", both_lines, "txd-depth-fix: @: a.txd: cannot seek to write back: ", false, true},
        stdio_fault_case{"WriteBack", "fwrite:1", both_lines, "txd-depth-fix: @: a.txd: write failed: ", false, true},
        stdio_fault_case{"ArchiveClose", "fclose:1", both_lines, "txd-depth-fix: @: cannot close: ", true, true},
        stdio_fault_case{"StandardOutputClose", "fclose:2", both_lines, "txd-depth-fix: standard output: ", true, true},
        stdio_fault_case{"ReportLineLost", "stdout-fwrite:1", "Patching b.txd patched 2 textures\n",
                         "txd-depth-fix: standard output: ", true, true}),
    [](const ::testing::TestParamInfo<stdio_fault_case> &param) { return std::string(param.param.what); });

// No memory to build a line in: it goes out in pieces, but whole, from
// the first byte (every line) or from part way (a path longer than the
// line's first 256 bytes).
TEST(StdioFaults, LinesSurviveNoMemoryToHoldThem)
{
	std::string path = scratch_path(std::string(170, 'x') + ".img");
	write_file(path, sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}}));
	for (const char *fault : {"realloc-above:1", "realloc-above:300"}) {
		run_limits limits;
		limits.fault = fault;
		run_result r = run_tool({"-Hn", "--totals", path}, &limits);
		EXPECT_EQ(r.out + r.err, path + ": " + a_line + path + ": Patching b.txd patched 2 textures\n"
		                         "4 textures to repair in 1 of 1 file\n") << fault;
		EXPECT_EQ(r.status, 0);
	}
	std::remove(path.c_str());
}

// Memory runs out while a folder's names are read: the folder is reported
// and the search goes on beside it.
TEST(StdioFaults, FolderTooLargeForMemoryIsReported)
{
	std::string root = scratch_path("game");
	ASSERT_TRUE(std::filesystem::create_directories(root + "/many"));
	for (int i = 0; i < 80; i++)
		write_file(root + "/many/a-name-of-some-length-" + std::to_string(i), {});
	write_file(root + "/z.img", sample::archive({{"a.txd", broken_txd}}));
	run_limits limits;
	limits.fault = "realloc-above:2000"; // 80 names take more than 2000 bytes
	run_result r = run_tool({root}, &limits);
	EXPECT_EQ(r.out, root + "/z.img: " + a_line);
	EXPECT_EQ(r.err, "txd-depth-fix: " + root + "/many: cannot list the folder: Cannot allocate memory\n");
	EXPECT_EQ(r.status, 1);
	std::filesystem::remove_all(root);
}

// Memory runs out while the listing grows past 32 repairs: those listed
// stay listed, the rest of the run is whole, and the shortfall is said.
TEST(StdioFaults, ListingCutShortByMemoryIsReported)
{
	std::vector<texture> many, many_fixed;
	std::string listed;
	for (int i = 0; i < 40; i++) {
		many.push_back({"t" + std::to_string(i), 0x200, 8});
		many_fixed.push_back({"t" + std::to_string(i), 0x200, 16});
		if (i < 32)
			listed += "  t" + std::to_string(i) + ": 5-6-5, depth 8 -> 16\n";
	}
	std::string path = scratch_path("archive.img");
	write_file(path, sample::archive({{"many.txd", texture_dictionary(many)}}));
	run_limits limits;
	limits.fault = "realloc-above:600"; // 32 repairs fit in 512 bytes, 64 do not
	run_result r = run_tool({"-v", path}, &limits);
	EXPECT_EQ(r.out, "Patching many.txd patched 40 textures\n" + listed);
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": many.txd: not enough memory to list every repair\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), sample::archive({{"many.txd", texture_dictionary(many_fixed)}}));
	std::remove(path.c_str());
}
#endif

TEST(LargeArchive, EntriesPast2And4GiBArePatchedInPlace)
{
	const std::uint32_t at_3gib = 3u << 19, at_5gib = 5u << 19; // in sectors
	bytes head = cat({header("VER2", 2), sample::dir_record(at_3gib, 1, "three.txd"),
	                  sample::dir_record(at_5gib, 1, "five.txd")});
	std::string path = scratch_path("sparse.img");
	bytes sector_of_broken = whole_sector(broken_txd), sector_of_fixed = whole_sector(fixed_txd);
	write_sparse(path, (std::uint64_t{at_5gib} + 1) * 2048,
	             {{0, head}, {std::uint64_t{at_3gib} * 2048, sector_of_broken},
	              {std::uint64_t{at_5gib} * 2048, sector_of_broken}});

	run_result r = run_tool({path});
	EXPECT_EQ(r.out, "Patching three.txd patched 2 textures\nPatching five.txd patched 2 textures\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);

	EXPECT_EQ(read_at(path, 0, head.size()), head);
	EXPECT_EQ(read_at(path, std::uint64_t{at_3gib} * 2048, 2048), sector_of_fixed);
	EXPECT_EQ(read_at(path, std::uint64_t{at_5gib} * 2048, 2048), sector_of_fixed);
#ifdef _WIN32
	struct _stat64 st;
	ASSERT_EQ(_stat64(path.c_str(), &st), 0);
#else
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_LT(st.st_blocks, 1024); // nothing written between the entries
#endif
	EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), (std::uint64_t{at_5gib} + 1) * 2048);
	std::remove(path.c_str());
}

} // namespace
