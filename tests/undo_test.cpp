// Undo records: their bytes, a record read however it was cut or forged,
// and the way back after any kill, rerun or mod update.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/checksum.h"
#include "format/undo_record.h"
#include "sample_archive.h"
#include "support.h"

namespace {

bytes text(const std::string &s)
{
	return bytes(s.begin(), s.end());
}

// Test vectors of XXH64, seed 0, from the reference implementation.
TEST(Checksum, KnownVectors)
{
	bytes counting(256), long_text;
	for (int i = 0; i < 256; i++)
		counting[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
	for (int i = 0; i < 4; i++)
		long_text.insert(long_text.end(), counting.begin(), counting.end());
	long_text.insert(long_text.end(), {'x', 'y', 'z'});
	const struct {
		bytes data;
		std::uint64_t sum;
	} rows[] = {{{}, 0xef46db3751d8e999}, {text("abc"), 0x44bc2cf5ad770999},
	            {bytes(counting.begin(), counting.begin() + 100), 0x6ac1e58032166597}, {long_text, 0xe146cb31b65bc21a}};
	for (const auto &row : rows)
		EXPECT_EQ(checksum64(row.data.data(), row.data.size()), row.sum) << row.data.size();
}

// The bytes and old values where a repair of broken changes it into fixed.
std::vector<undo_change> changes_between(const bytes &broken, const bytes &fixed, std::uint64_t start)
{
	std::vector<undo_change> changes;
	for (std::size_t i = 0; i < broken.size(); i++)
		if (broken[i] != fixed[i])
			changes.push_back({start + i, broken[i]});
	return changes;
}

void put_le(bytes &out, std::uint64_t v, int n)
{
	for (int i = 0; i < n; i++)
		out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void put_varint(bytes &out, std::uint64_t v)
{
	for (; v >= 0x80; v >>= 7)
		out.push_back(static_cast<unsigned char>(v | 0x80));
	out.push_back(static_cast<unsigned char>(v));
}

// A record of one block, written field by field as the format says.
bytes record_of(const std::vector<std::pair<bytes, std::vector<undo_change>>> &entries, const std::vector<std::uint64_t> &starts)
{
	bytes body;
	for (std::size_t i = 0; i < entries.size(); i++) {
		const bytes &written = entries[i].first;
		put_varint(body, starts[i]);                                // start
		put_varint(body, written.size());                           // length
		put_le(body, checksum64(written.data(), written.size()), 8); // the entry as written
		put_varint(body, entries[i].second.size());                 // changes
		std::uint64_t from = starts[i];
		for (const undo_change &c : entries[i].second) {
			put_varint(body, c.at - from); // distance from the last
			body.push_back(c.was);         // what it held
			from = c.at;
		}
	}
	bytes record = text("TXDUNDO1");
	put_le(record, body.size(), 4);
	record.insert(record.end(), body.begin(), body.end());
	put_le(record, checksum64(body.data(), body.size()), 8);
	return record;
}

const bytes a_broken = sample::archive({{"a.txd", broken_txd}}), a_fixed = sample::archive({{"a.txd", fixed_txd}});

// The record -u keeps of the one entry of a.img, which starts at sector 1.
bytes a_record()
{
	bytes written(a_fixed.begin() + 2048, a_fixed.end());
	return record_of({{written, changes_between(bytes(a_broken.begin() + 2048, a_broken.end()), written, 2048)}}, {2048});
}

TEST(UndoRecord, BytesOfAKnownRepair)
{
	std::string path = scratch_path("a.img");
	write_file(path, a_broken);
	run_result r = run_tool({"-uv", path});
	EXPECT_EQ(r.out + r.err, path + ": undo kept in " + path + ".undo\n" + a_line + listing);
	EXPECT_EQ(read_file(path + ".undo"), a_record());
	r = run_tool({"--restore", path});
	EXPECT_EQ(r.out + r.err, "Restored " + path + " from " + path + ".undo\n");
	EXPECT_EQ(read_file(path), a_broken);
	EXPECT_FALSE(std::filesystem::exists(path + ".undo"));
	std::remove(path.c_str());
}

// Cut anywhere, a record reads as its whole blocks; forged counts and
// distances are never followed past its end.
TEST(UndoRecord, CutOrForgedIsReadSafely)
{
	bytes two = a_record(), second = a_record();
	two.insert(two.end(), second.begin() + 8, second.end());
	const std::size_t block = second.size() - 8;
	for (std::size_t n = 0; n <= two.size(); n++) {
		undo_record record;
		undo_reading reading = decode_undo_record(two.data(), n, record);
		EXPECT_EQ(reading, n < 8 ? UNDO_NOT_A_RECORD : UNDO_READ) << n;
		std::size_t blocks = n < 8 ? 0 : (n - 8) / block;
		EXPECT_EQ(record.count, blocks) << n;
		EXPECT_EQ(record.whole, 8 + blocks * block) << n;
		release_undo_record(record);
	}
	// The body: start (2 bytes), length (2), checksum (8), the number of
	// changes (1), then each change's distance (2) and old value. Forged bytes
	// are sealed again, as a forger would.
	const struct {
		const char *what;
		std::size_t at;
		unsigned char value;
		bool sealed;
	} forged[] = {{"HugeBodyLength", 11, 0x7f, false}, {"BadSeal", 13, 0x01, false},
	              {"ChangeCountPastTheBody", 12 + 12, 0x7f, true}, {"DistancePastTheEntry", 12 + 14, 0x7f, true},
	              {"VarintWithoutEnd", 12 + 12, 0x80, true}};
	for (const auto &f : forged) {
		bytes image = a_record();
		image[f.at] ^= f.value;
		std::size_t body = image.size() - 12 - 8;
		if (f.sealed) {
			std::uint64_t seal = checksum64(image.data() + 12, body);
			for (int i = 0; i < 8; i++)
				image[12 + body + static_cast<std::size_t>(i)] = static_cast<unsigned char>(seal >> (8 * i));
		}
		undo_record record;
		EXPECT_EQ(decode_undo_record(image.data(), image.size(), record), UNDO_READ) << f.what;
		EXPECT_EQ(record.count, 0u) << f.what;
		release_undo_record(record);
	}
}

// What another program or user changed since a record was kept: a mod
// that replaced an entry (between two -u runs) keeps its entry, named; a
// record anyone else could write, or none of ours, is never followed.
TEST(Undo, WhatOthersChangedIsLeftAlone)
{
	POSIX_ONLY();
	std::string path = scratch_path("m.img"), record = path + ".undo";
	const bytes mod = sample::texture_dictionary({{"gate", 0x200, 8}, {"wall", 0x300, 16}});
	const bytes original = sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}});
	const bytes modded = sample::archive({{"a.txd", fixed_txd}, {"b.txd", mod}});
	const struct {
		const char *what;
		std::function<void()> then; // after a -u run on original
		std::vector<std::string> args;
		std::string out, err;
		int status;
		bytes after;
		bool record_kept;
	} rows[] = {
	    {"AModBetweenTwoRuns", [&] { write_file(path, modded), run_tool({"-uq", path}); }, {"--restore", path}, "",
	     "txd-depth-fix: @: b.txd: left alone: changed since\n", 1, sample::archive({{"a.txd", broken_txd}, {"b.txd", mod}}), true},
	    {"ARecordOthersCouldWrite", [&] { set_mode(record, 0666); }, {"--restore", path}, "",
	     "txd-depth-fix: @: left alone: an undo record another user could change: @.undo\n", 1,
	     sample::archive({{"a.txd", fixed_txd}, {"b.txd", fixed_txd}}), true},
	    {"AddingToARecordOthersCouldWrite", [&] { set_mode(record, 0666), write_file(path, original); }, {"-u", path},
	     a_left + "Patching b.txd patched 0 textures, 2 still to repair\n",
	     "txd-depth-fix: @.undo: an undo record another user could change\n"
	     "txd-depth-fix: @: no undo record kept, so the file is left unchanged\n", 1, original, true},
	    {"AddingToARecordTooLarge", [&] { write_sparse(record, UNDO_LARGEST + 1, {{0, text("TXDUNDO1")}}), write_file(path, original); },
	     {"-u", path}, a_left + "Patching b.txd patched 0 textures, 2 still to repair\n",
	     "txd-depth-fix: @.undo: too large for an undo record\n"
	     "txd-depth-fix: @: no undo record kept, so the file is left unchanged\n", 1, original, true},
	    {"NoRecordOfOurs", [&] { write_file(record, text("TXDUNDO0 and more")); }, {"--restore", path}, "",
	     "txd-depth-fix: @.undo: not an undo record\n", 1, sample::archive({{"a.txd", fixed_txd}, {"b.txd", fixed_txd}}), true},
	};
	for (const auto &row : rows) {
		write_file(path, original);
		std::remove(record.c_str());
		ASSERT_EQ(run_tool({"-uq", path}).status, 0);
		row.then();
		run_result r = run_tool(row.args);
		EXPECT_EQ(r.out, row.out) << row.what;
		EXPECT_EQ(r.err, expand(row.err, path)) << row.what;
		EXPECT_EQ(r.status, row.status) << row.what;
		EXPECT_EQ(read_file(path), row.after) << row.what;
		EXPECT_EQ(std::filesystem::exists(record), row.record_kept) << row.what;
	}
	std::remove(path.c_str());
	std::remove(record.c_str());
}

#ifndef _WIN32
// Three dictionaries to repair; the run is killed just before each of its
// writes in turn, then run again with -u: one restore gives the original
// every time, and takes the record away.
TEST(Undo, KilledAnywhereThenRerunThenOneRestore)
{
	NEEDS_FAULT_SHIM();
	const bytes original = sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}, {"c.txd", broken_txd}});
	std::string path = scratch_path("k.img");
	for (const char *stop : {"stop pwrite copy", "stop fsync copy", "stop pwrite k.img #1", "stop pwrite k.img #2",
	                         "stop pwrite k.img #3"}) {
		write_file(path, original);
		run_limits limits;
		limits.fault = stop;
		limits.killed_when_stopped = true;
		EXPECT_EQ(run_tool({"-uq", path}, &limits).status, -1) << stop;
		EXPECT_EQ(run_tool({"-uq", path}).status, 0) << stop;
		run_result r = run_tool({"--restore", path});
		EXPECT_EQ(r.out + r.err, "Restored " + path + " from " + path + ".undo\n") << stop;
		EXPECT_EQ(read_file(path), original) << stop;
		EXPECT_FALSE(std::filesystem::exists(path + ".undo")) << stop;
	}
	std::remove(path.c_str());
}

// A record that cannot be made or added to: the file is left as it was,
// and a later run still finds a record it can read.
TEST(Undo, RecordThatCannotBeWritten)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("a.img"), record = path + ".undo";
	const bytes ab = sample::archive({{"a.txd", broken_txd}, {"b.txd", fixed_txd}});
	const struct {
		const char *fault;
		bool earlier; // a record of an earlier run is there
		std::string err;
	} rows[] = {{"fsync copy", false, "txd-depth-fix: @.undo: cannot make the undo record: Input/output error\n"},
	            {"pwrite a.img.undo", true, "txd-depth-fix: @.undo: cannot write the undo record: Input/output error\n"}};
	for (const auto &row : rows) {
		write_file(path, ab);
		std::remove(record.c_str());
		if (row.earlier) { // a run that repaired b.txd, since put back as it was
			write_file(path, sample::archive({{"a.txd", fixed_txd}, {"b.txd", broken_txd}}));
			ASSERT_EQ(run_tool({"-uq", path}).status, 0);
			write_file(path, ab);
		}
		bytes kept = row.earlier ? read_file(record) : bytes{};
		run_limits limits;
		limits.fault = row.fault;
		run_result r = run_tool({"-u", path}, &limits);
		EXPECT_EQ(r.out, a_left + "Patching b.txd patched 0 textures\n") << row.fault;
		EXPECT_EQ(r.err, expand(row.err + "txd-depth-fix: @: no undo record kept, so the file is left unchanged\n", path))
		    << row.fault;
		EXPECT_EQ(r.status, 1) << row.fault;
		EXPECT_EQ(read_file(path), ab) << row.fault;
		EXPECT_EQ(std::filesystem::exists(record), row.earlier) << row.fault;
		if (row.earlier) {
			EXPECT_EQ(read_file(record), kept) << row.fault;
		}
	}
	std::remove(path.c_str());
	std::remove(record.c_str());
}
// Where files without a name cannot be made, a record is made under
// PATH.und~: one a killed run left there is cleared, anything else there
// is named and left.
TEST(Undo, WhatAKilledRunLeftUnderTheTemporaryName)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("a.img");
	const struct {
		bytes left; // under a.img.und~
		std::string err;
		bool repaired;
	} rows[] = {{text("TXDUN"), "", true},
	            {text("a note of mine"), "txd-depth-fix: @.und~: cannot make the undo record: File exists\n"
	                                     "txd-depth-fix: @: no undo record kept, so the file is left unchanged\n", false}};
	for (const auto &row : rows) {
		write_file(path, a_broken);
		write_file(path + ".und~", row.left);
		run_limits limits;
		limits.fault = "unnamed refused";
		run_result r = run_tool({"-uq", path}, &limits);
		EXPECT_EQ(r.err, expand(row.err, path));
		EXPECT_EQ(read_file(path), row.repaired ? a_fixed : a_broken);
		EXPECT_EQ(std::filesystem::exists(path + ".undo"), row.repaired);
		EXPECT_EQ(std::filesystem::exists(path + ".und~"), !row.repaired);
		for (const char *suffix : {"", ".undo", ".und~"})
			std::remove((path + suffix).c_str());
	}
}
#endif

} // namespace
