// One archive end to end: what the tool prints for it and leaves of it,
// byte for byte, for sound, hostile, cut and very large archives.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include "invariant.h"
#include "sample_archive.h"
#include "support.h"

using sample::cat;
using sample::header;
using sample::texture;
using sample::texture_dictionary;

namespace {

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
	EXPECT_EQ(r.err, expand(c.err, path));
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

// An archive cut short before 105 of its entries, as by an interrupted
// copy: each is still counted, but the kind is listed three times.
bytes cut_before_entries()
{
	bytes image = header("VER2", 105);
	for (int i = 0; i < 105; i++)
		sample::append(image, sample::dir_record(static_cast<std::uint32_t>(9 + i), 1, "e" + std::to_string(i) + ".txd"));
	return image;
}

std::string lines_of_cut_entries()
{
	std::string lines;
	for (int i = 0; i < 105; i++)
		lines += "Patching e" + std::to_string(i) + ".txd patched 0 textures\n";
	return lines + "0 textures repaired in 0 of 1 file, 105 problems\n";
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
        archive_case{"OneRecordOfThree", cat({header("VER2", 3), sample::dir_record(9, 1, "a.txd")}),
                     "Patching a.txd patched 0 textures\n",
                     "txd-depth-fix: @: a.txd: entry starts past the end of the archive\n"
                     "txd-depth-fix: @: directory lists 3 entries but only 1 is in the file\n",
                     1, cat({header("VER2", 3), sample::dir_record(9, 1, "a.txd")})},
        archive_case{"ProblemsOfOneKindFold", cut_before_entries(), lines_of_cut_entries(),
                     "txd-depth-fix: @: e0.txd: entry starts past the end of the archive\n"
                     "txd-depth-fix: @: e1.txd: entry starts past the end of the archive\n"
                     "txd-depth-fix: @: e2.txd: entry starts past the end of the archive\n"
                     "txd-depth-fix: @: ... and 102 more entries: entry starts past the end of the archive\n",
                     1, cut_before_entries(), {"--totals"}},
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
    named_case<archive_case>::name);

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

// Whatever length the file was cut to, the run ends normally, reports the
// cut, lists the records read in full and repairs exactly what it read.
TEST(CutArchive, EveryLengthEndsNormally)
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
    named_case<hostile_case>::name);

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
	EXPECT_EQ(std::filesystem::file_size(path), (std::uint64_t{at_5gib} + 1) * 2048);
#ifndef _WIN32
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_LT(st.st_blocks, 1024); // nothing written between the entries
#endif
	std::remove(path.c_str());
}

} // namespace
