// The command line end to end: options, operands of every kind, help,
// usage errors, the held window's summary and what reaches a terminal.
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "command_line.h"
#include "report/report.h"
#include "report/drop_window.h"
#include "walk/wildcards.h"
#include "sample_archive.h"
#include "support.h"

using sample::cat;
using sample::header;
using sample::texture_dictionary;

namespace {

// The JSON of broken_txd's two textures, as found.
const std::string json_textures = "[{\"name\":{\"text\":\"body\"},\"format\":\"5-6-5\",\"depth\":8,\"reached\":true},"
                                  "{\"name\":{\"text\":\"face\"},\"format\":\"4-4-4-4\",\"depth\":4,\"reached\":true}]";

// A command line over the files a.img and b.img (archives holding a.txd and
// b.txd), o.img (o.txd, one broken texture), c.img (c.txd, nothing to
// repair), v.txd (an archive holding v.txd), k.img.bak (a backup of a
// broken archive), t.txd (a loose dictionary), d.img (a loose dictionary
// under another name), e.txd (empty) and s.txd (three bytes of a
// dictionary chunk's type), each broken where it can be; @a, @b, ... stand
// for their paths.
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

bytes command_file(char letter, bool repaired)
{
	const bytes &txd = repaired ? fixed_txd : broken_txd;
	switch (letter) {
	case 't':
	case 'd': return txd;
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
	for (char f : file_letters)
		write_file(expand(std::string("@") + f, stem), command_file(f, false));
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(expand(a, stem));
	run_result r = run_tool(args);
	bool json = std::string(c.what).compare(0, 4, "Json") == 0;
	EXPECT_EQ(r.out, expand(c.out, json ? json_text(stem) : stem));
	EXPECT_EQ(r.err, expand(c.err, stem));
	EXPECT_EQ(r.status, c.status);
	for (char f : file_letters) {
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


INSTANTIATE_TEST_SUITE_P(
    Options, CommandLine,
    ::testing::Values(
        command_case{"NoArgument", {}, "", "txd-depth-fix: no FILE or FOLDER given; try 'txd-depth-fix --help'\n", 0, ""},
        command_case{"OptionsButNoFile", {"-n", "--verbose"}, "", "txd-depth-fix: no FILE or FOLDER given\n" + usage_hint, 2, ""},
        command_case{"CheckButNoFile", {"--check", "--"}, "", "txd-depth-fix: no FILE or FOLDER given\n" + usage_hint, 2, ""},
        command_case{"OneArchive", {"@a"}, a_line, "", 0, "a"},
        command_case{"SeveralArchivesNameTheirLines", {"@a", "@b"}, "@a: " + a_line + "@b: " + b_line, "", 0, "ab"},
        command_case{"WithFilename", {"-H", "@a"}, "@a: " + a_line, "", 0, "a"},
        command_case{"WithFilenameLooseUnprefixed", {"--with-filename", "-t", "@t"}, "Patching @t patched 2 textures\n", "", 0, "t"},
        command_case{"AProblemStopsNoOtherFile", {"@a", "@a.gone", "@b"}, "@a: " + a_line + "@b: " + b_line,
                     "txd-depth-fix: @a.gone: No such file or directory\n", 1, "ab"},
        command_case{"DryRunWritesNothing", {"--dry-run", "@a"}, a_found, "", 0, ""},
        command_case{"OptionAfterTheFiles", {"@a", "-n"}, a_found, "", 0, ""},
        command_case{"VerboseListsEachRepair", {"@a", "--verbose"}, a_line + listing, "", 0, "a"},
        command_case{"VerboseSeveral", {"-v", "@b", "@a"},
                     "@b: " + b_line + "@b:   body: 5-6-5, depth 8 -> 16\n@b:   face: 4-4-4-4, depth 4 -> 16\n@a: " +
                         a_line + "@a:   body: 5-6-5, depth 8 -> 16\n@a:   face: 4-4-4-4, depth 4 -> 16\n",
                     "", 0, "ab"},
        command_case{"BundledDryRunVerbose", {"-nv", "@a"}, a_found + listing, "", 0, ""},
        command_case{"DryRunSaysWhatItFinds", {"-n", "@c", "@o"},
                     "@c: Checking c.txd found 0 textures to repair\n@o: Checking o.txd found 1 texture to repair\n", "", 0, ""},
        command_case{"QuietLeavesOutZeroCounts", {"-q", "@c", "@a", "@e"}, "@a: " + a_line, "", 0, "a"},
        command_case{"LooseDictionary", {"-t", "@t"}, "Patching @t patched 2 textures\n", "", 0, "t"},
        command_case{"VerboseSaysWhatWasLeftAlone", {"--txd", "@a", "@e", "@s", "@t", "-v"},
                     "@a: left alone: not a texture dictionary\n@e: left alone: not a texture dictionary\n"
                     "@s: left alone: not a texture dictionary\n"
                     "Patching @t patched 2 textures\n" + listing,
                     "", 0, "t"},
        command_case{"LeftAloneSilentlyWithoutVerbose", {"@e", "@d", "@s"}, "", "", 0, ""},
        command_case{"FilesAreWhatTheirBytesSay", {"-v", "@t", "@v", "@d", "@s"},
                     "Patching @t patched 2 textures\n" + listing + "@v: Patching v.txd patched 2 textures\n"
                     "@v:   body: 5-6-5, depth 8 -> 16\n@v:   face: 4-4-4-4, depth 4 -> 16\n"
                     "@d: left alone: not a VER2 archive\n@s: left alone: not a texture dictionary\n",
                     "", 0, "tv"},
        command_case{"DictionaryOfAnyNameWithTxd", {"-t", "@d"}, "Patching @d patched 2 textures\n", "", 0, "d"},
        command_case{"CheckFindsNothing", {"--check", "@c", "@e"}, "", "", 0, ""},
        command_case{"CheckFindsOneRepair", {"--check", "@c", "@o"}, "@o: Checking o.txd found 1 texture to repair\n", "", 1, ""},
        command_case{"CheckListsAndTotals", {"--check", "-v", "--totals", "@a"},
                     a_found + listing + "2 textures to repair in 1 of 1 file\n", "", 1, ""},
        command_case{"CheckMeetsAProblem", {"--check", "@a", "@gone"}, "@a: " + a_found,
                     "txd-depth-fix: @gone: No such file or directory\n", 2, ""},
        command_case{"WildcardsInNameOrder", {"-n", "@?.img"},
                     posix ? "" : "@a: " + a_found + "@b: " + b_found + "@c: Checking c.txd found 0 textures to repair\n@o: Checking o.txd found 1 texture to repair\n",
                     posix ? "txd-depth-fix: @?.img: No such file or directory\n" : "", posix ? 1 : 0, ""},
        command_case{"WildcardsInTheLongForm", {"-nq", "\\\\?\\@?.img"},
                     posix ? "" : "\\\\?\\@a: " + a_found + "\\\\?\\@b: " + b_found + "\\\\?\\@o: Checking o.txd found 1 texture to repair\n",
                     posix ? "txd-depth-fix: \\\\?\\@?.img: No such file or directory\n" : "", posix ? 1 : 0, ""},
        command_case{"WildcardMatchingOnlyABackup", {"-v", "@k*"}, posix ? "" : "@k*: left alone: only backups or links match it\n",
                     posix ? "txd-depth-fix: @k*: No such file or directory\n" : "", posix ? 1 : 0, ""},
        command_case{"DeviceName", {"NUL"}, "", posix ? "txd-depth-fix: NUL: No such file or directory\n" : "txd-depth-fix: NUL: not a regular file\n", 1, ""},
        command_case{"EmptyArgument", {"@a", ""}, "", "txd-depth-fix: an empty name was given\n" + usage_hint, 2, ""},
        command_case{"EmptyArgumentAfterTheDoubleDash", {"@a", "--", ""}, "", "txd-depth-fix: an empty name was given\n" + usage_hint, 2, ""},
        command_case{"WildcardMatchingNothing", {"@*.none"}, "", "txd-depth-fix: @*.none: No such file or directory\n", 1, ""},
        command_case{"WildcardAfterTheDoubleDash", {"--", "@?.img"}, "", "txd-depth-fix: @?.img: No such file or directory\n", 1, ""},
        command_case{"LongFormOfAPath", {"-n", "\\\\?\\@a"}, posix ? "" : a_found,
                     posix ? "txd-depth-fix: \\\\?\\@a: No such file or directory\n" : "", posix ? 1 : 0, ""},
        command_case{"CheckUsageError", {"--check", "-z", "@a"}, "", "txd-depth-fix: unknown option '-z'\n" + usage_hint, 2, ""},
        command_case{"LooseDryRun", {"-tn", "@t"}, "Checking @t found 2 textures to repair\n", "", 0, ""},
        command_case{"TotalsAlone", {"--totals"}, "", "txd-depth-fix: no FILE or FOLDER given\n" + usage_hint, 2, ""},
        command_case{"TotalsSingular", {"--totals", "@o"}, "Patching o.txd patched 1 textures\n1 texture repaired in 1 of 1 file\n", "", 0, "o"},
        command_case{"TotalsOfEverything", {"-n", "--totals", "-q", "@c", "@e", "@a", "@gone", "@o"},
                     "@a: " + a_found + "@o: Checking o.txd found 1 texture to repair\n"
                     "3 textures to repair in 2 of 3 files, 1 left alone, 1 problem\n",
                     "txd-depth-fix: @gone: No such file or directory\n", 1, ""},
        command_case{"TotalsTwoProblems", {"--totals", "@gone", "@gone"}, "0 textures repaired in 0 of 0 files, 2 problems\n",
                     "txd-depth-fix: @gone: No such file or directory\ntxd-depth-fix: @gone: No such file or directory\n", 1, ""},
        command_case{"BackupOfALooseDictionary", {"-b", "-t", "@c", "@t"}, "Patching @t patched 2 textures\n", "", 0, "t", "t"},
        command_case{"BackupOfArchives", {"--backup", "@a", "@c"}, "@a: " + a_line + "@c: Patching c.txd patched 0 textures\n",
                     "", 0, "a", "a"},
        command_case{"NoBackupInADryRun", {"-bn", "@a"}, a_found, "", 0, "", ""},
        command_case{"BackupIsNeverWritten", {"-bv", "@k"}, "@k: left alone: a backup\n", "", 0, ""},
        command_case{"BackupAsWindowsNamesIt", {"-v", "@k.", "@k "},
                     posix ? "" : "@k.: left alone: a backup\n@k : left alone: a backup\n",
                     posix ? "txd-depth-fix: @k.: No such file or directory\ntxd-depth-fix: @k : No such file or directory\n" : "",
                     posix ? 1 : 0, ""},
        command_case{"TrailingDotAsWindowsReadsIt", {"@a."}, posix ? "" : a_line,
                     posix ? "txd-depth-fix: @a.: No such file or directory\n" : "", posix ? 1 : 0, posix ? "" : "a"},
        command_case{"BackupIsNoDictionaryEither", {"-tv", "--totals", "@k", "@t"},
                     "@k: left alone: a backup\nPatching @t patched 2 textures\n" + listing +
                         "2 textures repaired in 1 of 1 file, 1 left alone\n",
                     "", 0, "t"},
        command_case{"SlashAndLettersAreNoOptionHere", {"/totals", "@a"}, "",
                     posix ? "txd-depth-fix: /totals: no such file; options start with '-' here (did you mean --totals?)\n" + usage_hint
                           : "txd-depth-fix: unknown option '/totals' (options start with '-')\n" + usage_hint,
                     2, ""},
        command_case{"SlashAndOptionLetters", {"@a", "/nv"}, "",
                     posix ? "txd-depth-fix: /nv: no such file; options start with '-' here (did you mean -nv?)\n" + usage_hint
                           : "txd-depth-fix: unknown option '/nv' (options start with '-')\n" + usage_hint,
                     2, ""},
        command_case{"SlashAndOtherLetters", {"/zq", "@a"}, "",
                     posix ? "txd-depth-fix: /zq: no such file; options start with '-' here\n" + usage_hint
                           : "txd-depth-fix: unknown option '/zq' (options start with '-')\n" + usage_hint,
                     2, ""},
        command_case{"SlashAndLettersAfterTheDoubleDash", {"--", "/n"}, "", "txd-depth-fix: /n: No such file or directory\n",
                     1, ""},
        command_case{"DoubleDashEndsOptions", {"--", "-n"}, "", "txd-depth-fix: -n: No such file or directory\n", 1, ""},
        command_case{"LoneDashIsAFile", {"-"}, "", "txd-depth-fix: -: No such file or directory\n", 1, ""},
        command_case{"NameNoFileCanHave", {"@a<b|c"}, "", "txd-depth-fix: @a<b|c: No such file or directory\n", 1, ""},
        command_case{"Version", {"@a", "--version"}, "txd-depth-fix " TXD_VERSION "\n", "", 0, ""},
        command_case{"UnknownShortOption", {"-nz", "@a"}, "", "txd-depth-fix: unknown option '-z'\n" + usage_hint, 2, ""},
        command_case{"UnknownOptionAfterTheFile", {"@a", "--verx"}, "", "txd-depth-fix: unknown option '--verx'\n" + usage_hint, 2, ""},
        command_case{"AmbiguousPrefix", {"--ver", "@a"}, "", "txd-depth-fix: option '--ver' is ambiguous\n" + usage_hint, 2, ""},
        command_case{"DashInABundle", {"-n-", "@a"}, "", "txd-depth-fix: unknown option '-' in '-n-'\n" + usage_hint, 2, ""},
        command_case{"LetterInABundle", {"-bvz", "@a"}, "", "txd-depth-fix: unknown option '-z'\n" + usage_hint, 2, ""},
        command_case{"WholeUtf8Letter", {"-\xc3\xa9", "@a"}, "", "txd-depth-fix: unknown option '-\xc3\xa9'\n" + usage_hint, 2, ""},
        command_case{"OneEditFromAnOption", {"--dryrun", "@a"}, "",
                     "txd-depth-fix: unknown option '--dryrun'; did you mean '--dry-run'?\n" + usage_hint, 2, ""},
        command_case{"RestoreTakesNoBackup", {"--restore", "-b", "@a"}, "",
                     "txd-depth-fix: --restore cannot be combined with -b\n" + usage_hint, 2, ""},
        command_case{"RestoreTakesNoCheck", {"--check", "--restore", "@a"}, "",
                     "txd-depth-fix: --restore cannot be combined with --check\n" + usage_hint, 2, ""},
        command_case{"RestoreTakesNoTxd", {"--restore", "-t", "@t"}, "",
                     "txd-depth-fix: --restore cannot be combined with -t\n" + usage_hint, 2, ""},
        command_case{"JobsOfZero", {"-j", "0", "@a"}, "",
                     "txd-depth-fix: the number of jobs must be 1 to 256, not '0'\n" + usage_hint, 2, ""},
        command_case{"JobsNegative", {"--jobs=-2", "@a"}, "",
                     "txd-depth-fix: the number of jobs must be 1 to 256, not '-2'\n" + usage_hint, 2, ""},
        command_case{"JobsOfJunk", {"-j4x", "@a"}, "",
                     "txd-depth-fix: the number of jobs must be 1 to 256, not '4x'\n" + usage_hint, 2, ""},
        command_case{"JobsPastTheMost", {"-j", "257", "@a"}, "",
                     "txd-depth-fix: the number of jobs must be 1 to 256, not '257'\n" + usage_hint, 2, ""},
        command_case{"JobsWithoutANumber", {"@a", "--jobs"}, "",
                     "txd-depth-fix: option '--jobs' needs a number of jobs\n" + usage_hint, 2, ""},
        command_case{"JobsForSeveralFiles", {"-nj", "256", "@a", "@b"}, "@a: " + a_found + "@b: " + b_found, "", 0, ""},
        command_case{"JobsPastTheMostByADigit", {"-j", "2561", "@a"}, "",
                     "txd-depth-fix: the number of jobs must be 1 to 256, not '2561'\n" + usage_hint, 2, ""},
        command_case{"ArgumentToAnOption", {"--verbose=1", "@a"}, "",
                     "txd-depth-fix: option '--verbose' takes no argument\n" + usage_hint, 2, ""},
        command_case{"JsonDryRun", {"--json", "-n", "@a", "@c"},
                     "{\"type\":\"entry\",\"path\":{\"text\":\"@a\"},\"entry\":{\"text\":\"a.txd\"},\"found\":2,\"repaired\":0,"
                     "\"still\":0,\"textures\":" + json_textures + "}\n"
                     "{\"type\":\"entry\",\"path\":{\"text\":\"@c\"},\"entry\":{\"text\":\"c.txd\"},\"found\":0,\"repaired\":0,"
                     "\"still\":0,\"textures\":[]}\n"
                     "{\"type\":\"summary\",\"dry_run\":true,\"textures\":2,\"files\":2,\"changed\":1,\"still\":0,\"left_alone\":0,"
                     "\"problems\":0,\"restored\":0}\n",
                     "", 0, ""},
        command_case{"JsonBackupRepairAndLeftAlone", {"--json", "-bt", "@t", "@e"},
                     "{\"type\":\"backup\",\"path\":{\"text\":\"@t\"},\"backup\":{\"text\":\"@t.bak\"}}\n"
                     "{\"type\":\"entry\",\"path\":{\"text\":\"@t\"},\"entry\":null,\"found\":2,\"repaired\":2,\"still\":0,"
                     "\"textures\":" + json_textures + "}\n"
                     "{\"type\":\"left_alone\",\"path\":{\"text\":\"@e\"},\"why\":\"not a texture dictionary\"}\n"
                     "{\"type\":\"summary\",\"dry_run\":false,\"textures\":2,\"files\":1,\"changed\":1,\"still\":0,\"left_alone\":1,"
                     "\"problems\":0,\"restored\":0}\n",
                     "", 0, "t", "t"},
        command_case{"JsonCheckAndAProblem", {"--json", "--check", "@c", "@o", "@gone", "@k"},
                     "{\"type\":\"entry\",\"path\":{\"text\":\"@o\"},\"entry\":{\"text\":\"o.txd\"},\"found\":1,\"repaired\":0,"
                     "\"still\":0,\"textures\":[{\"name\":{\"text\":\"body\"},\"format\":\"5-6-5\",\"depth\":8,\"reached\":true}]}\n"
                     "{\"type\":\"problem\",\"path\":{\"text\":\"@gone\"},\"entry\":null,\"message\":\"No such file or directory\"}\n"
                     "{\"type\":\"left_alone\",\"path\":{\"text\":\"@k\"},\"why\":\"a backup\"}\n"
                     "{\"type\":\"summary\",\"dry_run\":true,\"textures\":1,\"files\":2,\"changed\":1,\"still\":0,\"left_alone\":1,"
                     "\"problems\":1,\"restored\":0}\n",
                     "txd-depth-fix: @gone: No such file or directory\n", 2, ""}),
    named_case<command_case>::name);

// The text may change; what it must tell may not.
TEST(Help, NamesEveryOptionAndStatusAndTouchesNothing)
{
	std::string path = scratch_path("archive.img");
	write_file(path, command_file('a', false));
	run_result r = run_tool({path, "--help"});
	for (const char *told : {"-n, --dry-run", "-v, --verbose", "-q, --quiet", "-H, --with-filename", "-t, --txd",
	                         "-b, --backup", "-p, --preserve", "--totals", "--check", "-h, --help", "-V, --version", "FOLDER",
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
	char prog[] = "txd-depth-fix", help[] = "--help", version[] = "-V", bad[] = "-zn";
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
	EXPECT_EQ(refused.out + refused.err, "txd-depth-fix: unknown option '-z'\n" + usage_hint);
	EXPECT_EQ(refused.status, 2);
	EXPECT_EQ(run_tool({bad}).status, 2);
	EXPECT_EQ(run_tool({path}).out, a_line);
	EXPECT_EQ(read_file(path), command_file('a', true));
	std::remove(path.c_str());
}

// glibc stops at the first operand under POSIXLY_CORRECT unless told
// otherwise; a dry run asked for after the file must still be one.
TEST(Help, OptionsCountWhereverTheyStandUnderPosixlyCorrect)
{
	POSIX_ONLY();
	std::string path = scratch_path("archive.img");
	write_file(path, command_file('a', false));
	ASSERT_TRUE(set_environment("POSIXLY_CORRECT", "1"));
	run_result dry = run_tool({path, "-n"}), bogus = run_tool({path, "--bogus"});
	set_environment("POSIXLY_CORRECT", nullptr);
	EXPECT_EQ(dry.out + dry.err, a_found);
	EXPECT_EQ(bogus.out + bogus.err, "txd-depth-fix: unknown option '--bogus'\n" + usage_hint);
	EXPECT_EQ(bogus.status, 2);
	EXPECT_EQ(read_file(path), command_file('a', false));
	std::remove(path.c_str());
}

TEST(Console, HeldOpenOnlyWhenTheToolIsAloneOnIt)
{
	EXPECT_TRUE(console_closes_at_exit(1, true));
	EXPECT_FALSE(console_closes_at_exit(1, false)); // input redirected
	EXPECT_FALSE(console_closes_at_exit(2, true));  // started from a console
	EXPECT_FALSE(console_closes_at_exit(0, true));  // no console at all
}

TEST(Console, HintFitsWhatHappened)
{
	struct {
		bool usage_error, restore;
		int operands;
		std::uint64_t files, textures, restored, left_alone, problems;
		held_window_hint hint;
	} rows[] = {{true, false, 0, 0, 0, 0, 0, 0, HINT_USAGE},          {false, false, 0, 0, 0, 0, 0, 0, HINT_DROP_SOMETHING},
	            {false, false, 1, 1, 2, 0, 0, 0, HINT_NONE},           {false, false, 1, 1, 0, 0, 0, 0, HINT_NOTHING_NEEDED},
	            {false, false, 1, 1, 1, 0, 0, 0, HINT_NONE},
	            {false, false, 1, 1, 2, 0, 0, 1, HINT_PROBLEMS},       {false, false, 1, 0, 0, 0, 1, 1, HINT_PROBLEMS},
	            {false, false, 1, 0, 0, 0, 1, 0, HINT_LEFT_ALONE},     {false, false, 2, 0, 0, 0, 0, 0, HINT_NOTHING_FOUND},
	            {false, false, 2, 1, 2, 0, 1, 0, HINT_NONE},           {false, true, 1, 0, 0, 1, 0, 0, HINT_NONE},
	            {false, true, 1, 0, 0, 0, 0, 0, HINT_NO_BACKUP},       {false, true, 1, 0, 0, 0, 1, 0, HINT_NOT_RESTORED},
	            {false, true, 0, 0, 0, 0, 0, 0, HINT_DROP_TO_RESTORE}};
	for (const auto &row : rows) {
		run_summary summary = {};
		summary.usage_error = row.usage_error;
		summary.restore = row.restore;
		summary.operands = row.operands;
		summary.totals.files = row.files;
		summary.totals.textures = row.textures;
		summary.totals.restored = row.restored;
		summary.totals.left_alone = row.left_alone;
		summary.totals.problems = row.problems;
		EXPECT_EQ(held_window_hint_for(summary), row.hint)
		    << row.operands << row.files << row.textures << row.restored << row.left_alone << row.problems;
	}
}

// Names that are not UTF-8 are written as their bytes in base64, texture
// names too; a name with ": " and a line break in it is text, escaped.
TEST(Json, NamesAsTextOrBytes)
{
	POSIX_ONLY();
	std::string folder = scratch_path("json");
	ASSERT_TRUE(std::filesystem::create_directories(folder));
	write_file(folder + "/a: b\nc.txd", broken_txd);
	write_file(folder + "/\xff.txd", sample::archive({{"\xe9.txd", texture_dictionary({{"b\xff", 0x200, 8}})}}));
	std::filesystem::path was = std::filesystem::current_path();
	std::filesystem::current_path(folder);
	run_result r = run_tool({"--json", "-nq", "a: b\nc.txd", "\xff.txd"});
	std::filesystem::current_path(was);
	EXPECT_EQ(r.out, "{\"type\":\"entry\",\"path\":{\"text\":\"a: b\\u000ac.txd\"},\"entry\":null,\"found\":2,\"repaired\":0,"
	                 "\"still\":0,\"textures\":" + json_textures + "}\n"
	                 "{\"type\":\"entry\",\"path\":{\"bytes\":\"/y50eGQ=\"},\"entry\":{\"bytes\":\"6S50eGQ=\"},\"found\":1,"
	                 "\"repaired\":0,\"still\":0,\"textures\":[{\"name\":{\"bytes\":\"Yv8=\"},\"format\":\"5-6-5\",\"depth\":8,\"reached\":true}]}\n"
	                 "{\"type\":\"summary\",\"dry_run\":true,\"textures\":3,\"files\":2,\"changed\":2,\"still\":0,\"left_alone\":0,"
	                 "\"problems\":0,\"restored\":0}\n");
	EXPECT_EQ(r.err, "");
	std::filesystem::remove_all(folder);
}

// For a sample of command lines, what JSON Lines say (each entry's name and
// counts, the totals) is what the text lines say.
TEST(Json, SaysWhatTheTextLinesSay)
{
	std::string stem = scratch_path("");
	auto run = [&](std::vector<std::string> args) {
		for (char f : file_letters)
			write_file(expand(std::string("@") + f, stem), command_file(f, false));
		for (std::string &a : args)
			a = expand(a, stem);
		return run_tool(args);
	};
	const std::vector<std::vector<std::string>> samples = {
	    {"@a", "@b"}, {"-n", "@c", "@o", "@a"}, {"-t", "@t", "@d", "@e"}, {"-q", "@c", "@a", "@gone"},
	    {"-b", "@v", "@k", "@s"}, {"--check", "@o", "@c"}, {"-n", "-t", "@k", "@t"}};
	const std::regex text_line(R"((?:.*: )?(?:Patching|Checking) (.*) (?:patched|found) (\d+) textures?(?: to repair)?(?:, (\d+) still to repair)?)");
	const std::regex json_entry(R"re("path":\{"text":"([^"]*)"\},"entry":(?:null|\{"text":"([^"]*)"\}),"found":(\d+),"repaired":(\d+),"still":(\d+))re");
	const std::regex json_summary(R"re("dry_run":(true|false),"textures":(\d+),"files":(\d+),"changed":(\d+),"still":(\d+),"left_alone":(\d+),"problems":(\d+))re");
	for (std::vector<std::string> args : samples) {
		bool dry = args[0] == "-n" || args[0] == "--check";
		std::vector<std::string> totals = args, json = args;
		totals.insert(totals.begin(), "--totals");
		json.insert(json.begin(), "--json");
		run_result text = run(totals), lines = run(json);
		std::string said, told;
		std::smatch m;
		std::istringstream text_out(text.out), json_out(lines.out);
		std::string line, last;
		while (std::getline(text_out, line))
			if (std::regex_match(line, m, text_line))
				said += m[1].str() + " " + m[2].str() + " " + (m[3].matched ? m[3].str() : "0") + "\n";
			else
				last = line;
		report_totals t = {};
		while (std::getline(json_out, line))
			if (std::regex_search(line, m, json_entry))
				told += std::regex_replace(m[2].matched ? m[2].str() : m[1].str(), std::regex(R"(\\\\)"), "\\") + " " +
				        (dry ? m[3].str() : m[4].str()) + " " + m[5].str() + "\n";
			else if (std::regex_search(line, m, json_summary)) {
				std::uint64_t *fields[] = {&t.textures, &t.files, &t.repaired, &t.still, &t.left_alone, &t.problems};
				for (std::size_t i = 0; i < 6; i++)
					*fields[i] = std::stoull(m[i + 2].str());
			}
		char rendered[TOTALS_ROOM];
		totals_text(t, dry, false, rendered, sizeof rendered);
		EXPECT_EQ(told, said) << args[0];
		EXPECT_EQ(rendered, last) << args[0];
		EXPECT_EQ(lines.status, text.status) << args[0];
		EXPECT_EQ(lines.err, text.err) << args[0];
	}
	for (char f : file_letters)
		std::remove(expand(std::string("@") + f, stem).c_str());
}

// A FILE named without a folder is opened in the current one.
TEST(CommandLine, FileNamedWithoutAFolder)
{
	std::string path = scratch_path("a.img");
	write_file(path, command_file('a', false));
	std::filesystem::path was = std::filesystem::current_path();
	std::filesystem::current_path(std::filesystem::u8path(path).parent_path());
	run_result r = run_tool({std::filesystem::u8path(path).filename().u8string()});
	std::filesystem::current_path(was);
	EXPECT_EQ(r.out + r.err, a_line);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(path), command_file('a', true));
	std::remove(path.c_str());
}

// Dropped on the program, files are handled as -q would, and the window
// shows every problem again (20, then how many more), every FILE left alone
// with its reason, the totals whether or not --totals was given, and a hint.
TEST(Console, HeldWindowListsProblemsAndWhatWasLeftAlone)
{
	auto text_of = [](const run_summary &summary) {
		char *text = held_window_text(summary);
		std::string shown = text != nullptr ? text : "";
		std::free(text);
		return shown;
	};
	std::string stem = scratch_path("");
	std::vector<std::string> args{"@a", "@c", "@t", "@s", "@e"}, problems;
	for (char f : file_letters)
		write_file(expand(std::string("@") + f, stem), command_file(f, false));
	for (int i = 0; i < 21; i++) {
		args.push_back("@gone" + std::to_string(i));
		if (i < 20)
			problems.push_back("txd-depth-fix: @gone" + std::to_string(i) + ": No such file or directory\n");
	}
	for (std::string &a : args)
		a = expand(a, stem);
	run_summary summary = {};
	run_result r = run_held(args, summary);
	std::string shown = text_of(summary);
	EXPECT_EQ(r.out, expand("@a: " + a_line + "Patching @t patched 2 textures\n", stem));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(shown, expand("\n" + std::accumulate(problems.begin(), problems.end(), std::string()) +
	                            "and 1 more problem\n@s: left alone: not a texture dictionary\n"
	                            "@e: left alone: not a texture dictionary\n"
	                            "4 textures repaired in 2 of 3 files, 2 left alone, 21 problems\n"
	                            "Each problem above names its file and what went wrong.\n"
	                            "Undo: drop the same files onto txd-depth-fix-restore.exe\n"
	                            "Press Enter to close this window.",
	                            stem));
	release_summary(summary);
	// A drop keeps undo records, and a restore drop lists what it restored.
	summary = {};
	r = run_held({expand("--restore", stem), expand("@a", stem), expand("@t", stem)}, summary);
	EXPECT_EQ(text_of(summary), expand("\nRestored @a from @a.undo\nRestored @t from @t.undo\n2 files restored\n"
	                                   "Press Enter to close this window.", stem));
	EXPECT_EQ(read_file(expand("@a", stem)), command_file('a', false));
	release_summary(summary);
	// Found sound, it says so; problems of a file in use or refused get
	// their next step.
	// A folder dropped again after -b: its backups are counted, not listed.
	std::string folder = scratch_path("dropped");
	std::filesystem::create_directories(std::filesystem::u8path(folder));
	write_file(folder + "/c.img", command_file('c', false));
	write_file(folder + "/c.img.bak", command_file('c', false));
	summary = {};
	r = run_held({folder}, summary);
	EXPECT_EQ(text_of(summary), "\n0 textures repaired in 0 of 1 file, 1 left alone\nNothing needed repair.\n"
	                            "Press Enter to close this window.");
	release_summary(summary);
	std::filesystem::remove_all(std::filesystem::u8path(folder));
	summary = {};
	summary.operands = 1;
	summary.totals.problems = 2;
	summary.seen = SEEN_IN_USE | SEEN_DENIED;
	std::snprintf(summary.totals_line, sizeof summary.totals_line, "T");
	EXPECT_EQ(text_of(summary), "\nT\nEach problem above names its file and what went wrong.\n"
	                            "A file in use: close the game or editor that has it open, then try again.\n"
	                            "Access denied: clear the file's read-only attribute, or copy the folder out of Program "
	                            "Files and repair the copy.\nPress Enter to close this window.");
	for (char f : file_letters)
		std::remove(expand(std::string("@") + f, stem).c_str());
	// A usage error shows once, with one hint and no totals; so does a
	// shortcut's option with nothing dropped on it.
	summary = {};
	r = run_held({"--bogus"}, summary);
	EXPECT_EQ(r.err, "txd-depth-fix: unknown option '--bogus'\n");
	EXPECT_EQ(text_of(summary), "\nThe options given are not right; txd-depth-fix /? lists them.\n"
	                            "Press Enter to close this window.");
	release_summary(summary);
	summary = {};
	r = run_held({"-b"}, summary);
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: no FILE or FOLDER given\n");
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(text_of(summary), "\nDrop archives, .txd files or folders onto txd-depth-fix.exe: it repairs them in place, "
	                            "and keeps the way back in FILE.undo beside each file it changes.\nPress Enter to close this window.");
	release_summary(summary);
	summary = {};
	r = run_held({expand("@\x1b[31m", stem)}, summary);
	EXPECT_EQ(text_of(summary).substr(0, 16 + stem.size() + 6), "\ntxd-depth-fix: " + stem + "?[31m:");
	release_summary(summary);
	// A restore drop speaks of restoring.
	summary = {};
	write_file(expand("@c", stem), command_file('c', false));
	r = run_held({"--restore", expand("@c", stem)}, summary);
	EXPECT_EQ(text_of(summary), expand("\n@c: left alone: no backup\n0 files restored, 1 left alone\n"
	                                   "Nothing dropped could be restored: each file left alone is listed above with why.\n"
	                                   "Press Enter to close this window.",
	                                   stem));
	release_summary(summary);
	std::remove(expand("@c", stem).c_str());
	summary = {};
	r = run_held({}, summary);
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(text_of(summary), "\nDrop archives, .txd files or folders onto txd-depth-fix.exe: it repairs them in place, "
	                            "and keeps the way back in FILE.undo beside each file it changes.\nPress Enter to close this window.");
	release_summary(summary);
}

// In name order; links and backups passed over, and a pattern that only
// they match marked; a pattern matching nothing, or in a folder's name,
// stays as written; a pattern with no folder is in the current one.
TEST(Wildcards, ExpandInTheirFolder)
{
	std::string root = scratch_path("w");
	ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path(root)));
	for (const char *name : {"/b.img", "/a.img", "/k.img.bak", "/c.txd"})
		write_file(root + name, {});
	ASSERT_TRUE(!posix || make_symlink("a.img", root + "/l.img"));
	path_list list = {nullptr, 0, 0};
	for (const char *operand : {"/?.img", "/k*", "/*.none", "/c.txd", "/w*/a.img"})
		ASSERT_TRUE(expand_operand((root + operand).c_str(), list));
	std::vector<std::pair<std::string, bool>> got, expected{
	    {root + "/a.img", false}, {root + "/b.img", false}, {root + "/k*", true},
	    {root + "/*.none", false}, {root + "/c.txd", false}, {root + "/w*/a.img", false}};
	// As typed at a prompt, in the current folder.
	std::filesystem::path was = std::filesystem::current_path();
	std::filesystem::current_path(std::filesystem::u8path(root));
	EXPECT_TRUE(expand_operand("?.img", list));
	std::filesystem::current_path(was);
	expected.insert(expected.end(), {{"a.img", false}, {"b.img", false}});
	for (std::size_t i = 0; i < list.count; i++)
		got.push_back({list.items[i].path, list.items[i].only_passed_over});
	EXPECT_EQ(got, expected);
	release_paths(list);
	std::filesystem::remove_all(std::filesystem::u8path(root));
}

TEST(Wildcards, MatchAsWindowsProgramsDo)
{
	struct {
		const char *name, *pattern;
		bool matches;
	} rows[] = {{"a.img", "*.img", true},   {"A.IMG", "*.img", true},        {"a.img.bak", "*.img", false},
	            {"ab.img", "?.img", false}, {"\xc3\xa9.img", "?.img", true}, {"readme", "*.*", true},
	            {"a.txd", "a*x*d", true},   {"a.txd", "a*x*e", false},       {"abc", "a?c", true},
	            {"ac", "a?c", false},       {"aXbXc", "*x*c", true},         {"a", "**", true},
	            // Characters of each UTF-8 length told apart by every bit; a '?'
	            // is one UTF-16 unit, half of a character past U+FFFF; a
	            // malformed byte is one unit.
	            {"\xc3\xa9", "\xc3\xa8", false}, {"\xc3\xa9", "\xc2\xa9", false}, {"\xe6\xa8\xa1", "\xe7\xa8\xa1", false},
	            {"\xe6\xa8\xa1", "\xe6\xa8\xa2", false}, {"\xe0\xa0\x80", "?", true}, {"\xf0\x9f\x98\x80", "??", true},
	            {"\xf0\x9f\x98\x80", "?", false}, {"\xf1\x80\x80\x80", "??", true}, {"\xf0\x90\x80\x80", "??", true},
	            {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x81", false}, {"\x80\xff", "??", true},
	            {"readme", "read*.", true}, {"a.img", "a*.", false}};
	for (const auto &row : rows)
		EXPECT_EQ(matches_pattern(row.name, row.pattern), row.matches) << row.name << " " << row.pattern;
}

// Windows programs are asked for help with "/?", which names no file there.
TEST(Console, SlashQuestionMarkIsHelpOnWindowsOnly)
{
	run_result r = run_tool({"/?"});
#ifdef _WIN32
	EXPECT_EQ(r.out.compare(0, 22, "usage: txd-depth-fix ["), 0);
	EXPECT_EQ(r.status, 0);
#else
	EXPECT_EQ(r.out + r.err, "txd-depth-fix: /?: no such file; options start with '-' here (did you mean -h?)\n" + usage_hint);
	EXPECT_EQ(r.status, 2);
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
	// With no writer, a read of the FIFO would wait for ever; opened
	// read-only, even the open would.
	if (make_fifo(fifo, 0600))
		cases.insert(cases.end(), {{"", fifo, "not a regular file"},
		                           {"", "/dev/null", "not a regular file"},
		                           {"-n", fifo, "not a regular file"},
		                           {"-tn", "/dev/null", "not a regular file"}});
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
		r = run_tool({missing, ""}, &own_process); // an empty argument reaches the program too
		EXPECT_EQ(r.out + r.err, "txd-depth-fix: an empty name was given\n" + usage_hint);
		EXPECT_EQ(r.status, 2);
		std::filesystem::remove(std::filesystem::u8path(path));
	}
}

// Both streams on one terminal: controls in names and paths (bytes below
// 0x20, 0x7F, and U+0080 to U+009F such as the one-character CSI) and
// malformed UTF-8, in report lines, prefixes and diagnostics alike, print as
// '?'; characters of any alphabet print as themselves.
TEST(Terminal, ControlBytesOfNamesPrintAsQuestionMarks)
{
#ifdef _WIN32
	GTEST_SKIP() << "needs a POSIX terminal";
#else
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
	std::FILE *tty = fdopen(open(ptsname(master), O_WRONLY | O_NOCTTY), "w");
	ASSERT_TRUE(tty != nullptr);
	std::string path = scratch_path("a\x1b[2J.img"), other = scratch_path("b.img");
	// Each name as stored, and as the terminal must show it.
	const std::pair<std::string, std::string> names[] = {
	    {"a\x1b]0;x\x07.txd", "a?]0;x?.txd"},        {"b\x7f.txd", "b?.txd"},
	    {" c\x1f~\x20.txd", " c?~ .txd"},            {"d\xc2\x9b" "2J.txd", "d?2J.txd"},
	    {"e\x9b.txd", "e?.txd"},                      {"\xe6\xa8\xa1\xd0\xb0.txd", "\xe6\xa8\xa1\xd0\xb0.txd"},
	    // The ends of each UTF-8 length: a lone continuation, an overlong
	    // pair, U+00A0, U+07FF and a lead cut short; U+0800, U+FFFD and
	    // U+D7FF; an overlong triple, a surrogate, U+009F and a triple whose
	    // second byte is none; U+10000 and U+10FFFF; an overlong quadruple,
	    // past U+10FFFF, and a lead byte no character has.
	    {"f\x80\xc1\x80\xc2\xa0\xdf\xbf\xc3.txd", "f???\xc2\xa0\xdf\xbf?.txd"},
	    {"g\xe0\xa0\x80\xef\xbf\xbd\xed\x9f\xbf.txd", "g\xe0\xa0\x80\xef\xbf\xbd\xed\x9f\xbf.txd"},
	    {"h\xe0\x9f\xbf\xed\xa0\x80\xc2\x9f\xe4x\x80.txd", "h????????x?.txd"},
	    {"i\xf0\x90\x80\x80\xf4\x8f\xbf\xbf.txd", "i\xf0\x90\x80\x80\xf4\x8f\xbf\xbf.txd"},
	    {"j\xf0\x8f\xbf\xbf\xf4\x90\x80\x80\xf5\x80\x80\x80.txd", "j????????????.txd"}};
	std::vector<sample::entry> entries, repaired;
	std::string a = scratch_path("a?[2J.img"), expected;
	for (const auto &[stored, shown] : names) {
		entries.push_back({stored, broken_txd});
		repaired.push_back({stored, fixed_txd});
		expected += a + ": Patching " + shown + " patched 2 textures\r\n";
	}
	write_file(path, sample::archive(entries));
	write_file(other, cat({header("VER2", 1), sample::dir_record(9, 1, "g\x1b.txd")}));
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
	EXPECT_EQ(shown, expected + other + ": Patching g?.txd patched 0 textures\r\n" + "txd-depth-fix: " + other +
	                     ": g?.txd: entry starts past the end of the archive\r\n" + "txd-depth-fix: " + other +
	                     ": g?.txd: entry starts past the end of the archive\r\n");
	EXPECT_EQ(read_file(path), sample::archive(repaired));
	std::remove(path.c_str());
	std::remove(other.c_str());
#endif
}

} // namespace
