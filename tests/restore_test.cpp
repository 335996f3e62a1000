// --restore end to end: a repaired file put back from its newest backup,
// only when it differs from it in repaired depths alone, in place, and
// finished by the next restore when one is stopped part way.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "invariant.h"
#include "sample_archive.h"
#include "support.h"

using sample::cat;
using sample::header;

namespace {

#ifdef _WIN32
#define SEP "\\"
#else
#define SEP "/"
#endif

const bytes a_broken = sample::archive({{"a.txd", broken_txd}}), a_fixed = sample::archive({{"a.txd", fixed_txd}});
const bytes b_broken = sample::archive({{"b.txd", broken_txd}});

// Every file in folder and its bytes; links are not followed.
std::map<std::string, bytes> files_in(const std::string &folder)
{
	std::map<std::string, bytes> files;
	for (const auto &e : std::filesystem::directory_iterator(std::filesystem::u8path(folder)))
		if (!e.is_symlink())
			files[e.path().filename().u8string()] = read_file(e.path().u8string());
	return files;
}

// Repairs each of files (name and bytes) in root with -b (or as asked)
// first, then makes what else the case needs.
struct restore_case {
	const char *what;
	std::map<std::string, bytes> repaired;
	std::function<void(const std::string &root)> then;
	std::vector<std::string> args; // @ stands for the folder
	std::string out, err;
	int status;
	std::map<std::string, bytes> after;
	const char *repaired_with = "-bq";
};

void PrintTo(const restore_case &c, std::ostream *os)
{
	*os << c.what;
}

class Restore : public ::testing::TestWithParam<restore_case> {};

TEST_P(Restore, PutsBackOnlyWhatARepairChanged)
{
	const restore_case &c = GetParam();
	std::string root = scratch_path("r");
	ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path(root)));
	for (const auto &[name, data] : c.repaired) {
		write_file(root + "/" + name, data);
		ASSERT_EQ(run_tool({c.repaired_with, root + "/" + name}).status, 0);
	}
	if (c.then)
		c.then(root);
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(expand(a, root));
	run_result r = run_tool(args);
	bool json = std::find(c.args.begin(), c.args.end(), "--json") != c.args.end();
	EXPECT_EQ(r.out, expand(c.out, json ? json_text(root) : root));
	EXPECT_EQ(r.err, expand(c.err, root));
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(files_in(root), c.after);
	std::filesystem::remove_all(std::filesystem::u8path(root));
}

// Two entries over one sector, as a hostile directory may list them: a.txd
// over sectors 1 and 2, b.txd over sector 2 alone. A texture of a.txd has
// its depth where b.txd's first chunk keeps its size, so a's repair (8 to
// 16) moves b's walk onto a texture that only then needs repair. Offsets
// are within a.txd, which starts at byte 2048.
bytes overlapping()
{
	bytes image = cat({header("VER2", 2), sample::dir_record(1, 2, "a.txd"), sample::dir_record(2, 1, "b.txd")});
	image.resize(3 * 2048, 0);
	auto put = [&](std::size_t at, std::initializer_list<unsigned char> field) {
		std::copy(field.begin(), field.end(), image.begin() + static_cast<std::ptrdiff_t>(2048 + at));
	};
	put(0, {3, 0, 0, 0, 0x8C, 0x07, 0, 0});      // an opaque chunk of 1932 bytes
	put(1944, {0x15, 0, 0, 0, 97, 0, 0, 0});     // a texture native ending at 2053, where a zero type ends a's walk
	put(1944 + 96, {0, 2, 0, 0});                 // 5-6-5
	put(2048, {0x15, 0, 0, 0, 8, 0, 0, 0});       // b's first chunk: its size is a's depth, 8
	put(2048 + 28, {0x15, 0, 0, 0, 200, 0, 0, 0}); // reached by b's walk only once that size is 16
	put(2048 + 28 + 96, {0, 2, 0, 0});            // 5-6-5
	put(2048 + 28 + 108, {8});                    // depth 8
	return image;
}

void change_byte(const std::string &path, std::size_t at, unsigned char value)
{
	bytes data = read_file(path);
	data[at] = value;
	write_file(path, data);
}

std::vector<restore_case> restore_cases()
{
	const std::size_t depth = 2048 + invariant::reference_repairs(broken_txd)[0]; // the first texture's depth
	std::vector<restore_case> cases{
	    {"FromTheBackup", {{"a.img", a_broken}}, nullptr, {"--restore", "@/a.img"}, "Restored @/a.img from @/a.img.bak\n",
	     "", 0, {{"a.img", a_broken}}},
	    {"AsJsonLines", {{"a.img", a_broken}}, [](const std::string &root) { write_file(root + "/c.img", a_fixed); },
	     {"--json", "--restore", "@/a.img", "@/c.img"},
	     "{\"type\":\"restored\",\"path\":{\"text\":\"@/a.img\"},\"from\":{\"text\":\"@/a.img.bak\"}}\n"
	     "{\"type\":\"left_alone\",\"path\":{\"text\":\"@/c.img\"},\"why\":\"no backup\"}\n"
	     "{\"type\":\"summary\",\"dry_run\":false,\"textures\":0,\"files\":0,\"changed\":0,\"still\":0,\"left_alone\":1,"
	     "\"problems\":0,\"restored\":1}\n",
	     "", 0, {{"a.img", a_broken}, {"c.img", a_fixed}}},
	    {"DryRun", {{"a.img", a_broken}}, nullptr, {"-n", "-p", "--restore", "--totals", "@/a.img"},
	     "Would restore @/a.img from @/a.img.bak\n1 file to restore\n", "", 0, {{"a.img", a_fixed}, {"a.img.bak", a_broken}}},
	    {"ChangedSince", {{"a.img", a_broken}}, [](const std::string &root) { change_byte(root + "/a.img", 40, 'x'); },
	     {"--restore", "--totals", "@/a.img"}, "0 files restored, 1 left alone, 1 problem\n",
	     "txd-depth-fix: @/a.img: left alone: changed since @/a.img.bak\n", 1,
	     {{"a.img", [] { bytes b = a_fixed; b[40] = 'x'; return b; }()}, {"a.img.bak", a_broken}}},
	    {"ADepthNotOurs", {{"a.img", a_broken}}, [=](const std::string &root) { change_byte(root + "/a.img", depth, 24); },
	     {"--restore", "@/a.img"}, "", "txd-depth-fix: @/a.img: left alone: changed since @/a.img.bak\n", 1,
	     {{"a.img", [=] { bytes b = a_fixed; b[depth] = 24; return b; }()}, {"a.img.bak", a_broken}}},
	    {"NoBackup", {}, [](const std::string &root) { write_file(root + "/a.img", a_fixed); },
	     {"-v", "--restore", "--totals", "@/a.img"}, "@/a.img: left alone: no backup\n0 files restored, 1 left alone\n", "", 0,
	     {{"a.img", a_fixed}}},
	    {"TheNewestOfSeveral", {{"a.img", a_broken}},
	     [](const std::string &root) {
		     std::filesystem::rename(root + "/a.img.bak", root + "/a.img.3.bak");
		     write_file(root + "/a.img.bak", {1, 2, 3});
	     },
	     {"--restore", "@/a.img"}, "Restored @/a.img from @/a.img.3.bak\n", "", 0, {{"a.img", a_broken}, {"a.img.bak", {1, 2, 3}}}},
	    {"ALooseDictionary", {{"t.txd", broken_txd}}, nullptr, {"--restore", "-q", "--totals", "@/t.txd"}, "1 file restored\n", "",
	     0, {{"t.txd", broken_txd}}},
	    {"AFolder", {{"a.img", a_broken}, {"b.img", b_broken}},
	     [](const std::string &root) { write_file(root + "/c.img", a_fixed); },
	     {"--restore", "--totals", "@"},
	     "Restored @" SEP "a.img from @" SEP "a.img.bak\nRestored @" SEP "b.img from @" SEP "b.img.bak\n2 files restored\n", "",
	     0, {{"a.img", a_broken}, {"b.img", b_broken}, {"c.img", a_fixed}}},
	};
	cases.push_back({"AFileAndOneNamedAsItsNumber", {{"hero", a_broken}, {"hero.2", b_broken}}, nullptr, {"--restore", "@"},
	                 "Restored @" SEP "hero from @" SEP "hero.bak\nRestored @" SEP "hero.2 from @" SEP "hero.2.bak\n", "", 0,
	                 {{"hero", a_broken}, {"hero.2", b_broken}}});
	cases.push_back({"AnEarlierNameThatIsAnotherFilesBackup", {{"a.img", a_broken}},
	                 [](const std::string &root) {
		                 write_file(root + "/a.img.3", {1});
		                 write_file(root + "/a.img.3.bak", a_broken);
	                 },
	                 {"--restore", "@/a.img"}, "Restored @/a.img from @/a.img.bak\n", "", 0,
	                 {{"a.img", a_broken}, {"a.img.3", {1}}, {"a.img.3.bak", a_broken}}});
	cases.push_back({"ADictionaryOfAnyName", {},
	                 [](const std::string &root) {
		                 write_file(root + "/menu.dat", broken_txd);
		                 run_tool({"-tbq", root + "/menu.dat"});
	                 },
	                 {"--restore", "@/menu.dat"}, "Restored @/menu.dat from @/menu.dat.bak\n", "", 0, {{"menu.dat", broken_txd}}});
	cases.push_back({"OverlappingEntries", {{"o.img", overlapping()}}, nullptr, {"--restore", "@/o.img"},
	                 "Restored @/o.img from @/o.img.bak\n", "", 0, {{"o.img", overlapping()}}});
	cases.push_back({"OverlappingEntriesByTheirRecord", {{"o.img", overlapping()}}, nullptr, {"--restore", "@/o.img"},
	                 "Restored @/o.img from @/o.img.undo\n", "", 0, {{"o.img", overlapping()}}, "-uq"});
	// As 1.4 left a killed -b run and a rerun: the newer backup holds the
	// file half repaired; one restore reaches the original.
	const bytes ab_broken = sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}});
	const bytes ab_half = sample::archive({{"a.txd", fixed_txd}, {"b.txd", broken_txd}});
	cases.push_back({"AChainAKilledRunLeft", {{"ab.img", ab_broken}},
	                 [=](const std::string &root) { write_file(root + "/ab.img.bak.2", ab_half); },
	                 {"--restore", "-v", "@/ab.img"},
	                 "Restored @/ab.img from @/ab.img.bak\n@/ab.img: removed @/ab.img.bak.2, made part way through its repairs\n",
	                 "", 0, {{"ab.img", ab_broken}}});
	cases.push_back({"AChainWithoutTheFirstName", {}, [=](const std::string &root) {
		                 write_file(root + "/ab.img", sample::archive({{"a.txd", fixed_txd}, {"b.txd", fixed_txd}}));
		                 write_file(root + "/ab.img.bak.2", ab_broken);
		                 write_file(root + "/ab.img.bak.3", ab_half);
	                 },
	                 {"--restore", "@/ab.img"}, "Restored @/ab.img from @/ab.img.bak.2\n", "", 0, {{"ab.img", ab_broken}}});
	cases.push_back({"AChainEndingInAnotherFile", {{"ab.img", ab_broken}},
	                 [=](const std::string &root) {
		                 write_file(root + "/ab.img.bak.2", ab_half);
		                 write_file(root + "/ab.img.bak", b_broken);
	                 },
	                 {"--restore", "@/ab.img"}, "Restored @/ab.img from @/ab.img.bak.2\n", "", 0,
	                 {{"ab.img", ab_half}, {"ab.img.bak", b_broken}}});
	cases.push_back({"TheBackupNamed", {{"a.img", a_broken}}, nullptr, {"--restore", "@/a.img.bak"},
	                 "Restored @/a.img from @/a.img.bak\n", "", 0, {{"a.img", a_broken}}});
	cases.push_back({"TheUndoRecordNamed", {{"a.img", a_broken}}, nullptr, {"--restore", "-v", "@/a.img.undo"},
	                 "Restored @/a.img from @/a.img.undo\n", "", 0, {{"a.img", a_broken}}, "-uq"});
	cases.push_back({"AFolderOfRecordsAndBackups", {{"a.img", a_broken}}, [](const std::string &root) {
		                 write_file(root + "/b.img", b_broken);
		                 run_tool({"-uq", root + "/b.img"});
	                 },
	                 {"--restore", "@"}, "Restored @" SEP "a.img from @" SEP "a.img.bak\nRestored @" SEP "b.img from @" SEP "b.img.undo\n",
	                 "", 0, {{"a.img", a_broken}, {"b.img", b_broken}}});
	if (posix) {
		cases.push_back({"ABackupThatIsTheFileItself", {{"a.img", a_broken}},
		                 [](const std::string &root) {
			                 std::filesystem::remove(root + "/a.img.bak");
			                 std::filesystem::create_hard_link(root + "/a.img", root + "/a.img.bak");
		                 },
		                 {"--restore", "@/a.img"}, "",
		                 "txd-depth-fix: @/a.img: left alone: its backup is the file itself: @/a.img.bak\n", 1,
		                 {{"a.img", a_fixed}, {"a.img.bak", a_fixed}}});
		cases.push_back({"ABackupThatIsALink", {{"a.img", a_broken}},
		                 [](const std::string &root) {
			                 std::filesystem::rename(root + "/a.img.bak", root + "/real.bak");
			                 make_symlink("real.bak", root + "/a.img.bak");
		                 },
		                 {"--restore", "@/a.img"}, "",
		                 "txd-depth-fix: @/a.img: left alone: not a regular file: @/a.img.bak\n", 1,
		                 {{"a.img", a_fixed}, {"real.bak", a_broken}}});
		cases.push_back({"AGroupWritableBackup", {{"a.img", a_broken}},
		                 [](const std::string &root) { set_mode(root + "/a.img.bak", 0664); },
		                 {"--restore", "@/a.img"}, "",
		                 "txd-depth-fix: @/a.img: left alone: a backup another user could change: @/a.img.bak\n", 1,
		                 {{"a.img", a_fixed}, {"a.img.bak", a_broken}}});
		if (running_as_root())
			cases.push_back({"ABackupOfAnotherUser", {{"a.img", a_broken}},
			                 [](const std::string &root) { give_away(root + "/a.img.bak"); },
			                 {"--restore", "@/a.img"}, "",
			                 "txd-depth-fix: @/a.img: left alone: a backup another user could change: @/a.img.bak\n", 1,
			                 {{"a.img", a_fixed}, {"a.img.bak", a_broken}}});
		cases.push_back({"AChainPastABackupOthersCouldWrite", {{"ab.img", ab_broken}},
		                 [=](const std::string &root) {
			                 write_file(root + "/ab.img.bak.2", ab_half);
			                 set_mode(root + "/ab.img.bak.2", 0666);
			                 write_file(root + "/ab.img.bak.3", ab_half);
		                 },
		                 {"--restore", "@/ab.img"}, "Restored @/ab.img from @/ab.img.bak.3\n",
		                 "txd-depth-fix: @/ab.img.bak.2: an older backup, not used: another user could change it\n", 1,
		                 {{"ab.img", ab_half}, {"ab.img.bak", ab_broken}, {"ab.img.bak.2", ab_half}}});
		cases.push_back({"ABackupNamedInCapitals", {{"a.img", a_broken}},
		                 [](const std::string &root) { std::filesystem::rename(root + "/a.img.bak", root + "/a.img.BAK"); },
		                 {"--restore", "@/a.img.BAK"}, "",
		                 "txd-depth-fix: @/a.img.BAK: no name a restore uses (FILE.bak, FILE.bak.N, FILE.undo)\n", 1,
		                 {{"a.img", a_fixed}, {"a.img.BAK", a_broken}}});
		cases.push_back({"BothNamesOfAHardLink", {{"a.img", a_broken}},
		                 [](const std::string &root) { std::filesystem::create_hard_link(root + "/a.img", root + "/h.img"); },
		                 {"--restore", "@/a.img"}, "Restored @/a.img from @/a.img.bak\n", "", 0,
		                 {{"a.img", a_broken}, {"h.img", a_broken}}});
	}
	return cases;
}

// A file with an access list shows its mask as its group's mode bits:
// group write there says nothing of the group. A backup its group may
// write, with no list, is another user's to change.
TEST(Restores, AGroupWritableBackupOfAFileWithAnAccessList)
{
	POSIX_ONLY();
	std::string path = scratch_path("a.img");
	write_file(path, a_broken);
	ASSERT_EQ(run_tool({"-bq", path}).status, 0);
	if (std::system(("setfacl -m u:nobody:rw '" + path + "' 2>/dev/null").c_str()) != 0) {
		std::remove(path.c_str()), std::remove((path + ".bak").c_str());
		GTEST_SKIP() << "no setfacl, or no access lists on this file system";
	}
	ASSERT_TRUE(set_mode(path + ".bak", 0664));
	run_result r = run_tool({"--restore", path});
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ": left alone: a backup another user could change: " + path + ".bak\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), a_fixed);
	std::remove(path.c_str()), std::remove((path + ".bak").c_str());
}

// Another program puts a file of its own under the backup's name while
// the restore writes: the restore takes away only what it checked.
TEST(Restores, ABackupReplacedBeforeItIsRemoved)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("archive.img");
	write_file(path, a_broken);
	ASSERT_EQ(run_tool({"-bq", path}).status, 0);
	run_limits limits;
	limits.fault = "stop fsync archive.img";
	limits.while_stopped = [&] {
		std::filesystem::rename(path + ".bak", path + ".saved");
		write_file(path + ".bak", {'m', 'i', 'n', 'e'});
	};
	run_result r = run_tool({"--restore", path}, &limits);
	EXPECT_EQ(r.out, "Restored " + path + " from " + path + ".bak\n");
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ".bak: restored, but another file took the backup's name, and is left\n");
	EXPECT_EQ(read_file(path), a_broken);
	EXPECT_EQ(read_file(path + ".bak"), (bytes{'m', 'i', 'n', 'e'}));
	for (const char *leftover : {"", ".bak", ".saved"})
		std::remove((path + leftover).c_str());
}

INSTANTIATE_TEST_SUITE_P(Cases, Restore, ::testing::ValuesIn(restore_cases()), named_case<restore_case>::name);

// A restore killed between two of its writes leaves a file that is
// neither; the next restore recognises it and finishes. -p keeps the
// file's times.
TEST(Restores, StoppedPartWayIsFinishedByTheNext)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("archive.img");
	write_file(path, a_broken);
	ASSERT_EQ(run_tool({"-bq", path}).status, 0);
	std::filesystem::file_time_type when = std::filesystem::last_write_time(path);
	run_limits limits;
	limits.fault = "stop pwrite archive.img #2";
	limits.killed_when_stopped = true;
	run_result killed = run_tool({"--restore", path}, &limits);
	EXPECT_EQ(killed.status, -1);
	bytes half = read_file(path);
	EXPECT_NE(half, a_broken);
	EXPECT_NE(half, a_fixed);
	run_result r = run_tool({"--restore", path});
	EXPECT_EQ(r.out + r.err, "Restored " + path + " from " + path + ".bak\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(path), a_broken);
	EXPECT_FALSE(std::filesystem::exists(path + ".bak"));
	ASSERT_EQ(run_tool({"-bq", path}).status, 0);
	when = std::filesystem::last_write_time(path);
	EXPECT_EQ(run_tool({"--restore", "-pq", path}).status, 0);
	EXPECT_EQ(read_file(path), a_broken);
	EXPECT_EQ(std::filesystem::last_write_time(path), when);
	std::remove(path.c_str());
}

// A restore whose writes fail, or do not reach the disk, says so, and
// keeps the backup: the next restore finishes what this one began.
TEST(Restores, NotFlushedKeepsTheBackup)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("archive.img");
	for (const char *fault : {"fsync archive.img", "pwrite archive.img"}) {
		write_file(path, a_broken);
		std::remove((path + ".bak").c_str());
		ASSERT_EQ(run_tool({"-bq", path}).status, 0);
		run_limits limits;
		limits.fault = fault;
		run_result r = run_tool({"--restore", path}, &limits);
		EXPECT_EQ(r.out + r.err, "txd-depth-fix: " + path +
		                             (fault[0] == 'f' ? ": cannot flush it to the disk" : ": write failed") +
		                             ": Input/output error\n")
		    << fault;
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(read_file(path + ".bak"), a_broken);
		r = run_tool({"--restore", path});
		EXPECT_EQ(r.out + r.err, "Restored " + path + " from " + path + ".bak\n");
		EXPECT_EQ(read_file(path), a_broken);
	}
	std::remove(path.c_str());
}

// The backup changes after its depths were read and before it is compared
// with the file: the restore writes only what it checked, so it leaves
// the file alone.
TEST(Restores, ABackupChangedBetweenCheckAndCopy)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("archive.img");
	write_file(path, a_broken);
	ASSERT_EQ(run_tool({"-bq", path}).status, 0);
	run_limits limits;
	limits.fault = "stop pread archive.img.bak #4"; // the magic, the directory, the entry, then the comparison
	limits.while_stopped = [&] { change_byte(path + ".bak", 2048 + invariant::reference_repairs(broken_txd)[0], 0x41); };
	run_result r = run_tool({"--restore", path}, &limits);
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: " + path + ": left alone: changed since " + path + ".bak\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), a_fixed);
	std::remove(path.c_str());
	std::remove((path + ".bak").c_str());
}

// Under a name that ends in "-restore" (txd-depth-fix-restore.exe in the
// Windows zip, for dropping onto), in any letter case, the program
// restores with no option; with nothing given, it says so as the program
// does.
TEST(Restores, UnderItsOtherNameWithNoOption)
{
	std::string path = scratch_path("a.img");
	for (const char *name : {"txd-depth-fix-restore", "TXD-DEPTH-FIX-RESTORE", "Txd-Depth-Fix-Restore"}) {
		std::string program = scratch_path(std::string(name) + (posix ? "" : name[0] == 'T' ? ".EXE" : ".exe"));
		std::filesystem::copy_file(TXD_DEPTH_FIX, program);
		write_file(path, a_broken);
		ASSERT_EQ(run_tool({"-bq", path}).status, 0);
		run_result r = run_tool_program(program, {"--totals", path});
		EXPECT_EQ(r.out + r.err, "Restored " + path + " from " + path + ".bak\n1 file restored\n") << name;
		EXPECT_EQ(r.status, 0) << name;
		EXPECT_EQ(read_file(path), a_broken) << name;
		EXPECT_FALSE(std::filesystem::exists(path + ".bak")) << name;
		r = run_tool_program(program, {});
		EXPECT_EQ(r.out + r.err, "txd-depth-fix: no FILE or FOLDER given; try 'txd-depth-fix --help'\n") << name;
		EXPECT_EQ(r.status, 0) << name;
		std::remove(program.c_str());
	}
	std::remove(path.c_str());
}

} // namespace
