#include "sources/MMCutLst.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TMMCutRecord Segment(int32_t first, int32_t count) {
    // 4-byte samples, as for 16-bit stereo.
    return {first, first * 4, count, count * 4, 0};
}

std::vector<int32_t> FirstSamples(const TMMCutList& list) {
    std::vector<int32_t> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list[i].firstSample);
    return out;
}

} // namespace

TEST(TMMCutList, KeepsSegmentsInOrderAndRefusesStartsInsideOne) {
    struct Case {
        int32_t first;
        bool added;
    };
    // The list holds [100, 150) and [300, 400).
    const Case cases[] = {
        {50, true},  {99, true},   {100, false}, {149, false}, {150, true},
        {200, true}, {300, false}, {399, false}, {400, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        TMMCutList list;
        ASSERT_TRUE(list.Add(Segment(300, 100)));
        ASSERT_TRUE(list.Add(Segment(100, 50)));
        EXPECT_EQ(list.Add(Segment(c.first, 10)), c.added);
        EXPECT_EQ(list.Count(), c.added ? 3 : 2);
        const auto firsts = FirstSamples(list);
        EXPECT_TRUE(std::is_sorted(firsts.begin(), firsts.end()));
    }
}

TEST(TMMCutList, DeleteClearAndGrowth) {
    TMMCutList list;
    std::set<int> capacities;
    for (int32_t i = 19; i >= 0; --i) {
        ASSERT_TRUE(list.Add(Segment(i * 10, 10)));
        capacities.insert(list.Capacity());
    }
    EXPECT_EQ(capacities, (std::set<int>{4, 8, 16, 32}));
    EXPECT_EQ(list[19].firstSample, 190);
    EXPECT_EQ(list[19].byteOffset, 760);

    list.Delete(1);
    EXPECT_EQ(list.Count(), 19);
    EXPECT_EQ(list.Item(0).firstSample, 0);
    EXPECT_EQ(list.Item(1).firstSample, 20);

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
    EXPECT_TRUE(list.Add(Segment(5, 1)));
}

TEST(TMMCutList, IndexOutsideTheListThrows) {
    TMMCutList list;
    list.Add(Segment(0, 10));
    list.Add(Segment(10, 10));
    for (const int index : {-1, 2, 1000}) {
        SCOPED_TRACE(index);
        const std::string message = "List index out of bounds (" + std::to_string(index) + ")";
        try {
            (void)list[index];
            ADD_FAILURE() << "no exception";
        } catch (const EListError& error) {
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_THROW(list.Delete(index), EListError);
    }
    EXPECT_EQ(list.Count(), 2);
}
