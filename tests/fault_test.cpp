// Faults end to end: limits on files, memory and descriptors, files that
// cannot be written, how the tool was started, lines shared by several
// runs, and one chosen I/O call failing.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "invariant.h"
#include "platform/console_access.h"
#include "sample_archive.h"
#include "support.h"

using sample::cat;
using sample::entry;
using sample::header;
using sample::texture;
using sample::texture_dictionary;

namespace {

// Resource limits, FIFOs, /proc and /dev/full: faults a POSIX host can make.

TEST(Faults, UnreadableArchiveIsReported)
{
	POSIX_ONLY();
	// Opens for update, but reading its first bytes fails with EIO.
	run_result r = run_tool({"/proc/self/mem"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "txd-depth-fix: /proc/self/mem: cannot read header: Input/output error\n");
	EXPECT_EQ(r.status, 1);
}

const std::vector<entry> three_broken{{"a.txd", broken_txd}, {"b.txd", broken_txd}, {"c.txd", broken_txd}};
const std::string three_lines = a_line + b_line + "Patching c.txd patched 2 textures\n";

TEST(Faults, FailedWriteIsReportedAndTheRunGoesOn)
{
	POSIX_ONLY();
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
	                     path + ": Patching b.txd patched 0 textures, 2 still to repair\n" + path +
	                     ": Patching c.txd patched 0 textures, 2 still to repair\n");
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
	POSIX_ONLY();
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

// As an ordinary user (bound by file modes even when the tests run as
// root): a file that cannot be written is read as with -n, silently when
// it needs nothing, with one problem when it does; what it needs is still
// to repair. Owned by another user where the tests can give it one, so
// that -np, which sets no times, would fail if it did.
TEST(Faults, ReadOnlyFilesAreReadAsADryRun)
{
	POSIX_ONLY();
	std::string root = scratch_path("ro");
	ASSERT_TRUE(std::filesystem::create_directories(root));
	std::map<std::string, bytes> files{{"/a.img", sample::archive({{"a.txd", broken_txd}})},
	                                   {"/c.img", sample::archive({{"c.txd", fixed_txd}})},
	                                   {"/t.txd", sample::texture_dictionary({broken})}};
	for (const auto &[name, data] : files) {
		write_file(root + name, data);
		ASSERT_TRUE(set_mode(root + name, 0444));
		give_away(root + name);
	}
	const std::string cannot_write = ": cannot write: Permission denied\n";
	struct {
		std::vector<std::string> args;
		std::string out, err;
		int status;
	} rows[] = {
	    {{"--totals", "@/c.img"}, "Patching c.txd patched 0 textures\n0 textures repaired in 0 of 1 file\n", "", 0},
	    {{"--totals", "@/a.img"}, a_left + "0 textures repaired in 0 of 1 file, 2 still to repair, 1 problem\n",
	     "txd-depth-fix: @/a.img" + cannot_write, 1},
	    {{"-t", "--totals", "@/t.txd"}, "Patching @/t.txd patched 0 textures, 1 still to repair\n0 textures repaired in 0 of 1 file, 1 still to repair, 1 problem\n",
	     "txd-depth-fix: @/t.txd" + cannot_write, 1},
	    {{"-q", "--totals", "@"},
	     "@/a.img: " + a_left + "Patching @/t.txd patched 0 textures, 1 still to repair\n0 textures repaired in 0 of 3 files, 3 still to repair, 2 problems\n",
	     "txd-depth-fix: @/a.img" + cannot_write + "txd-depth-fix: @/t.txd" + cannot_write, 1},
	    {{"-np", "--totals", "@/a.img"}, a_found + "2 textures to repair in 1 of 1 file\n", "", 0},
	    {{"--check", "@/a.img"}, a_found, "", 1},
	};
	run_limits limits;
	limits.unprivileged = true;
	for (const auto &row : rows) {
		std::vector<std::string> args;
		for (const std::string &a : row.args)
			args.push_back(expand(a, root));
		run_result r = run_tool(args, &limits);
		EXPECT_EQ(r.out, expand(row.out, root)) << args.back();
		EXPECT_EQ(r.err, expand(row.err, root)) << args.back();
		EXPECT_EQ(r.status, row.status) << args.back();
	}
	for (const auto &[name, data] : files)
		EXPECT_EQ(read_file(root + name), data) << name;
	std::filesystem::remove_all(root);
	// A FILE in a folder that may be passed through but not listed.
	std::string passage = scratch_path("passage");
	ASSERT_TRUE(std::filesystem::create_directories(passage));
	write_file(passage + "/a.img", sample::archive({{"a.txd", broken_txd}}));
	ASSERT_TRUE(set_mode(passage, 0711));
	run_result r = run_tool({"-n", passage + "/a.img"}, &limits);
	EXPECT_EQ(r.out + r.err, a_found);
	EXPECT_EQ(r.status, 0);
	set_mode(passage, 0700);
	std::filesystem::remove_all(passage);
}

TEST(Faults, SpecialFilesAreRefusedBeforeAnOpenForWriting)
{
	POSIX_ONLY();
	// Opened for writing, this FIFO would say "Permission denied".
	std::string fifo = scratch_path("fifo");
	ASSERT_TRUE(make_fifo(fifo, 0444));
	run_limits limits;
	limits.unprivileged = true;
	run_result r = run_tool({fifo}, &limits);
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: " + fifo + ": not a regular file\n");
	EXPECT_EQ(r.status, 1);
	std::remove(fifo.c_str());
}

TEST(Faults, StandardOutputIsNeverTheArchive)
{
	POSIX_ONLY();
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

// Four runs writing into one file at once, as xargs -P4 does: every line
// arrives whole.
TEST(Faults, ConcurrentRunsNeverTearALine)
{
	POSIX_ONLY();
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
			lines.push_back(path + ": Checking " + e.name + " found 2 textures to repair");
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

// Repairs, help and a check alike: their output lost is a failure, and
// says why.
TEST(Faults, FullStdoutIsAFailure)
{
	POSIX_ONLY();
	run_limits limits;
	limits.stdout_path = "/dev/full";
	run_result r = run_on(sample::archive(three_broken), &limits);
	EXPECT_EQ(r.err, "txd-depth-fix: standard output: No space left on device\n");
	EXPECT_EQ(r.status, 1);
	for (auto [args, status] : {std::pair{std::vector<std::string>{"--help"}, 1},
	                            {std::vector<std::string>{"--check", "-V"}, 2}}) {
		r = run_tool(args, &limits);
		EXPECT_EQ(r.out + r.err, "txd-depth-fix: standard output: No space left on device\n") << args[0];
		EXPECT_EQ(r.status, status) << args[0];
	}
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

// A write stopped part way, as by a power cut or a full disk, leaves each
// byte either old or repaired; the depths that reached the file count as
// repaired and the rest as still to repair, as a check then finds them; -p
// puts the times back all the same; a second run completes the repair.
TEST(Faults, TornWriteIsCountedAsItLandedAndFinishedByASecondRun)
{
	POSIX_ONLY();
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
#ifndef _WIN32
		const timespec kept[2] = {{1000000000, 5}, {1000000000, 5}};
		ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), kept, 0), 0);
#endif
		std::size_t left = 0;
		for (std::size_t i = limit; i < before.size(); i++)
			left += before[i] != repaired[i];
		std::string done = std::to_string(6 - left), still = std::to_string(left), listing;
		for (std::size_t i = 0; i < 6 - left; i++) // the depths lie in the textures' order
			listing += "  " + broken_set[i].name + ": 1-5-5-5, depth 4 -> 16\n";
		run_limits limits;
		limits.file_size = limit;
		run_result torn = run_tool({"-pv", "--totals", path}, &limits);
		bytes after = read_file(path);
		EXPECT_EQ(torn.out, "Patching torn.txd patched " + done + " textures" + (left > 0 ? ", " + still + " still to repair" : "") +
		                        "\n" + listing + done + (left == 5 ? " texture" : " textures") +
		                        " repaired in " + (left < 6 ? "1" : "0") + " of 1 file, " +
		                        (left > 0 ? still + " still to repair, " : "") + "1 problem\n");
		EXPECT_EQ(torn.err, "txd-depth-fix: " + path + ": torn.txd: write failed: File too large\n");
		EXPECT_EQ(torn.status, 1);
#ifndef _WIN32
		struct stat st;
		EXPECT_TRUE(stat(path.c_str(), &st) == 0 && st.st_mtim.tv_sec == kept[1].tv_sec && st.st_mtim.tv_nsec == kept[1].tv_nsec);
#endif
		EXPECT_EQ(invariant::archive_violation(before, after, false), "");
		bytes expected(repaired.begin(), repaired.begin() + static_cast<std::ptrdiff_t>(limit));
		expected.insert(expected.end(), before.begin() + static_cast<std::ptrdiff_t>(limit), before.end());
		EXPECT_EQ(after, expected);

		run_result check = run_tool({"--check", path});
		EXPECT_EQ(check.out, left > 0 ? as_checked("Patching torn.txd patched " + still + " textures\n") : "");
		EXPECT_EQ(check.status, left > 0 ? 1 : 0);
		run_result rerun = run_tool({path});
		EXPECT_EQ(rerun.out, "Patching torn.txd patched " + still + " textures\n");
		EXPECT_EQ(rerun.status, 0);
		EXPECT_EQ(read_file(path), repaired);
		std::remove(path.c_str());
	}
}

// How the tool was started: a standard descriptor closed, or standard
// output a pipe whose reader has gone. The archive comes out exactly as in
// a normal run; a lost report is a failure, but a reader that went away
// wanted no more, and the status is what it would have been.
struct start_case {
	const char *what;
	int closed_fd;
	bool reader_gone;
	bytes before;
	std::string out, err; // @ stands for the archive's path
	bytes after;
	int status = 1;
	std::vector<std::string> options = {};
};

void PrintTo(const start_case &c, std::ostream *os)
{
	*os << c.what;
}

class Start : public ::testing::TestWithParam<start_case> {};

TEST_P(Start, LeavesTheArchiveAsANormalRunDoes)
{
	const start_case &c = GetParam();
	if (c.closed_fd >= 0 && !posix)
		GTEST_SKIP() << "a closed descriptor needs POSIX";
	run_limits limits;
	limits.closed_fd = c.closed_fd;
	limits.stdout_reader_gone = c.reader_gone;
	std::string path;
	run_result r = run_on(c.before, &limits, &path, c.options);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err, expand(c.err, path));
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(r.after, c.after);
}

// Each of 0, 1 and 2, closed at the start, gets the null device opened the
// wrong way round: it still fails as a closed one would, and no file the
// run opens can take its number.
TEST(Start, ClosedStandardDescriptorsAreFilled)
{
	POSIX_ONLY();
#ifndef _WIN32
	for (int fd = 0; fd <= 2; fd++) {
		pid_t child = fork();
		if (child == 0) {
			close(fd);
			int flags = open_standard_descriptors() ? fcntl(fd, F_GETFL) : -1;
			_exit(flags != -1 && (flags & O_ACCMODE) == (fd == 0 ? O_WRONLY : O_RDONLY) ? 0 : 1);
		}
		int status = -1;
		ASSERT_EQ(waitpid(child, &status, 0), child);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << fd;
	}
#endif
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
                   "txd-depth-fix: @: gone.txd: entry starts past the end of the archive\n",
                   report_then_entry(fixed_txd)},
        // A reader that has read enough is no problem: "| head -1".
        start_case{"ReaderGoneIsNoProblem", -1, true, sample::archive(many_entries(broken_txd)), "", "",
                   sample::archive(many_entries(fixed_txd)), 0},
        start_case{"CheckIntoAReaderGone", -1, true, sample::archive(many_entries(broken_txd)), "", "",
                   sample::archive(many_entries(broken_txd)), 1, {"--check"}},
        start_case{"CheckOfNothingIntoAReaderGone", -1, true, sample::archive(many_entries(fixed_txd)), "", "",
                   sample::archive(many_entries(fixed_txd)), 0, {"--check", "--totals"}}),
    named_case<start_case>::name);

// One stdio call on the archive or on standard output fails (a read after
// half its bytes arrived); what the user sees and what is left behind. Why it failed comes from the shim, so only
// what failed is compared.
struct stdio_fault_case {
	const char *what;
	const char *fault; // the call for the shim to fail
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
	NEEDS_FAULT_SHIM();
	const stdio_fault_case &c = GetParam();
	std::string path = scratch_path("archive.img");
	write_file(path, sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}}));
	run_limits limits;
	limits.fault = c.fault;
	std::vector<std::string> args = c.options;
	args.push_back(path);
	run_result r = run_tool(args, &limits);
	std::string err = expand(c.err, path);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err.compare(0, err.size(), err), 0) << r.err;
	EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), sample::archive({{"a.txd", c.a_fixed ? fixed_txd : broken_txd},
	                                            {"b.txd", c.b_fixed ? fixed_txd : broken_txd}}));
	EXPECT_FALSE(std::filesystem::exists(path + ".ba~"));
	EXPECT_FALSE(std::filesystem::exists(path + ".bak"));
	std::remove(path.c_str());
}

const std::string both_lines = "Patching a.txd patched 2 textures\nPatching b.txd patched 2 textures\n";
const std::string both_left = a_left + "Patching b.txd patched 0 textures, 2 still to repair\n";
const std::string a_none = "Patching a.txd patched 0 textures\nPatching b.txd patched 2 textures\n";

INSTANTIATE_TEST_SUITE_P(
    Calls, StdioFault,
    ::testing::Values(
        stdio_fault_case{"LookingAtTheFile", "fstat archive.img", "", "txd-depth-fix: @: cannot look at the file: ", false, false},
        stdio_fault_case{"HeaderRead", "pread archive.img @0", "", "txd-depth-fix: @: cannot read header: ", false, false},
        stdio_fault_case{"LooseRead", "pread archive.img @0", "", "txd-depth-fix: @: cannot read: ", false, false, {"-t"}},
        stdio_fault_case{"DirectoryReadHalfWay", "pread archive.img @8", "Patching a.txd patched 2 textures\n",
                         "txd-depth-fix: @: cannot read the directory: ", true, false},
        stdio_fault_case{"EntryReadHalfWay", "pread archive.img @2048", a_none, "txd-depth-fix: @: a.txd: read failed: ",
                         false, true},
        stdio_fault_case{"WriteBack", "pwrite archive.img @2048", a_left + b_line, "txd-depth-fix: @: a.txd: write failed: ",
                         false, true},
        // Under the hold the entry is read again, and then read back after a
        // failed write: each failing leaves the entry as still to repair.
        stdio_fault_case{"EntryReadAgainUnderTheHold", "pread archive.img @2048 #2", a_left + b_line,
                         "txd-depth-fix: @: a.txd: read failed: ", false, true},
        stdio_fault_case{"ReadBackAfterAFailedWrite", "pwrite archive.img @2048; pread archive.img @2048 #3",
                         a_left + b_line + listing, "txd-depth-fix: @: a.txd: write failed: ", false, true, {"-v"}},
        stdio_fault_case{"ArchiveClose", "close archive.img #2", both_lines, "txd-depth-fix: @: cannot close: ", true, true},
        stdio_fault_case{"StandardOutputClose", "fclose stdout", both_lines, "txd-depth-fix: standard output: ", true,
                         true},
        stdio_fault_case{"ReportLineLost", "fwrite stdout", "Patching b.txd patched 2 textures\n",
                         "txd-depth-fix: standard output: ", true, true},
        stdio_fault_case{"BackupNotOnTheDisk", "fsync copy", both_left,
                         "txd-depth-fix: @.bak: no backup made, so the file is left unchanged: ", false, false, {"-b"}},
        stdio_fault_case{"BackupNotNamed", "linkat fails", both_left,
                         "txd-depth-fix: @.bak: no backup made, so the file is left unchanged: ", false, false, {"-b"}}),
    named_case<stdio_fault_case>::name);

// No memory to build a line in: it goes out in pieces, but whole, from
// the first byte (every line) or from part way (a path longer than the
// line's first 256 bytes).
TEST(StdioFaults, LinesSurviveNoMemoryToHoldThem)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path(std::string(170, 'x') + ".img");
	write_file(path, sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}}));
	for (const char *fault : {"realloc-above:1", "realloc-above:300"}) {
		run_limits limits;
		limits.fault = fault;
		run_result r = run_tool({"-Hn", "--totals", path}, &limits);
		EXPECT_EQ(r.out + r.err, path + ": " + a_found + path + ": " + b_found + "4 textures to repair in 1 of 1 file\n") << fault;
		EXPECT_EQ(r.status, 0);
	}
	std::remove(path.c_str());
}

// Memory runs out while a folder's names are read: the folder is reported
// and the search goes on beside it.
TEST(StdioFaults, FolderTooLargeForMemoryIsReported)
{
	NEEDS_FAULT_SHIM();
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
	NEEDS_FAULT_SHIM();
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

} // namespace
