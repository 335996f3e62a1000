// Backups end to end: what a backup holds, who may read it, its times,
// names that are taken or long, file systems without hard links, and two
// runs on one file at once, stopped or killed at any point.
#include <array>
#include <cstdio>
#include <filesystem>
#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <gtest/gtest.h>

#include "platform/file_access.h"
#include "sample_archive.h"
#include "run_tool.h"
#include "support.h"

using sample::entry;

namespace {

const std::vector<entry> three_broken{{"a.txd", broken_txd}, {"b.txd", broken_txd}, {"c.txd", broken_txd}};
const std::string three_lines = a_line + b_line + "Patching c.txd patched 2 textures\n";
const std::string three_left = a_left + "Patching b.txd patched 0 textures, 2 still to repair\n"
                                        "Patching c.txd patched 0 textures, 2 still to repair\n";
const bytes one_broken = sample::archive({{"a.txd", broken_txd}}), one_fixed = sample::archive({{"a.txd", fixed_txd}});

// The backups beside path, and copies in the making: the end of each name
// after path's, and its bytes. Links are no backups.
std::map<std::string, bytes> backups_of(const std::string &path)
{
	std::map<std::string, bytes> found;
	std::filesystem::path file = std::filesystem::u8path(path);
	std::string leaf = file.filename().u8string();
	for (const auto &e : std::filesystem::directory_iterator(file.parent_path())) {
		std::string name = e.path().filename().u8string();
		static const std::regex suffix(R"(\.(bak(\.[0-9]+)?|ba~[0-9]*|[0-9]+\.bak))");
		bool backup = name.size() > leaf.size() && std::regex_match(name.substr(leaf.size()), suffix);
		if (name.compare(0, leaf.size(), leaf) == 0 && backup && !e.is_symlink())
			found[name.substr(leaf.size())] = read_file(e.path().u8string());
	}
	return found;
}

#ifndef _WIN32
bool times_are(const std::string &path, const timespec (&times)[2])
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && st.st_atim.tv_sec == times[0].tv_sec &&
	       st.st_atim.tv_nsec == times[0].tv_nsec && st.st_mtim.tv_sec == times[1].tv_sec &&
	       st.st_mtim.tv_nsec == times[1].tv_nsec;
}
#endif

// -p keeps both times of a written file, and gives them to its backup:
// times to the nanosecond, before 1970 and past 2262 (and 2038 on 32-bit
// hosts) among them. Without -p the write moves the modification time.
TEST(Backups, KeepTimesAndModes)
{
#ifdef _WIN32
	GTEST_SKIP() << "times and modes through POSIX calls";
#else
	std::string path = scratch_path("archive.img"), bak = path + ".bak";
	bytes image = sample::archive(three_broken);
	const timespec kept[][2] = {{{1000000000, 987654321}, {1000000500, 123456789}},
	                            {{-2, 500000000}, {-2, 500000000}},     // 1969-12-31 23:59:58.5
	                            {{10413792000, 0}, {10413792000, 1}}}; // 2300-01-01
	for (const auto &times : kept) {
		write_file(path, image);
		ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
		run_result r = run_tool({"-bp", path});
		EXPECT_EQ(r.out + r.err, three_lines);
		EXPECT_EQ(r.status, 0);
		EXPECT_TRUE(times_are(path, times)) << times[1].tv_sec;
		EXPECT_TRUE(times_are(bak, times)) << times[1].tv_sec;
		EXPECT_EQ(read_file(bak), image);
		std::remove(bak.c_str());
	}
	write_file(path, image);
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), kept[0], 0), 0);
	EXPECT_EQ(run_tool({"-q", path}).status, 0);
	EXPECT_FALSE(times_are(path, kept[0]));
	// Found in a folder, the file is looked at first, which keeps its
	// access time as it was too.
	std::string folder = scratch_path("folder");
	std::filesystem::create_directories(folder);
	write_file(folder + "/a.img", image);
	ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/a.img").c_str(), kept[0], 0), 0);
	EXPECT_EQ(run_tool({"-pq", folder}).status, 0);
	EXPECT_TRUE(times_are(folder + "/a.img", kept[0]));
	std::filesystem::remove_all(folder);
	// A backup is never more readable than its file; the umask may narrow it.
	mode_t mask = umask(022);
	for (mode_t mode : {0600u, 0640u, 0666u}) {
		write_file(path, image);
		ASSERT_EQ(chmod(path.c_str(), mode), 0);
		EXPECT_EQ(run_tool({"-bq", path}).status, 0);
		struct stat st;
		EXPECT_EQ(stat(bak.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, mode & 0755) << std::oct << mode;
		std::remove(bak.c_str());
	}
	// A backup takes its file's owner and group where the run may give
	// them; where it may not, only the run's own user may read it.
	const struct {
		gid_t group; // the file's, owned by 65534
		bool unprivileged;
		uid_t owner; // the backup's
		gid_t backup_group;
		mode_t mode;
	} owners[] = {{65534, false, 65534, 65534, 0644}, {65534, true, 0, 0, 0600}, {0, true, 0, 0, 0600}};
	for (const auto &o : owners) {
		if (chown(path.c_str(), 65534, o.group) != 0 || chmod(path.c_str(), 0666) != 0)
			break; // not root
		write_file(path, image);
		run_limits limits;
		limits.unprivileged = o.unprivileged;
		EXPECT_EQ(run_tool({"-bq", path}, &limits).status, 0);
		struct stat st;
		EXPECT_EQ(stat(bak.c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, o.mode) << o.group << o.unprivileged;
		EXPECT_EQ(st.st_uid, o.owner) << o.group << o.unprivileged;
		EXPECT_EQ(st.st_gid, o.backup_group) << o.group << o.unprivileged;
		std::remove(bak.c_str());
	}
	umask(mask);
	std::remove(path.c_str());
#endif
}

// A backup that cannot be made whole (a file-size limit) leaves the file
// untouched and no half backup behind; a backup of several MiB is whole;
// a second backup run over the repaired file is silent and keeps it.
TEST(Backups, FullDiskAndLargeFile)
{
	POSIX_ONLY();
	std::string path = scratch_path("archive.img");
	bytes image = sample::archive(three_broken);
	write_file(path, image);
	run_limits limits;
	limits.file_size = 2 * 2048;
	run_result r = run_tool({"-b", "--totals", path}, &limits);
	EXPECT_EQ(r.out, three_left + "0 textures repaired in 0 of 1 file, 6 still to repair, 1 problem\n");
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ".bak: no backup made, so the file is left unchanged: File too large\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), image);
	EXPECT_EQ(backups_of(path), (std::map<std::string, bytes>{}));
	image.resize((5 << 20) / 2 + 2048, 0x5A);
	write_file(path, image);
	EXPECT_EQ(run_tool({"-bq", path}).status, 0);
	run_result again = run_tool({"-bq", path});
	EXPECT_EQ(again.out + again.err, "");
	EXPECT_EQ(again.status, 0);
	EXPECT_EQ(backups_of(path), (std::map<std::string, bytes>{{".bak", image}}));
	std::remove(path.c_str());
	std::remove((path + ".bak").c_str());
}

// The folder of a FILE named through a link is swapped for another while
// the file's backup is made: the backup still lands beside the file that
// was read, never in the other folder. Nor does a name taken meanwhile
// stop it, or a file system without unnamed files or hard links (vfat,
// FUSE exFAT), where a cut copy is never named either.
TEST(Backups, BesideTheFileReadWhateverItsPathComesToMean)
{
	NEEDS_FAULT_SHIM();
	std::string root = scratch_path("tree");
	ASSERT_TRUE(std::filesystem::create_directories(root + "/real") && std::filesystem::create_directories(root + "/out"));
	ASSERT_TRUE(make_symlink("real", root + "/d"));
	write_file(root + "/real/a.img", one_broken);
	std::string swap = "swap " + root + "/d on . link out";
	run_limits limits;
	limits.fault = swap.c_str();
	run_result r = run_tool({"-b", root + "/d/a.img"}, &limits);
	EXPECT_EQ(r.out + r.err, a_line);
	EXPECT_EQ(read_file(root + "/real/a.img"), one_fixed);
	EXPECT_EQ(backups_of(root + "/real/a.img"), (std::map<std::string, bytes>{{".bak", one_broken}}));
	EXPECT_TRUE(std::filesystem::is_empty(root + "/out"));
	// The free name is taken by a link while the copy is made: the copy
	// takes the next free name, and the link's target is never created.
	const struct {
		const char *file, *fault;
		std::map<std::string, bytes> backups;
	} rows[] = {{"b.img", "swap @.bak on . link gone", {{".bak.2", one_broken}}},
	            {"c.img", "unnamed refused; swap @.bak on c.img.ba~ link gone", {{".bak.2", one_broken}}},
	            {"d.img", "linkat refused", {{".bak", one_broken}}},
	            {"e.img", "no hard links", {{".bak", one_broken}}},
	            {"f.img", "no hard links; fsync copy", {}}};
	for (const auto &row : rows) {
		std::string path = root + "/real/" + row.file, fault = expand(row.fault, path);
		write_file(path, one_broken);
		limits.fault = fault.c_str();
		r = run_tool({"-b", path}, &limits);
		bool made = !row.backups.empty();
		EXPECT_EQ(r.out + r.err, (made ? a_line : a_left + "txd-depth-fix: " + path +
		                                             ".bak: no backup made, so the file is left unchanged: Input/output error\n"))
		    << row.fault;
		EXPECT_EQ(read_file(path), made ? one_fixed : one_broken) << row.fault;
		EXPECT_EQ(backups_of(path), row.backups) << row.fault;
		std::remove((path + ".bak").c_str());
	}
	EXPECT_FALSE(std::filesystem::exists(root + "/real/gone"));
	std::filesystem::remove_all(root);
}

// Whenever FILE.bak is a name the folder takes, the backup is made, with or
// without unnamed files; one byte more and the backup's name is too long.
TEST(Backups, EveryNameThatFitsHasItsBackup)
{
	POSIX_ONLY();
	std::string root = scratch_path("long");
	ASSERT_TRUE(std::filesystem::create_directories(root));
	const struct {
		std::size_t length;
		const char *fault;
	} rows[] = {{251, nullptr}, {251, "unnamed refused"}, {252, nullptr}};
	for (const auto &row : rows) {
		std::string path = root + "/" + std::string(row.length - 4, 'n') + ".img";
		write_file(path, one_broken);
		run_limits limits;
		limits.fault = row.fault;
		if (row.fault != nullptr && !have_fault_shim())
			continue;
		run_result r = run_tool({"-b", path}, &limits);
		bool fits = row.length + 4 <= 255;
		EXPECT_EQ(r.out + r.err, (fits ? a_line : a_left + "txd-depth-fix: " + path +
		                                             ".bak: no backup made, so the file is left unchanged: File name too long\n"));
		EXPECT_EQ(read_file(path), fits ? one_fixed : one_broken);
		if (fits) {
			EXPECT_EQ(read_file(path + ".bak"), one_broken);
		}
		std::filesystem::remove_all(root);
		std::filesystem::create_directories(root);
	}
	std::filesystem::remove_all(root);
}

#ifdef __linux__
// A POSIX access list as the system stores it: version 2, then each entry's
// tag, permissions and id.
bytes access_list(std::initializer_list<std::array<unsigned, 3>> entries)
{
	bytes list{2, 0, 0, 0};
	for (const auto &[tag, perm, id] : entries) {
		sample::put16le(list, static_cast<std::uint16_t>(tag));
		sample::put16le(list, static_cast<std::uint16_t>(perm));
		sample::put32le(list, id);
	}
	return list;
}

bytes attribute(const std::string &path, const char *name)
{
	bytes value(256);
	ssize_t n = getxattr(path.c_str(), name, value.data(), value.size());
	value.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
	return value;
}

enum : unsigned { OWNER = 1, USER = 2, GROUP = 4, MASK = 0x10, OTHER = 0x20, ALL = 0xFFFFFFFF };

// A backup is never more readable than its file, access lists included:
// the file's list goes with the copy; a folder's default list never lands
// on it; a user who may write the file only through a list, and cannot
// give the copy the file's owner, gets a copy only that user can read.
TEST(Backups, NeverMoreReadableThanTheFile)
{
	const bytes keeps_65534_out =
	    access_list({{OWNER, 6, ALL}, {USER, 0, 65534}, {GROUP, 4, ALL}, {MASK, 4, ALL}, {OTHER, 4, ALL}});
	const bytes lets_65534_read =
	    access_list({{OWNER, 6, ALL}, {USER, 4, 65534}, {GROUP, 4, ALL}, {MASK, 4, ALL}, {OTHER, 0, ALL}});
	const bytes lets_root_write =
	    access_list({{OWNER, 6, ALL}, {USER, 6, 0}, {GROUP, 4, ALL}, {MASK, 6, ALL}, {OTHER, 0, ALL}});
	const struct {
		const char *what;
		bytes file_list, folder_default;
		unsigned file_owner;
		bool unprivileged;
		bytes backup_list;
		unsigned backup_mode, backup_owner;
	} rows[] = {{"FileListGoesWithIt", keeps_65534_out, {}, 0, false, keeps_65534_out, 0644, 0},
	            {"FolderDefaultStaysAway", {}, lets_65534_read, 0, false, {}, 0640, 0},
	            {"WriterByListAlone", lets_root_write, {}, 65534, true, {}, 0600, 0}};
	for (const auto &row : rows) {
		std::string folder = scratch_path(row.what), path = folder + "/a.img";
		ASSERT_TRUE(std::filesystem::create_directories(folder));
		write_file(path, one_broken);
		ASSERT_EQ(chmod(path.c_str(), 0640), 0);
		if ((!row.folder_default.empty() && setxattr(folder.c_str(), "system.posix_acl_default", row.folder_default.data(),
		                                             row.folder_default.size(), 0) != 0) ||
		    (!row.file_list.empty() &&
		     setxattr(path.c_str(), "system.posix_acl_access", row.file_list.data(), row.file_list.size(), 0) != 0))
			GTEST_SKIP() << "no access lists here";
		if (row.file_owner != 0 && chown(path.c_str(), row.file_owner, row.file_owner) != 0)
			GTEST_SKIP() << "not root: files cannot be given to another user";
		run_limits limits;
		limits.unprivileged = row.unprivileged;
		EXPECT_EQ(run_tool({"-bq", path}, &limits).status, 0) << row.what;
		struct stat st;
		EXPECT_EQ(stat((path + ".bak").c_str(), &st), 0) << row.what;
		EXPECT_EQ(attribute(path + ".bak", "system.posix_acl_access"), row.backup_list) << row.what;
		EXPECT_EQ(st.st_mode & 07777, row.backup_mode) << row.what;
		EXPECT_EQ(st.st_uid, row.backup_owner) << row.what;
		std::filesystem::remove_all(folder);
	}
}
#endif

// With PATH.bak to PATH.bak.99 all taken, here by folders, nothing is
// written; a backup takes the number after the newest. Where the file
// system has no unnamed files, a copy that a killed run left under the
// temporary name (the first bytes of the file) is cleared by the next
// backup; anything else there, or beside a file PATH.ba whose editor's
// backup it could be, stays, and the copy is made under the next temporary
// name; with all of them taken, the first is named. -v says which name a
// backup took.
TEST(Backups, NoFreeNameAndALeftover)
{
	std::string path = scratch_path("archive.img");
	auto numbered = [&](int n) { return path + ".bak" + (n == 1 ? "" : "." + std::to_string(n)); };
	write_file(path, one_broken);
	for (int n = 1; n <= 99; n++)
		std::filesystem::create_directory(numbered(n));
	run_result r = run_tool({"-b", path});
	EXPECT_EQ(r.out, a_left);
	EXPECT_EQ(r.err, "txd-depth-fix: " + path + ".bak.99: no backup made, so the file is left unchanged: File exists\n");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), one_broken);
	for (int n = 3; n <= 99; n++)
		std::filesystem::remove(numbered(n));
	const bytes cut(one_broken.begin(), one_broken.begin() + 100);
	write_file(path + ".ba~", cut);
	run_limits limits;
	limits.fault = "unnamed refused";
	r = run_tool({"-bv", path}, have_fault_shim() ? &limits : nullptr);
	EXPECT_EQ(r.out + r.err, path + ": backed up to " + path + ".bak.3\n" + a_line + listing);
	EXPECT_EQ(read_file(numbered(3)), one_broken);
	EXPECT_EQ(std::filesystem::exists(path + ".ba~"), posix && !have_fault_shim()); // cleared where it was needed
	const struct {
		bytes in_the_way;
		bool beside_a_ba;
	} rows[] = {{{1, 2, 3}, false}, {cut, true}};
	for (const auto &row : rows) {
		if (!have_fault_shim() && posix)
			break;
		write_file(path, one_broken);
		write_file(path + ".ba~", row.in_the_way);
		if (row.beside_a_ba)
			write_file(path + ".ba", {1});
		r = run_tool({"-b", path}, have_fault_shim() ? &limits : nullptr);
		EXPECT_EQ(r.out + r.err, a_line);
		EXPECT_EQ(read_file(path + ".ba~"), row.in_the_way);
		EXPECT_FALSE(std::filesystem::exists(path + ".ba~2"));
	}
	if (have_fault_shim() || !posix) {
		bytes other = one_broken; // no repair of the newest backup, which it would not copy again
		other.back() ^= 1;
		write_file(path, other);
		for (int n = 2; n <= 9; n++)
			write_file(path + ".ba~" + std::to_string(n), {1, 2, 3});
		r = run_tool({"-b", path}, have_fault_shim() ? &limits : nullptr);
		EXPECT_EQ(r.err, "txd-depth-fix: " + path + ".ba~: no backup made, so the file is left unchanged: File exists\n");
		EXPECT_EQ(read_file(path + ".ba~9"), (bytes{1, 2, 3}));
	}
	for (int n = 1; n <= 5; n++)
		std::filesystem::remove(numbered(n));
	for (int n = 2; n <= 9; n++)
		std::remove((path + ".ba~" + std::to_string(n)).c_str());
	for (const char *end : {".ba~", ".ba", ""})
		std::remove((path + end).c_str());
}


// A file its newest backup holds already, but for repaired depths (a run
// stopped part way): -b makes no copy of it half repaired.
TEST(Backups, NoneOfAFileItsNewestBackupHolds)
{
	const bytes broken = sample::archive({{"a.txd", broken_txd}, {"b.txd", broken_txd}});
	std::string path = scratch_path("archive.img");
	write_file(path, broken);
	write_file(path + ".bak", broken);
	write_file(path, sample::archive({{"a.txd", fixed_txd}, {"b.txd", broken_txd}}));
	run_result r = run_tool({"-bvq", path});
	EXPECT_EQ(r.out + r.err, path + ": backed up already in " + path + ".bak\nPatching b.txd patched 2 textures\n" + listing);
	EXPECT_EQ(backups_of(path), (std::map<std::string, bytes>{{".bak", broken}}));
	EXPECT_EQ(read_file(path), sample::archive({{"a.txd", fixed_txd}, {"b.txd", fixed_txd}}));
	std::remove(path.c_str());
	std::remove((path + ".bak").c_str());
}

// Two runs on one file at once (a double drop, xargs -P over a list that
// names it twice): the first is stopped part way, the second runs to its
// end meanwhile, then the first is resumed or killed. Whatever the order,
// every backup holds the file as it was, whole, and the file ends
// repaired by one run or the other.
TEST(Backups, TwoRunsOnOneFile)
{
	NEEDS_FAULT_SHIM();
	bytes image = one_broken, repaired = one_fixed;
	image.resize(3 << 20, 0x5A); // copied in three writes
	repaired.resize(3 << 20, 0x5A);
	const std::string in_use = "txd-depth-fix: @: cannot write: in use by another run\n";
	const struct {
		const char *what;
		std::vector<std::string> first, second; // the options of each
		const char *stop; // where the first stops
		bool killed;
		std::string second_err; // the first's stderr is empty
		std::map<std::string, bytes> backups;
	} rows[] = {
	    {"SecondWhileTheFirstCopies", {"-b"}, {"-b"}, "stop pwrite copy #2", false, in_use, {{".bak", image}}},
	    {"SecondWithoutBackup", {"-b"}, {}, "stop pwrite copy #2", false, in_use, {{".bak", image}}},
	    {"SecondWhileTheFirstWrites", {}, {"-b"}, "stop pwrite archive.img", false, in_use, {}},
	    {"FirstKilledCopying", {"-b"}, {"-b"}, "stop pwrite copy #2", true, "", {{".bak", image}}},
	    {"FirstKilledCopyingUnderAName", {"-b"}, {"-b"}, "stop pwrite copy #2; unnamed refused", true, "",
	     {{".bak", image}}},
	    // The file the second run finds is a repair of the first's backup: it makes none.
	    {"FirstKilledWriting", {"-b"}, {"-b"}, "stop pwrite archive.img", true, "", {{".bak", image}}},
	};
	for (const auto &row : rows) {
		std::string path = scratch_path("archive.img");
		write_file(path, image);
		run_result second;
		run_limits limits;
		limits.fault = row.stop;
		limits.killed_when_stopped = row.killed;
		limits.while_stopped = [&] {
			run_limits own = limits;
			own.fault = std::string(row.stop).find("unnamed") != std::string::npos ? "unnamed refused" : nullptr;
			own.while_stopped = nullptr;
			std::vector<std::string> args = row.second;
			args.insert(args.begin(), "--wait=0"); // the first is stopped: waiting would be for nothing
			args.push_back(path);
			second = run_tool(args, &own);
		};
		std::vector<std::string> args = row.first;
		args.push_back(path);
		run_result first = run_tool(args, &limits);
		EXPECT_EQ(second.out + second.err, (row.second_err.empty() ? a_line : a_left) + expand(row.second_err, path))
		    << row.what;
		EXPECT_EQ(second.status, row.second_err.empty() ? 0 : 1) << row.what;
		if (!row.killed) {
			EXPECT_EQ(first.out + first.err, a_line) << row.what;
		}
		EXPECT_EQ(read_file(path), repaired) << row.what;
		EXPECT_EQ(backups_of(path), row.backups) << row.what;
		for (const auto &[suffix, data] : backups_of(path))
			std::remove((path + suffix).c_str());
		std::remove(path.c_str());
	}
}

// A file another run holds for writing is waited for, once said; when the
// wait is over it is left for later: its textures are still to repair, and
// no backup is made of it meanwhile; nor is it restored. Let go during the
// wait, it is repaired.
TEST(Backups, AFileAnotherRunHoldsIsWaitedFor)
{
	std::string path = scratch_path("archive.img");
	write_file(path, one_broken);
	place where = {nullptr, path.c_str(), path.c_str()};
	io_handle held = open_file(where, true);
	ASSERT_EQ(open_for_writing(&held, where, true), WRITE_GRANTED);
	run_limits own_process;
	run_result r = run_tool({"-b", "--totals", "--wait", "1", path}, &own_process);
	const std::string in_use = "txd-depth-fix: " + path + ": cannot write: in use by another run\n";
	EXPECT_EQ(r.out, path + ": waiting for another run\n" + a_left + "0 textures repaired in 0 of 1 file, 2 still to repair, 1 problem\n");
	EXPECT_EQ(r.err, in_use);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(read_file(path), one_broken);
	EXPECT_EQ(backups_of(path), (std::map<std::string, bytes>{}));
	write_file(path + ".bak", one_broken);
	r = run_tool({"--restore", "--totals", "--wait=0", path}, &own_process);
	EXPECT_EQ(r.out + r.err, "0 files restored, 1 problem\n" + in_use);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(backups_of(path), (std::map<std::string, bytes>{{".bak", one_broken}}));
	std::remove((path + ".bak").c_str());
	// Let go while a run waits: it goes on, and repairs what is left.
	std::thread letting_go([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		close_file(held);
	});
	r = run_tool({"--totals", path}, &own_process);
	letting_go.join();
	EXPECT_EQ(r.out + r.err, path + ": waiting for another run\n" + a_line + "2 textures repaired in 1 of 1 file\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(path), one_fixed);
	std::remove(path.c_str());
}

// Two runs at once on one file: the second waits for the first, then finds
// nothing left to repair. Both end with status 0, and their totals add up
// to the file's repairs.
TEST(Backups, TwoRunsAtOnceBothSucceed)
{
	NEEDS_FAULT_SHIM();
	std::string path = scratch_path("archive.img"), out = scratch_path("second.out"), err = scratch_path("second.err");
	write_file(path, one_broken);
	run_output second;
	std::thread other;
	run_limits limits;
	limits.fault = "stop pwrite archive.img";
	limits.while_stopped = [&] {
		other = std::thread([&] { second = run_program(TXD_DEPTH_FIX, {"--totals", path}, out, err, run_limits{}); });
		for (int i = 0; i < 3000 && read_file(out).empty(); i++)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
	};
	run_result first = run_tool({"--totals", path}, &limits);
	other.join();
	EXPECT_EQ(first.out + first.err, a_line + "2 textures repaired in 1 of 1 file\n");
	EXPECT_EQ(second.out + second.err, path + ": waiting for another run\nPatching a.txd patched 0 textures\n"
	                                          "0 textures repaired in 0 of 1 file\n");
	EXPECT_EQ(first.status, 0);
	EXPECT_EQ(second.status, 0);
	EXPECT_EQ(read_file(path), one_fixed);
	for (const std::string &f : {path, out, err})
		std::remove(f.c_str());
}

// While a run waits, the run that holds the file puts back depths in an
// entry read before the wait (as a restore does): read again under the
// hold, it is repaired too, and told once it needs repair.
TEST(Backups, WhatChangedDuringTheWaitIsRepairedToo)
{
	const bytes before = sample::archive({{"c.txd", fixed_txd}, {"a.txd", broken_txd}});
	const bytes put_back = sample::archive({{"c.txd", broken_txd}, {"a.txd", broken_txd}});
	std::string path = scratch_path("archive.img"), out = scratch_path("waiting.out"), err = scratch_path("waiting.err");
	write_file(path, before);
	place where = {nullptr, path.c_str(), path.c_str()};
	io_handle held = open_file(where, true);
	ASSERT_EQ(open_for_writing(&held, where, true), WRITE_GRANTED);
	std::thread holder([&] {
		auto waiting = [&] {
			bytes said = read_file(out);
			return std::string(said.begin(), said.end()).find("waiting for another run") != std::string::npos;
		};
		for (int i = 0; i < 3000 && !waiting(); i++)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		write_file(path, put_back);
		close_file(held);
	});
	run_output r = run_program(TXD_DEPTH_FIX, {"--totals", "--wait", "60", path}, out, err, run_limits{});
	holder.join();
	EXPECT_EQ(r.out + r.err, "Patching c.txd patched 0 textures\n" + path + ": waiting for another run\n" + a_line +
	                             "Patching c.txd patched 2 textures\n4 textures repaired in 1 of 1 file\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(path), sample::archive({{"c.txd", fixed_txd}, {"a.txd", fixed_txd}}));
	for (const std::string &f : {path, out, err})
		std::remove(f.c_str());
}

// -v names the backup before the file's first line, though entries with
// nothing to repair come before the first that needs it.
TEST(Backups, NamedBeforeTheFilesFirstLine)
{
	std::string path = scratch_path("archive.img");
	write_file(path, sample::archive({{"c.txd", fixed_txd}, {"a.txd", broken_txd}, {"e.txd", fixed_txd}}));
	run_result r = run_tool({"-bv", path});
	EXPECT_EQ(r.out + r.err, path + ": backed up to " + path + ".bak\nPatching c.txd patched 0 textures\n" + a_line + listing +
	                             "Patching e.txd patched 0 textures\n");
	std::remove((path + ".bak").c_str());
	std::remove(path.c_str());
}

// A FILE that is a link: its backup lies beside the file it leads to, in a
// folder that may be closed to those who can read the link's, and is found
// there again by a restore of either name.
TEST(Backups, ALinkOperandsBackupLiesBesideItsTarget)
{
	POSIX_ONLY();
	std::string root = scratch_path("shared");
	ASSERT_TRUE(std::filesystem::create_directories(root + "/pub") && std::filesystem::create_directories(root + "/priv"));
	ASSERT_TRUE(set_mode(root + "/priv", 0700) && make_symlink("../priv/s.img", root + "/pub/l.img"));
	write_file(root + "/priv/s.img", one_broken);
	std::string target = std::filesystem::canonical(root + "/priv/s.img").string();
	run_result r = run_tool({"-bv", root + "/pub/l.img"});
	EXPECT_EQ(r.out + r.err, root + "/pub/l.img: backed up to " + target + ".bak\n" + a_line + listing);
	EXPECT_EQ(backups_of(root + "/priv/s.img"), (std::map<std::string, bytes>{{".bak", one_broken}}));
	EXPECT_EQ(backups_of(root + "/pub/l.img"), (std::map<std::string, bytes>{}));
	r = run_tool({"--restore", root + "/priv/s.img"});
	EXPECT_EQ(r.out + r.err, "Restored " + root + "/priv/s.img from " + root + "/priv/s.img.bak\n");
	EXPECT_EQ(read_file(root + "/priv/s.img"), one_broken);
	std::filesystem::remove_all(root);
}

// A FILE that is a link to a backup would make the backup a file to
// repair: it is left alone, as the backup itself is.
TEST(Backups, ALinkToABackupIsLeftAlone)
{
	POSIX_ONLY();
	std::string path = scratch_path("a.img"), link = scratch_path("l.img"), chain = scratch_path("m.img");
	write_file(path + ".bak", one_broken);
	ASSERT_TRUE(make_symlink(path + ".bak", link) && make_symlink(link, chain));
	run_result r = run_tool({"-v", "--totals", link, chain});
	EXPECT_EQ(r.out, link + ": left alone: a link to a backup\n" + chain +
	                     ": left alone: a link to a backup\n0 textures repaired in 0 of 0 files, 2 left alone\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(path + ".bak"), one_broken);
	for (const std::string &p : {path + ".bak", link, chain})
		std::remove(p.c_str());
}

} // namespace
