// Folders end to end: the order of a search, what it passes over, what it
// cannot reach, and trees deeper or wider than a process can hold open.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "invariant.h"
#include "sample_archive.h"
#include "support.h"

namespace {

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
	        {"n.bak/n.img", archive("n.txd", false), archive("n.txd", true)}, // a folder so named is searched
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
	std::vector<std::string> repaired, backups = {}; // backups hold their file as it was
};

// The file a backup is of: "a.img" for "a.img.bak" and "a.img.bak.3".
std::string backed_up_file(const std::string &backup)
{
	return std::regex_replace(backup, std::regex(R"(\.bak(\.[0-9]+)?$)"), "");
}

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

// With the walk alone (-j 1), a helper beside it, or many: the same lines,
// the same files.
TEST_P(Folder, FindsEveryArchiveAndDictionaryInOrder)
{
	const folder_case &c = GetParam();
	for (const char *jobs : {"-j1", "-j2", "-j64"}) {
		std::string root = scratch_path("game");
		std::map<std::string, bytes> expected;
		for (const tree_file &f : game_tree()) {
			std::filesystem::create_directories(std::filesystem::u8path(root + "/" + f.path).parent_path());
			write_file(root + "/" + f.path, f.broken);
			bool repaired = std::find(c.repaired.begin(), c.repaired.end(), f.path) != c.repaired.end();
			expected[f.path] = repaired ? f.fixed : f.broken;
			for (const std::string &backup : c.backups)
				if (backed_up_file(backup) == f.path)
					expected[backup] = f.broken;
		}
		// a.img.2.bak is a link: a backup never writes through it.
		if (posix) {
			for (auto [link, target] : {std::pair{"link.img", "a.img"}, {"linkdir", "m"}, {"up", ".."}, {"dangling", "gone"},
			                            {"a.img.2.bak", "made-through-a-link"}})
				ASSERT_TRUE(make_symlink(target, root + "/" + link));
			ASSERT_TRUE(make_fifo(root + "/fifo", 0600));
		}
		std::vector<std::string> args{jobs};
		for (const std::string &a : c.args)
			args.push_back(expand(a, root));
		std::optional<cold_cache> cold;
		if (std::strcmp(jobs, "-j64") == 0)
			cold.emplace();
		run_result r = run_tool(args);
		cold.reset();
		EXPECT_EQ(r.out, expand(c.out, root)) << jobs;
		EXPECT_EQ(r.err, expand(c.err, root)) << jobs;
		EXPECT_EQ(r.status, c.status) << jobs;
		EXPECT_EQ(files_below(root), expected) << jobs;
		std::filesystem::remove_all(std::filesystem::u8path(root));
	}
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
const std::string tree_tail = "@" SEP "n.bak" SEP "n.img: Patching n.txd patched 2 textures\n"
                              "@" SEP "speak: Patching k.txd patched 2 textures\n"
                              "Patching @" SEP "z.TXD patched 2 textures\n"
                              "Patching @" SEP "\xc3\xa9.txd patched 2 textures\n"
                              "@" SEP "\u6a21\u578b" SEP "\u0430\u0440\u0445\u0438\u0432.img: Patching r.txd patched 2 textures\n";
const std::string m_img_line = "@" SEP "m.img: Patching c.txd patched 0 textures\n";
const std::string cjk_archive = "\u6a21\u578b/\u0430\u0440\u0445\u0438\u0432.img";
const std::vector<std::string> tree_repaired{".b",    "speak", "B.img",         "a.img",    "d10.img",    "d9.img",
                                             "m/inner.img", "z.TXD", "\xc3\xa9.txd", cjk_archive, "n.bak/n.img"};

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
	    {"DryRunQuietTotals", {"-nq", "--totals", "@"},
	     as_checked(tree_lines + tree_tail) + "22 textures to repair in 11 of 12 files, " + (posix ? "9" : "3") +
	         " left alone\n",
	     "", 0, {}},
	    {"FileAndFolderOperands", {"-t", "@/z.TXD", "@/m", "@/a.img", "-v"},
	     "Patching @/z.TXD patched 2 textures\n  body: 5-6-5, depth 8 -> 16\n  face: 4-4-4-4, depth 4 -> 16\n"
	     "@/m" SEP "inner.img: Patching i.txd patched 2 textures\n@/m" SEP "inner.img:   body: 5-6-5, depth 8 -> 16\n"
	     "@/m" SEP "inner.img:   face: 4-4-4-4, depth 4 -> 16\n@/a.img: left alone: not a texture dictionary\n",
	     "", 0, {"z.TXD", "m/inner.img"}},
	    {"BackupsBesideAnOldOneAndALink", {"-b", "-q", "@"}, tree_lines + tree_tail, "", 0, tree_repaired,
	     // On POSIX the newest backup of a.img is a link, so a new one is made;
	     // on Windows a.img.bak holds the file already, and none is.
	     {".b.bak", "speak.bak", "B.img.bak", posix ? "a.img.bak.3" : "a.img.bak", "d10.img.bak", "d9.img.bak",
	      "m/inner.img.bak", "z.TXD.bak", "\xc3\xa9.txd.bak", cjk_archive + ".bak", "n.bak/n.img.bak"}}};
	if (posix)
		cases.push_back({"LinkedOperandIsFollowed", {"@/linkdir"}, "@/linkdir/inner.img: Patching i.txd patched 2 textures\n",
		                 "", 0, {"m/inner.img"}});
	return cases;
}

INSTANTIATE_TEST_SUITE_P(Trees, Folder, ::testing::ValuesIn(folder_cases()),
                         named_case<folder_case>::name);

// As an ordinary user: a folder that cannot be listed and a file that
// cannot be read are reported and the search goes on; an archive that can
// be read but not written is read as with -n, and one cut short after its
// magic is reported.
TEST(FolderFaults, UnreadableFoldersAndFilesAreReportedAndPassed)
{
	POSIX_ONLY();
	std::string root = scratch_path("game");
	bytes image = sample::archive({{"a.txd", broken_txd}});
	ASSERT_TRUE(std::filesystem::create_directories(root + "/locked"));
	for (const char *name : {"locked/a.img", "ok.img", "ro.img", "secret.img"})
		write_file(root + "/" + name, image);
	write_file(root + "/cut.img", {'V', 'E', 'R', '2'});
	ASSERT_TRUE(set_mode(root + "/locked", 0) && set_mode(root + "/secret.img", 0) && set_mode(root + "/ro.img", 0444));
	run_limits limits;
	limits.unprivileged = true;
	run_result r = run_tool({root}, &limits);
	EXPECT_EQ(r.out, root + "/ok.img: " + a_line + root + "/ro.img: " + a_left);
	EXPECT_EQ(r.err, "txd-depth-fix: " + root + "/cut.img: header cut short after the VER2 magic\n"
	                 "txd-depth-fix: " + root + "/locked: cannot list the folder: Permission denied\n"
	                 "txd-depth-fix: " + root + "/ro.img: cannot write: Permission denied\n"
	                 "txd-depth-fix: " + root + "/secret.img: Permission denied\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(root + "/ro.img"), image);
	// As JSON Lines, with a link and a FIFO beside them: the same facts.
	ASSERT_TRUE(make_symlink("ok.img", root + "/l.img") && make_fifo(root + "/p", 0600));
	r = run_tool({"--json", "-q", root}, &limits);
	auto object = [&](const std::string &type, const std::string &name, const std::string &rest) {
		return "{\"type\":\"" + type + "\",\"path\":{\"text\":\"" + root + "/" + name + "\"}," + rest + "}\n";
	};
	EXPECT_EQ(r.out, object("problem", "cut.img", "\"entry\":null,\"message\":\"header cut short after the VER2 magic\"") +
	                     object("left_alone", "l.img", "\"why\":\"a link\"") +
	                     object("problem", "locked", "\"entry\":null,\"message\":\"cannot list the folder: Permission denied\"") +
	                     object("left_alone", "p", "\"why\":\"not a regular file\"") +
	                     object("problem", "ro.img", "\"entry\":null,\"message\":\"cannot write: Permission denied\"") +
	                     object("entry", "ro.img", "\"entry\":{\"text\":\"a.txd\"},\"found\":2,\"repaired\":0,\"still\":2,"
	                            "\"textures\":[{\"name\":{\"text\":\"body\"},\"format\":\"5-6-5\",\"depth\":8,\"reached\":false},"
	                            "{\"name\":{\"text\":\"face\"},\"format\":\"4-4-4-4\",\"depth\":4,\"reached\":false}]") +
	                     object("problem", "secret.img", "\"entry\":null,\"message\":\"Permission denied\"") +
	                     "{\"type\":\"summary\",\"dry_run\":false,\"textures\":0,\"files\":3,\"changed\":0,\"still\":2,"
	                     "\"left_alone\":2,\"problems\":4,\"restored\":0}\n");
	EXPECT_EQ(r.status, 1);
	set_mode(root + "/locked", 0700);
	EXPECT_EQ(read_file(root + "/locked/a.img"), image);
	std::filesystem::remove_all(root);
}

// Under -v a search says what it passed over that a user may have meant,
// and counts it: a backup, a link, a FIFO. Files of neither kind stay
// silent.
TEST(FolderFaults, PassedOverIsSaidUnderVerbose)
{
	POSIX_ONLY();
	std::string root = scratch_path("game");
	ASSERT_TRUE(std::filesystem::create_directories(root));
	write_file(root + "/a.img", sample::archive({{"a.txd", broken_txd}}));
	write_file(root + "/a.img.bak", {});
	write_file(root + "/a.img.ba~", sample::archive({{"a.txd", broken_txd}})); // a copy a killed run left
	write_file(root + "/readme", {'h', 'i'});
	ASSERT_TRUE(make_symlink("a.img", root + "/l.img") && make_fifo(root + "/fifo", 0600));
	run_result r = run_tool({"-nv", "--totals", root});
	EXPECT_EQ(r.out, root + "/a.img: " + a_found + root + "/a.img:   body: 5-6-5, depth 8 -> 16\n" + root +
	                     "/a.img:   face: 4-4-4-4, depth 4 -> 16\n" + root + "/a.img.bak: left alone: a backup\n" + root +
	                     "/a.img.ba~: left alone: a backup\n" + root + "/fifo: left alone: not a regular file\n" + root +
	                     "/l.img: left alone: a link\n"
	                     "2 textures to repair in 1 of 1 file, 4 left alone\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	std::filesystem::remove_all(root);
}

// The read-ahead's helpers open an operand only as the walk will: a FIFO
// named beside a folder is never opened, so its writer still waits.
TEST(FolderFaults, OperandsThatAreNoFilesAreNeverReadAhead)
{
#ifdef _WIN32
	GTEST_SKIP() << "FIFOs are POSIX'";
#else
	std::string root = scratch_path("game"), fifo = scratch_path("fifo");
	ASSERT_TRUE(std::filesystem::create_directories(root) && make_fifo(fifo, 0600));
	write_file(root + "/a.img", sample::archive({{"a.txd", broken_txd}}));
	std::atomic<bool> opened{false};
	std::thread writer([&] {
		int fd = open(fifo.c_str(), O_WRONLY); // waits for a reader
		opened = true;
		close(fd);
	});
	run_result r = run_tool({"-n", "-j3", fifo, root});
	bool opened_by_the_run = opened;
	int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // lets the writer go
	writer.join();
	close(reader);
	EXPECT_FALSE(opened_by_the_run);
	EXPECT_EQ(r.out, root + "/a.img: " + a_found);
	EXPECT_EQ(r.err, "txd-depth-fix: " + fifo + ": not a regular file\n");
	// Nor is a backup behind a link named beside a folder, which the walk
	// leaves alone: nothing opens it.
	std::string backup = root + "/b.img.bak", link = scratch_path("l.img");
	write_file(backup, sample::archive({{"a.txd", broken_txd}}));
	ASSERT_TRUE(make_symlink(backup, link));
	int watch = inotify_init1(IN_NONBLOCK);
	ASSERT_TRUE(watch >= 0 && inotify_add_watch(watch, backup.c_str(), IN_OPEN) >= 0);
	cold_cache cold;
	r = run_tool({"-nv", "-j3", link, root});
	char event[4096];
	EXPECT_LT(read(watch, event, sizeof event), 0); // no event: nothing opened it
	close(watch);
	EXPECT_EQ(r.out, link + ": left alone: a link to a backup\n" + root + "/a.img: " + a_found + root +
	                     "/a.img:   body: 5-6-5, depth 8 -> 16\n" + root + "/a.img:   face: 4-4-4-4, depth 4 -> 16\n" + backup +
	                     ": left alone: a backup\n");
	std::filesystem::remove_all(root);
	std::remove(fifo.c_str());
	std::remove(link.c_str());
#endif
}

// 300 levels whose path is longer than PATH_MAX: nothing recurses, and
// every level opens below the one before, alone or with helpers.
TEST(FolderFaults, DeepTreeLongerThanAPath)
{
#ifdef _WIN32
	GTEST_SKIP() << "made with POSIX calls";
#else
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
	// With little room beyond what the walk needs, the read-ahead's helpers
	// never take a descriptor from it.
	run_limits room;
	room.open_files = 330;
	r = run_tool({"-n", "-j3", root}, &room);
	EXPECT_EQ(r.out + r.err, shown + "/deep.img: Checking a.txd found 0 textures to repair\n");
	bytes after(image.size());
	fd = openat(folder, "deep.img", O_RDONLY);
	EXPECT_TRUE(fd >= 0 && read(fd, after.data(), after.size()) == static_cast<ssize_t>(after.size()));
	EXPECT_EQ(after, sample::archive({{"a.txd", fixed_txd}}));
	close(fd);
	close(folder);
	EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
#endif
}

// A descriptor per level of the path and per file in hand, never more: a
// hundred folders side by side fit in 16 descriptors, and so do the
// folders of a hundred FILEs.
TEST(FolderFaults, WideTreeHoldsNoDescriptorOfAFolderLeft)
{
	POSIX_ONLY();
	std::string root = scratch_path("wide"), expected;
	std::vector<std::string> files{"-nq"};
	for (int i = 100; i < 200; i++) {
		std::string folder = root + "/f" + std::to_string(i);
		ASSERT_TRUE(std::filesystem::create_directories(folder));
		write_file(folder + "/a.img", sample::archive({{"a.txd", broken_txd}}));
		expected += folder + "/a.img: " + a_line;
		files.push_back(folder + "/a.img");
	}
	run_limits limits;
	limits.open_files = 16;
	run_result named = run_tool(files, &limits);
	run_result r = run_tool({"-q", root}, &limits);
	EXPECT_EQ(named.out + named.err, as_checked(expected));
	EXPECT_EQ(r.out + r.err, expected);
	EXPECT_EQ(r.status + named.status, 0);
	std::filesystem::remove_all(root);
}

// Helpers at work beside the walk, as on a cold disk, in a tree wide and
// deep enough that the walk leaves folders while helpers still read in
// them and in folders they listed ahead: the same lines as the walk alone,
// run after run (under AddressSanitizer and ThreadSanitizer in CI).
TEST(FolderFaults, ColdHelpersBesideTheWalkChangeNothing)
{
	std::string root = scratch_path("cold");
	const bytes image = sample::archive({{"a.txd", broken_txd}});
	for (int i = 0; i < 6; i++)
		for (int j = 0; j < 6; j++)
			for (int k = 0; k < 4; k++) {
				std::string folder = root + "/" + std::to_string(i) + "/" + std::to_string(j) + "/" + std::to_string(k);
				ASSERT_TRUE(std::filesystem::create_directories(folder));
				write_file(folder + "/a.img", image);
				write_file(folder + "/b.dat", {1, 2, 3});
			}
	run_result alone = run_tool({"-nq", "--totals", "-j1", root});
	ASSERT_EQ(alone.err, "");
	cold_cache cold;
	for (int run = 0; run < 20; run++) {
		run_result r = run_tool({"-nq", "--totals", "-j64", root});
		ASSERT_EQ(r.out + r.err, alone.out) << run;
	}
	std::filesystem::remove_all(root);
}

// Started with standard output closed, helpers beside the walk open and
// close files all the while, slowly: no file the walk writes may ever take
// the closed descriptor, which the report lines would then be written into.
// A race, so run a few times.
TEST(FolderFaults, StartedWithStandardOutputClosed)
{
	NEEDS_FAULT_SHIM();
	cold_cache cold;
	std::string root = scratch_path("closed");
	const bytes broken_archive = sample::archive(sample::mixed_entries(true)), fixed_archive = invariant::reference_run(broken_archive).image;
	run_limits limits;
	limits.closed_fd = 1;
	limits.fault = "helper opens slow";
	for (int run = 0; run < 4; run++) {
		std::map<std::string, bytes> expected;
		for (int i = 0; i < 8; i++)
			for (int j = 0; j < 6; j++) {
				std::string name = std::to_string(i) + "/" + std::to_string(j) + ".img";
				std::filesystem::create_directories(root + "/" + std::to_string(i));
				write_file(root + "/" + name, broken_archive);
				expected[name] = fixed_archive;
			}
		run_result r = run_tool({"-j8", root}, &limits);
		EXPECT_EQ(r.err, "txd-depth-fix: standard output: Bad file descriptor\n");
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(files_below(root), expected) << run;
		std::filesystem::remove_all(root);
	}
}

// 300 levels, a dictionary in each, under a descriptor limit the walk alone
// meets part way down, the cache warm for the first 150 folders: helpers
// never take a descriptor the walk needs, so every -j says and repairs
// exactly what -j 1 does.
TEST(FolderFaults, DeepTreeUnderALowDescriptorLimit)
{
	POSIX_ONLY();
	cold_cache cold("150");
	std::string root = scratch_path("deep");
	run_limits limits;
	limits.open_files = 256;
	std::vector<run_result> runs;
	for (const char *jobs : {"-j1", "-j8", "-j64"}) {
		std::string folder = root;
		for (int level = 0; level < 300; level++, folder += "/d") {
			ASSERT_TRUE(std::filesystem::create_directories(folder));
			write_file(folder + "/a.txd", broken_txd);
		}
		run_result r = run_tool({"-q", jobs, root}, &limits);
		runs.push_back(r);
		EXPECT_NE(r.err.find("Too many open files"), std::string::npos) << jobs;
		auto shown = [&](const run_result &x) { // "@/d/d/d/a.txd" as "@/d*3/a.txd"
			std::string text = x.out + x.err + std::to_string(x.status), levels = std::regex_replace(text, std::regex(root), "@");
			std::string shorter;
			for (std::smatch m; std::regex_search(levels, m, std::regex("(/d)+"));levels = m.suffix())
				shorter += m.prefix().str() + "/d*" + std::to_string(m.length() / 2);
			return shorter + levels;
		};
		EXPECT_EQ(shown(r), shown(runs.front())) << jobs;
		std::filesystem::remove_all(root);
	}
}

// Four runs writing into one file at once, as xargs -P4 does: every line

// Another program swaps a folder or a file for a link to outside the tree,
// or for a FIFO, between two calls of the tool: just before its listing,
// the opening of a file (which reads its first bytes), or its opening for
// writing, while
// helpers read ahead that may have opened the old one. Nothing outside the
// tree is written, nothing hangs, and what was swapped is passed over or
// reported as by the walk alone.
TEST(FolderFaults, SwapsMidRunNeverReachOutside)
{
	NEEDS_FAULT_SHIM();
	std::string root = scratch_path("tree"), outside = scratch_path("outside");
	const std::string b = "@/b.img: " + a_line, a = "@/sub/a.img: " + a_line;
	struct {
		const char *swap; // the shim's words, before the link's target
		std::string out, err;
		int status;
	} rows[] = {
	    {"swap sub #1 link", b, "", 0},
	    {"swap sub #1 fifo", b, "", 0},
	    {"swap sub #1 gone", b, "", 0},
	    {"swap b.img #1 gone", a, "", 0},
	    {"swap b.img #1 link", a, "", 0},
	    {"swap b.img #1 fifo", a, "", 0},
	    {"swap b.img #2 link", "@/b.img: " + a_left + a, "txd-depth-fix: @/b.img: cannot write: Too many levels of symbolic links\n", 1},
	    {"swap b.img #2 fifo", "@/b.img: " + a_left + a, "txd-depth-fix: @/b.img: cannot write: it was replaced while being read\n", 1},
	};
	const bytes image = sample::archive({{"a.txd", broken_txd}});
	for (const auto &row : rows) {
		for (const char *folder : {"/sub", ""})
			ASSERT_TRUE(std::filesystem::create_directories(root + folder) || folder[0] == '\0');
		ASSERT_TRUE(std::filesystem::create_directories(outside));
		for (const std::string &file : {root + "/b.img", root + "/sub/a.img", outside + "/b.img", outside + "/o.img"})
			write_file(file, image);
		std::string swap = std::string(row.swap) + " " + outside + (std::strstr(row.swap, "sub") ? "" : "/o.img");
		run_limits limits;
		limits.fault = swap.c_str();
		limits.seconds = 20;
		run_result r = run_tool({"-q", "-j8", root}, &limits);
		EXPECT_EQ(r.out, expand(row.out, root)) << row.swap;
		EXPECT_EQ(r.err, expand(row.err, root)) << row.swap;
		EXPECT_EQ(r.status, row.status) << row.swap;
		EXPECT_EQ(files_below(outside), (std::map<std::string, bytes>{{"b.img", image}, {"o.img", image}})) << row.swap;
		std::filesystem::remove_all(root);
		std::filesystem::remove_all(outside);
	}
}

// Folders whose entries come without a type, as some file systems give
// them, are searched all the same; a folder whose entries cannot be read
// is reported; helpers that cannot open anything change no line.
TEST(FolderFaults, EntriesWithoutATypeOrUnreadable)
{
	NEEDS_FAULT_SHIM();
	std::string root = scratch_path("tree");
	ASSERT_TRUE(std::filesystem::create_directories(root + "/sub"));
	const bytes image = sample::archive({{"a.txd", broken_txd}});
	struct {
		const char *fault;
		std::string out, err;
	} rows[] = {{"readdir unknown", "@/b.img: " + a_found + "@/sub/a.img: " + a_found, ""},
	            {"readdir fails sub", "@/b.img: " + a_found, "txd-depth-fix: @/sub: cannot list the folder: Input/output error\n"},
	            {"helper opens fail", "@/b.img: " + a_found + "@/sub/a.img: " + a_found, ""}};
	for (const auto &row : rows) {
		write_file(root + "/b.img", image);
		write_file(root + "/sub/a.img", image);
		run_limits limits;
		limits.fault = row.fault;
		run_result r = run_tool({"-nq", "-j8", root}, &limits);
		EXPECT_EQ(r.out, expand(row.out, root)) << row.fault;
		EXPECT_EQ(r.err, expand(row.err, root)) << row.fault;
		EXPECT_EQ(r.status, row.err.empty() ? 0 : 1) << row.fault;
	}
	std::filesystem::remove_all(root);
}

// On Windows, another program flips a folder between itself and a link to
// outside the tree while the tool searches the tree, 25 times: nothing
// outside is ever written. Under wine the flipping is done by perl, whose
// links Windows programs see as folders wherever they lead.
TEST(FolderFaults, FolderFlippedForALinkNeverLeadsOutside)
{
#ifndef _WIN32
	GTEST_SKIP() << "on POSIX the same swaps are made one by one";
#else
	if (!std::filesystem::exists("Z:\\usr\\bin\\perl"))
		GTEST_SKIP() << "no perl under wine to flip the folder with";
	std::string unix_root = "/tmp/txd-flip-" + std::to_string(GetCurrentProcessId()), root = "Z:" + unix_root;
	for (char &c : root)
		c = c == '/' ? '\\' : c;
	const bytes image = sample::archive({{"a.txd", broken_txd}});
	ASSERT_TRUE(std::filesystem::create_directories(root + "\\tree\\sub") && std::filesystem::create_directories(root + "\\outside"));
	write_file(root + "\\tree\\sub\\a.img", image);
	write_file(root + "\\outside\\o.img", image);
	std::string script = "chdir '" + unix_root + "'; until (-e 'stop') { rename 'tree/sub', 'tree/real'; "
	                     "symlink '../outside', 'tree/sub'; select(undef, undef, undef, 0.0005); unlink 'tree/sub'; "
	                     "rename 'tree/real', 'tree/sub'; select(undef, undef, undef, 0.0005) } open(F, '>done')";
	write_file(root + "\\flip.pl", bytes(script.begin(), script.end()));
	std::wstring command = L"Z:\\usr\\bin\\perl " + std::wstring(unix_root.begin(), unix_root.end()) + L"/flip.pl";
	STARTUPINFOW start{};
	start.cb = sizeof start;
	PROCESS_INFORMATION flipper{};
	ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &flipper));
	run_limits own_process;
	for (int run = 0; run < 25; run++) {
		int status = run_tool({"-q", root + "\\tree"}, &own_process).status;
		EXPECT_TRUE(status == 0 || status == 1) << status;
	}
	write_file(root + "\\stop", {});
	for (int wait = 0; wait < 100 && !std::filesystem::exists(root + "\\done"); wait++)
		Sleep(100);
	EXPECT_EQ(files_below(root + "\\outside"), (std::map<std::string, bytes>{{"o.img", image}}));
	std::filesystem::remove_all(root);
#endif
}

// "Z:" alone is the current folder of drive Z:, not its root: the names
// in it join as "Z:name".
TEST(Drives, AloneIsTheDrivesCurrentFolder)
{
#ifndef _WIN32
	GTEST_SKIP() << "drives are Windows'";
#else
	std::string folder = scratch_path("drive"), drive = folder.substr(0, 2);
	ASSERT_TRUE(std::filesystem::create_directories(folder));
	write_file(folder + "\\a.img", sample::archive({{"a.txd", broken_txd}}));
	std::filesystem::path was = std::filesystem::current_path();
	std::filesystem::current_path(std::filesystem::u8path(folder));
	run_result r = run_tool({"-n", drive});
	std::filesystem::current_path(was);
	EXPECT_EQ(r.out + r.err, drive + "a.img: " + a_found);
	EXPECT_EQ(r.status, 0);
	std::filesystem::remove_all(std::filesystem::u8path(folder));
#endif
}

// Paths past MAX_PATH work whether or not the system allows long paths,
// plain or in the "\\?\" form, files and folders alike, and print as given.
TEST(Drives, PathsPastMaxPathPlainOrLong)
{
#ifndef _WIN32
	GTEST_SKIP() << "MAX_PATH is Windows'";
#else
	std::string root = scratch_path("long"), deep = root;
	for (int level = 0; level < 12; level++)
		deep += "\\a-folder-of-twenty-" + std::to_string(level);
	ASSERT_GT(deep.size(), 300u);
	ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path("\\\\?\\" + deep)));
	write_file("\\\\?\\" + deep + "\\a.img", sample::archive({{"a.txd", broken_txd}}));
	for (const std::string &shown : {root, "\\\\?\\" + root}) {
		run_result r = run_tool({"-nq", shown});
		EXPECT_EQ(r.out + r.err, shown + deep.substr(root.size()) + "\\a.img: " + a_found);
		EXPECT_EQ(r.status, 0);
	}
	run_result r = run_tool({"-n", deep + "\\a.img"});
	EXPECT_EQ(r.out + r.err, a_found);
	std::filesystem::remove(std::filesystem::u8path("\\\\?\\" + deep + "\\a.img"));
	for (; deep.size() >= root.size(); deep.erase(deep.rfind('\\')))
		std::filesystem::remove(std::filesystem::u8path("\\\\?\\" + deep));
#endif
}

} // namespace

// A slip that names the root of the system, nothing, or a Windows option
// is refused before a single open (the shim aborts at the first); a
// folder the system gives of itself is never entered, searched or named.
// @ is a tree holding a.img and, in p, p.img, both broken; FAKE stands
// for the root of the system where the row asks.
TEST(SystemGuards, NothingBeyondWhatWasMeant)
{
	NEEDS_FAULT_SHIM();
	std::string root = scratch_path("guarded");
	const std::string refused = "txd-depth-fix: refusing to search '", keep = " (use --no-preserve-root to search it)\n";
	struct {
		const char *fault; // FAKE for the tree's path
		std::vector<std::string> args;
		std::string out, err;
		int status;
		bool a_repaired, p_repaired;
	} rows[] = {
	    {"opens abort", {"-b", "/"}, "", refused + "/'" + keep + usage_hint, 2, false, false},
	    {"opens abort", {"@", "//."}, "", refused + "//.'" + keep + usage_hint, 2, false, false},
	    {"root is FAKE; opens abort", {"@"}, "", refused + "@'" + keep + usage_hint, 2, false, false},
	    {"root is FAKE", {"-q", "--no-preserve-root", "@"}, "@/a.img: " + a_line + "@/p/p.img: " + a_line, "", 0, true, true},
	    {"opens abort", {"@", ""}, "", "txd-depth-fix: an empty name was given\n" + usage_hint, 2, false, false},
	    {"opens abort", {"/n", "@"}, "", "txd-depth-fix: /n: no such file; options start with '-' here (did you mean -n?)\n" + usage_hint,
	     2, false, false},
	    {"system view p", {"-qv", "--totals", "-j8", "@"},
	     "@/a.img: " + a_line + "@/a.img:   body: 5-6-5, depth 8 -> 16\n@/a.img:   face: 4-4-4-4, depth 4 -> 16\n"
	     "@/p: left alone: a system folder\n2 textures repaired in 1 of 1 file, 1 left alone\n", "", 0, true, false},
	    {"system view p", {"-v", "--json", "@/p"},
	     "{\"type\":\"left_alone\",\"path\":{\"text\":\"@/p\"},\"why\":\"a system folder\"}\n"
	     "{\"type\":\"summary\",\"dry_run\":false,\"textures\":0,\"files\":0,\"changed\":0,\"still\":0,\"left_alone\":1,"
	     "\"problems\":0,\"restored\":0}\n", "", 0, false, false},
	};
	const bytes broken_image = sample::archive({{"a.txd", broken_txd}}), fixed_image = sample::archive({{"a.txd", fixed_txd}});
	cold_cache cold;
	for (const auto &row : rows) {
		ASSERT_TRUE(std::filesystem::create_directories(root + "/p"));
		write_file(root + "/a.img", broken_image);
		write_file(root + "/p/p.img", broken_image);
		std::string fault = std::regex_replace(row.fault, std::regex("FAKE"), root);
		run_limits limits;
		limits.fault = fault.c_str();
		std::vector<std::string> args;
		for (const std::string &a : row.args)
			args.push_back(expand(a, root));
		run_result r = run_tool(args, &limits);
		EXPECT_EQ(r.out, expand(row.out, root)) << row.fault;
		EXPECT_EQ(r.err, expand(row.err, root)) << row.fault;
		EXPECT_EQ(r.status, row.status) << row.fault;
		EXPECT_EQ(files_below(root), (std::map<std::string, bytes>{{"a.img", row.a_repaired ? fixed_image : broken_image},
		                                                           {"p/p.img", row.p_repaired ? fixed_image : broken_image}}))
		    << row.fault;
		std::filesystem::remove_all(root);
	}
}

// -x: a search never enters a folder on another file system than the one
// it starts from, here a tmpfs mounted inside the tree; without it, it does.
TEST(SystemGuards, OneFileSystemStopsAtAMount)
{
	POSIX_ONLY();
	std::string root = scratch_path("mounts");
	ASSERT_TRUE(std::filesystem::create_directories(root + "/m"));
	if (std::system(("mount -t tmpfs none '" + root + "/m' 2>/dev/null").c_str()) != 0) {
		std::filesystem::remove_all(root);
		GTEST_SKIP() << "cannot mount a tmpfs here (needs root and a system that lets it)";
	}
	const bytes image = sample::archive({{"a.txd", broken_txd}});
	write_file(root + "/m/a.img", image);
	const std::string other = "@/m: left alone: another file system\n0 textures to repair in 0 of 0 files, 1 left alone\n";
	for (const char *jobs : {"-j1", "-j8"}) {
		run_result r = run_tool({"-nvx", "--totals", jobs, root});
		EXPECT_EQ(r.out + r.err, expand(other, root)) << jobs;
		r = run_tool({"-nq", "--one-file-system", jobs, root + "/m"});
		EXPECT_EQ(r.out + r.err, expand("@/m/a.img: " + a_found, root)) << jobs;
		r = run_tool({"-nq", jobs, root});
		EXPECT_EQ(r.out + r.err, expand("@/m/a.img: " + a_found, root)) << jobs;
	}
	EXPECT_EQ(std::system(("umount '" + root + "/m'").c_str()), 0);
	std::filesystem::remove_all(root);
}

// One file under two names (a hard link, a folder named twice) is handled
// once, by the first name met: a dry run counts what a real run repairs.
TEST(Folders, OneFileUnderTwoNamesIsHandledOnce)
{
	POSIX_ONLY();
	std::string root = scratch_path("twice");
	const bytes image = sample::archive({{"a.txd", broken_txd}}), fixed_image = sample::archive({{"a.txd", fixed_txd}});
	const std::string same = "@/sub/h.img: left alone: same file as @/a.img\n";
	const struct {
		std::vector<std::string> args;
		std::string out;
	} rows[] = {
	    {{"-nv", "--totals", "@"}, "@/a.img: " + a_found + "@/a.img:   body: 5-6-5, depth 8 -> 16\n@/a.img:   face: 4-4-4-4, depth 4 -> 16\n" +
	                                   same + "2 textures to repair in 1 of 1 file, 1 left alone\n"},
	    {{"-qv", "--totals", "@"}, "@/a.img: " + a_line + "@/a.img:   body: 5-6-5, depth 8 -> 16\n@/a.img:   face: 4-4-4-4, depth 4 -> 16\n" +
	                                   same + "2 textures repaired in 1 of 1 file, 1 left alone\n"},
	    {{"-nqv", "--totals", "@/sub", "@"}, "@/sub/h.img: " + a_found + "@/sub/h.img:   body: 5-6-5, depth 8 -> 16\n"
	                                         "@/sub/h.img:   face: 4-4-4-4, depth 4 -> 16\n@/a.img: left alone: same file as @/sub/h.img\n"
	                                         "@/sub/h.img: left alone: same file as @/sub/h.img\n"
	                                         "2 textures to repair in 1 of 1 file, 2 left alone\n"},
	};
	for (const auto &row : rows) {
		ASSERT_TRUE(std::filesystem::create_directories(root + "/sub"));
		write_file(root + "/a.img", image);
		std::filesystem::create_hard_link(root + "/a.img", root + "/sub/h.img");
		std::vector<std::string> args;
		for (const std::string &a : row.args)
			args.push_back(expand(a, root));
		run_result r = run_tool(args);
		EXPECT_EQ(r.out + r.err, expand(row.out, root)) << row.args[0];
		EXPECT_EQ(r.status, 0);
		bool dry = row.args[0].find('n') != std::string::npos;
		EXPECT_EQ(read_file(root + "/a.img"), dry ? image : fixed_image);
		std::filesystem::remove_all(root);
	}
}
