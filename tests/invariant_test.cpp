// The checker must tell permitted outcomes from damage, or fuzzing and the
// fault tests prove nothing.
#include "invariant.h"

#include <gtest/gtest.h>

#include "sample_archive.h"

namespace {

using sample::bytes;

const bytes broken_txd = sample::texture_dictionary({{"a", 0x200, 8}});
const bytes fixed_txd = sample::texture_dictionary({{"a", 0x200, 16}});
const bytes wrong_txd = sample::texture_dictionary({{"a", 0x200, 24}});
const bytes paletted_txd = sample::texture_dictionary({{"a", 0x500, 8}});
const bytes paletted_16 = sample::texture_dictionary({{"a", 0x500, 16}});

bytes one(const char *name, const bytes &txd)
{
	return sample::archive({{name, txd}});
}

bytes longer(bytes b)
{
	b.push_back(0);
	return b;
}

const bytes short_native = sample::short_texture_native_then_type_8({"a", 0x200, 8}, 96);
bytes next_chunk_retyped()
{
	bytes b = short_native;
	b[108] = 16; // the type of the chunk after the short native
	return b;
}

struct outcome_case {
	const char *what;
	bytes before, after;
	bool whole_run; // false: a run cut short by a failure
	bool permitted;
};

class ArchiveOutcome : public ::testing::TestWithParam<outcome_case> {};

TEST_P(ArchiveOutcome, IsJudgedRight)
{
	const outcome_case &c = GetParam();
	EXPECT_EQ(invariant::archive_violation(c.before, c.after, c.whole_run).empty(), c.permitted);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ArchiveOutcome,
    ::testing::Values(outcome_case{"Repair", one("a.txd", broken_txd), one("a.txd", fixed_txd), true, true},
                      outcome_case{"Untouched", one("a.txd", broken_txd), one("a.txd", broken_txd), true, false},
                      outcome_case{"UntouchedByAFailedRun", one("a.txd", broken_txd), one("a.txd", broken_txd), false, true},
                      outcome_case{"UnselectedEntry", one("a.dff", broken_txd), one("a.dff", fixed_txd), true, false},
                      outcome_case{"WrongNewDepth", one("a.txd", broken_txd), one("a.txd", wrong_txd), false, false},
                      outcome_case{"NotSixteenBit", one("a.txd", paletted_txd), one("a.txd", paletted_16), false, false},
                      outcome_case{"OtherByte", one("a.txd", broken_txd), one("b.txd", broken_txd), false, false},
                      outcome_case{"NextChunkRetyped", one("a.txd", short_native), one("a.txd", next_chunk_retyped()), false, false},
                      outcome_case{"LengthChanged", one("a.txd", broken_txd), longer(one("a.txd", broken_txd)), true, false}),
    [](const ::testing::TestParamInfo<outcome_case> &param) { return std::string(param.param.what); });

TEST(WalkOutcome, RealDictionariesHold)
{
	for (const sample::entry &e : sample::mixed_entries(true))
		EXPECT_EQ(invariant::walk_violation(e.data), "") << e.name;
}

} // namespace
