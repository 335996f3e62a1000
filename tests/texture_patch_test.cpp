#include "format/texture_patch.h"

#include <gtest/gtest.h>

#include "invariant.h"
#include "sample_archive.h"

using sample::bytes;
using sample::cat;
using sample::chunk;
using sample::texture;
using sample::texture_dictionary;
using sample::texture_native;

namespace {

bytes zeros(std::size_t n)
{
	return bytes(n, 0);
}

// A stream, the stream as it must be after one walk, and the walk's count.
struct walk_case {
	const char *what;
	bytes before;
	bytes after;
	std::int32_t count;
};

class Walk : public ::testing::TestWithParam<walk_case> {};

TEST_P(Walk, ChangesExactlyTheQualifyingDepths)
{
	const walk_case &c = GetParam();
	bytes buffer = c.before;
	EXPECT_EQ(patch_texture_depths(buffer.data(), buffer.size()), c.count);
	EXPECT_EQ(buffer, c.after);
	EXPECT_EQ(invariant::walk_violation(c.before), ""); // the checker's own walk agrees
	// A repaired buffer has nothing left to repair.
	EXPECT_EQ(patch_texture_depths(buffer.data(), buffer.size()), 0);
	EXPECT_EQ(buffer, c.after);
}

const texture skin{"skin", 0x200, 8}, skin_fixed{"skin", 0x200, 16};
const texture hair{"hair", 0x100, 4}, hair_fixed{"hair", 0x100, 16};
const texture eyes{"eyes", 0x500, 8};
const bytes opaque = chunk(0x10, bytes(40, 0x15));

// A texture native whose buffer ends just before its depth byte.
bytes cut_native_before_depth(const texture &t)
{
	bytes native = texture_native(t);
	native.resize(DEPTH_OFFSET);
	return native;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Walk,
    ::testing::Values(
        walk_case{"Empty", {}, {}, 0},
        walk_case{"LeadingZeroWord", cat({zeros(4), texture_native(skin)}), cat({zeros(4), texture_native(skin)}), 0},
        walk_case{"DictionaryOfThreeWithZeroFill",
                  cat({texture_dictionary({skin, hair, eyes}), zeros(500)}),
                  cat({texture_dictionary({skin_fixed, hair_fixed, eyes}), zeros(500)}), 2},
        walk_case{"ZeroHeaderEndsTheWalk", cat({zeros(12), texture_native(skin)}),
                  cat({zeros(12), texture_native(skin)}), 0},
        walk_case{"TopLevelNative", texture_native(skin), texture_native(skin_fixed), 1},
        walk_case{"NativeInsideOpaqueChunk", chunk(3, texture_native(skin)), chunk(3, texture_native(skin)), 0},
        walk_case{"NativeInsideNative", chunk(0x15, texture_native(skin)), chunk(0x15, texture_native(skin)), 0},
        walk_case{"EmptyDictionary", texture_dictionary({}), texture_dictionary({}), 0},
        walk_case{"DictionaryInsideDictionary", chunk(0x16, texture_dictionary({skin})),
                  chunk(0x16, texture_dictionary({skin_fixed})), 1},
        walk_case{"TwoDictionaries", cat({texture_dictionary({skin}), opaque, texture_dictionary({hair})}),
                  cat({texture_dictionary({skin_fixed}), opaque, texture_dictionary({hair_fixed})}), 2},
        walk_case{"SizesLeadExactlyToTheEnd", cat({opaque, texture_native(hair)}),
                  cat({opaque, texture_native(hair_fixed)}), 1},
        walk_case{"DepthIsTheLastByte", cat({cut_native_before_depth(skin), bytes{8}}),
                  cat({cut_native_before_depth(skin), bytes{16}}), 1},
        walk_case{"BodyEndsAtTheDepth", sample::short_texture_native_then_type_8(skin, 97), sample::short_texture_native_then_type_8(skin_fixed, 97), 1},
        walk_case{"BodyEndsBeforeTheDepth", sample::short_texture_native_then_type_8(skin, 96), sample::short_texture_native_then_type_8(skin, 96), 0},
        walk_case{"NativeCutBeforeDepth", cat({opaque, cut_native_before_depth(skin)}),
                  cat({opaque, cut_native_before_depth(skin)}), 0},
        walk_case{"HeaderCutByTheEnd", cat({texture_native(skin), bytes{0x15, 0, 0, 0, 0, 0, 0, 0}}),
                  cat({texture_native(skin_fixed), bytes{0x15, 0, 0, 0, 0, 0, 0, 0}}), 1},
        walk_case{"SizeReachingPastTheEnd",
                  cat({bytes{0x10, 0, 0, 0, /* size */ 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}, texture_native(skin)}),
                  cat({bytes{0x10, 0, 0, 0, /* size */ 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}, texture_native(skin)}), 0},
        walk_case{"WalkGoesOnAfterTheDictionary", cat({texture_dictionary({eyes}), texture_native(hair), zeros(12)}),
                  cat({texture_dictionary({eyes}), texture_native(hair_fixed), zeros(12)}), 1}),
    [](const ::testing::TestParamInfo<walk_case> &param) { return std::string(param.param.what); });

// raster format, recorded depth, whether the walk must set it to 16
struct depth_rule_case {
	std::uint32_t raster_format;
	std::uint8_t depth;
	bool repaired;
};

class DepthRule : public ::testing::TestWithParam<depth_rule_case> {};

TEST_P(DepthRule, JudgesPixelFormatBitsAndDepthAlone)
{
	const depth_rule_case &c = GetParam();
	bytes buffer = texture_native({"t", c.raster_format, c.depth});
	bytes expected = texture_native({"t", c.raster_format, c.repaired ? std::uint8_t{16} : c.depth});
	EXPECT_EQ(patch_texture_depths(buffer.data(), buffer.size()), c.repaired ? 1 : 0);
	EXPECT_EQ(buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DepthRule,
    ::testing::Values(depth_rule_case{0x100, 8, true}, depth_rule_case{0x200, 4, true},
                      depth_rule_case{0x300, 8, true}, depth_rule_case{0x2300, 8, true},
                      depth_rule_case{0x81FF, 4, true}, depth_rule_case{0x300, 16, false},
                      depth_rule_case{0x200, 24, false}, depth_rule_case{0x200, 32, false},
                      depth_rule_case{0x200, 0, false}, depth_rule_case{0x100, 9, false},
                      depth_rule_case{0x000, 8, false}, depth_rule_case{0x400, 8, false},
                      depth_rule_case{0x500, 4, false}, depth_rule_case{0x600, 8, false},
                      depth_rule_case{0xF00, 8, false}, depth_rule_case{0x20FF, 8, false},
                      depth_rule_case{0x900, 8, false}, depth_rule_case{0xA00, 4, false},
                      depth_rule_case{0xB00, 8, false}, depth_rule_case{0x1200, 8, true}));

// The depth byte is the first byte past the buffer: it belongs to whoever
// lent the buffer, and stays 8.
TEST(Walk, NeverTouchesTheByteAfterTheBuffer)
{
	bytes buffer = texture_native(skin);
	buffer.resize(DEPTH_OFFSET + 1);
	EXPECT_EQ(patch_texture_depths(buffer.data(), DEPTH_OFFSET), 0);
	EXPECT_EQ(buffer, cat({cut_native_before_depth(skin), bytes{8}}));
}

} // namespace
