#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

namespace {

constexpr ImageLib_Rect kAll = ImageLib_Rect::Everything();

TEST(Rect, IntersectionEmptinessAndNoNormalisation) {
    struct Case {
        ImageLib_Rect a, b, expected;
        bool empty;
    } cases[] = {
        {{0, 0, 10, 10}, kAll, {0, 0, 10, 10, false}, false},
        {kAll, {0, 0, 10, 10}, {0, 0, 10, 10, false}, false},
        {kAll, kAll, kAll, false},
        {{0, 0, 10, 10}, {20, 20, 30, 30}, {20, 20, 10, 10, false}, true},
        {{0, 0, 10, 10}, {5, -3, 12, 4}, {5, 0, 10, 4, false}, false},
        {{0, 0, 10, 10}, {10, 0, 20, 10}, {10, 0, 10, 10, false}, true},
    };
    for (const Case& c : cases) {
        ImageLib_Rect result = ImageLib_Rect::Intersect(c.a, c.b);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(result.IsEmpty(), c.empty);
        // The result may be written over either operand.
        ImageLib_Rect a = c.a;
        a = ImageLib_Rect::Intersect(a, c.b);
        EXPECT_EQ(a, c.expected);
    }
    EXPECT_TRUE(ImageLib_Rect::Nothing().IsEmpty());
    EXPECT_FALSE(kAll.IsEmpty());
}

// A node whose bounds follow its input, to show they are computed only once.
class FollowNode : public ImageLib_NodeWithOneInput {
public:
    using ImageLib_NodeWithOneInput::ImageLib_NodeWithOneInput;
    void Compute(ImageLib_ImageAccess&, const ImageLib_Rect&) override {}
    ImageLib_Rect ComputeBounds() override {
        ++boundsCalls;
        return input->GetBounds();
    }
    int boundsCalls = 0;
};

TEST(ComputeNode, BoundsAreComputedOnceAndInputsAreNotOwned) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    testnodes::PatternNode small({0, 0, 10, 10, false});
    testnodes::PatternNode large({0, 0, 50, 50, false});
    {
        FollowNode node(&small);
        EXPECT_TRUE(node.boundsDirty);
        EXPECT_EQ(node.GetBounds(), (ImageLib_Rect{0, 0, 10, 10, false}));
        node.SetInput(7, &large); // any index addresses the single input
        EXPECT_EQ(node.GetInput(5), &large);
        EXPECT_EQ(node.GetInputCount(), 1);
        EXPECT_EQ(node.GetBounds(), (ImageLib_Rect{0, 0, 10, 10, false}));
        EXPECT_EQ(node.boundsCalls, 1);
    }
    // The inputs outlive the node that used them.
    EXPECT_EQ(small.GetBounds(), (ImageLib_Rect{0, 0, 10, 10, false}));

    testnodes::SumNode many(3);
    EXPECT_EQ(many.GetInputCount(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(many.GetInput(i), nullptr);
    many.SetInput(1, &small);
    EXPECT_EQ(many.GetInput(1), &small);
    EXPECT_EQ(callbacks.liveAllocations, 1); // the input vector, from the library allocator
}

} // namespace
