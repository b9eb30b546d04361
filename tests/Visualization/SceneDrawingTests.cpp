#include "Visualization/SceneDrawing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace korvalen;
using namespace korvalen::scene;
using Op = RecordingSceneContext::Operation;

TEST(SceneNoise, MatchesSplitMix64LowBitsAndDependsOnSeedPlusIndexOnly)
{
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        std::int64_t index, seed;
        int raw;
    };
    const Case cases[] = {
        {0, 0, 52655},   {1, 0, 23745},  {5, 195, 37577},      {200, 0, 37577},
        {7, 600, 65139}, {-1, 0, 11296}, {int64Max, 1, 62427},  // the sum wraps past 2^63 instead of overflowing
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(noiseValue(c.index, c.seed), c.raw / 65535.0) << c.index << " " << c.seed;
    EXPECT_EQ(noiseValue(int64Min, 0), noiseValue(int64Max, 1));
    EXPECT_EQ(noise(600, 7), noiseValue(7, 600));
}

TEST(SceneNumbers, FractRemAndTimeIndexOnNegativesAndExtremes)
{
    EXPECT_DOUBLE_EQ(fract(2.25), 0.25);
    EXPECT_DOUBLE_EQ(fract(-0.25), 0.75);
    EXPECT_DOUBLE_EQ(rem(2.25), 0.25);
    EXPECT_DOUBLE_EQ(rem(-0.25), -0.25);
    EXPECT_DOUBLE_EQ(rem(-3.5, 2), -1.5);
    EXPECT_DOUBLE_EQ(rem(5.5, 2), 1.5);
    EXPECT_EQ(timeIndex(-2.7), -2);
    EXPECT_EQ(timeIndex(8.2e8 * 12.0), std::int64_t(9840000000));  // beyond 2^31
    EXPECT_EQ(timeIndex(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(timeIndex(-1e300), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(timeIndex(std::nan("")), 0);
}

TEST(SceneBlocks, TileMatrixLaysOutRowByRowWithTwoPointGaps)
{
    RecordingSceneContext context;
    const SceneColor color = SceneColors::cyan;
    drawTileMatrix(context, QRectF(10, 20, 110, 64), 5, 2, 3, color, 0.4, 0.2, 600);
    const auto& ops = context.operations();
    ASSERT_EQ(ops.size(), 6u);
    // inner 100 × 54: tiles (100 − 4) / 3 = 32 wide, (54 − 2) / 2 = 26 high
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 3; ++c) {
            const Op& op = ops[r * 3 + c];
            ASSERT_EQ(op.kind, Op::Kind::fill);
            const auto& element = op.path.elements().at(0);
            EXPECT_EQ(element.kind, ScenePathElement::Kind::roundedRect);
            EXPECT_EQ(element.rect, QRectF(15 + c * 34, 25 + r * 28, 32, 26));
            EXPECT_DOUBLE_EQ(element.cornerRadius, 0.12 * 26);
            const double v = 0.55 * (0.5 + 0.5 * std::sin(1.8 * 0.4 + 0.2 + 0.47 * r + 0.31 * c)) +
                             0.45 * noiseValue(r * 3 + c, 600);
            EXPECT_DOUBLE_EQ(op.color.opacity, 0.08 + 0.78 * v);
            EXPECT_DOUBLE_EQ(op.color.red, color.red);
        }
    }
}

TEST(SceneBlocks, FlowDotsRunFromFirstPointToSecond)
{
    RecordingSceneContext context;
    drawFlowDots(context, {0, 0}, {100, 50}, SceneColors::green, 4, 0.5, 0.1, 1.0);
    const auto& ops = context.operations();
    ASSERT_EQ(ops.size(), 5u);
    EXPECT_EQ(ops[0].kind, Op::Kind::stroke);
    EXPECT_EQ(ops[0].path, ScenePath::line({0, 0}, {100, 50}));
    EXPECT_DOUBLE_EQ(ops[0].color.opacity, 0.16);
    EXPECT_DOUBLE_EQ(ops[0].lineWidth, 1);
    for (int j = 0; j < 4; ++j) {
        const double p = fract(0.5 + j / 4.0 + 0.1);  // 0.6, 0.85, 0.1, 0.35
        const double a = 0.55 + 0.45 * std::sin(M_PI * p);
        const double radius = 3 * (0.75 + 0.25 * a);
        const Op& dot = ops[1 + j];
        EXPECT_EQ(dot.kind, Op::Kind::fill);
        const QRectF bounds = dot.path.elements().at(0).rect;
        EXPECT_NEAR(bounds.center().x(), 100 * p, 1e-9);
        EXPECT_NEAR(bounds.center().y(), 50 * p, 1e-9);
        EXPECT_NEAR(bounds.width(), 2 * radius, 1e-9);
        EXPECT_NEAR(dot.color.opacity, 0.45 + 0.48 * a, 1e-12);
    }
}

TEST(SceneBlocks, ImagePlateDarkensEveryThirdCellOnlyWhenPixelated)
{
    RecordingSceneContext smooth, pixelated;
    const QRectF rect(0, 0, 220, 130);
    drawImagePlate(smooth, rect, 1.35, false);
    drawImagePlate(pixelated, rect, 1.35, true);
    // outline, sun, hills, ground, block, then the outline's stroke
    ASSERT_EQ(smooth.operations().size(), 6u);
    ASSERT_EQ(pixelated.operations().size(), 6u + 96u);
    EXPECT_EQ(pixelated.operations().back().kind, Op::Kind::stroke);
    int cells = 0;
    for (std::size_t i = 5; i < 5 + 96; ++i) {
        const Op& op = pixelated.operations()[i];
        const QRectF cell = op.path.elements().at(0).rect;
        const int k = int(std::lround(cell.x() / 10)), r = int(std::lround(cell.y() / 10));
        EXPECT_EQ((r + k) % 3, 0);
        EXPECT_DOUBLE_EQ(cell.width(), 10.5);
        EXPECT_DOUBLE_EQ(op.color.opacity, 0.05 + 0.1 * noiseValue(r * 22 + k, 0));
        ++cells;
    }
    EXPECT_EQ(cells, 96);
}

TEST(SceneBlocks, DegenerateSizesDrawWithoutFailing)
{
    RecordingSceneContext context;
    drawBackground(context, QSizeF(0, 0), 8.2e8);
    drawImagePlate(context, QRectF(0, 0, 0, 0), 8.2e8, true);
    EXPECT_EQ(context.operations().size(), 1u + 18u + 11u + 1u + 6u + 96u);
}
