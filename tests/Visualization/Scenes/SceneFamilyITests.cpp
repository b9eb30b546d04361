#include "Visualization/SceneContext.h"
#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/Scenes.h"

#include "support/QtTestApp.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <string>
#include <vector>

// The backend-independent image scenes and the GPU vision, language, generative and audio scenes.
namespace korvalen::scene {
namespace {

using Op = RecordingSceneContext::Operation;
using Shape = ScenePathElement::Kind;
using SceneRoutine = void (*)(SceneContext&, QSizeF, double);

constexpr double frozen = 1.35;
constexpr double live = 8.2e8;
constexpr SceneColor accent = SceneColor::srgb(0.16, 0.78, 0.92);

struct Scene {
    const char* name;
    SceneRoutine draw;
};

const Scene scenes[] = {
    {"drawClassification", drawClassification},
    {"drawObjectDetection", drawObjectDetection},
    {"drawSegmentation", drawSegmentation},
    {"drawSuperResolution", drawSuperResolution},
    {"drawMultimodal", drawMultimodal},
    {"drawDiffusion", drawDiffusion},
    {"drawGPUVisionClassification", drawGPUVisionClassification},
    {"drawGPUVisionObjectTracking", drawGPUVisionObjectTracking},
    {"drawGPUVisionSemanticMask", drawGPUVisionSemanticMask},
    {"drawGPUVisionSuperResolution", drawGPUVisionSuperResolution},
    {"drawGPUVisionMultimodalEmbedding", drawGPUVisionMultimodalEmbedding},
    {"drawGPULanguageEmbeddingProjection", drawGPULanguageEmbeddingProjection},
    {"drawGPULanguageRoPERMS", drawGPULanguageRoPERMS},
    {"drawGPULanguageAttentionGraph", drawGPULanguageAttentionGraph},
    {"drawGPUGenerativePromptPrefill", drawGPUGenerativePromptPrefill},
    {"drawGPUGenerativeTokenDecode", drawGPUGenerativeTokenDecode},
    {"drawGPUGenerativeDiffusion", drawGPUGenerativeDiffusion},
    {"drawGPUAudioSpeechDecode", drawGPUAudioSpeechDecode},
    {"drawGPUAudioNoiseGate", drawGPUAudioNoiseGate},
    {"drawGPUAudioSceneClassifier", drawGPUAudioSceneClassifier},
};

SceneRoutine routine(const std::string& name)
{
    for (const Scene& scene : scenes)
        if (name == scene.name) return scene.draw;
    ADD_FAILURE() << "no scene " << name;
    return drawClassification;
}

std::vector<Op> record(SceneRoutine draw, QSizeF size, double time)
{
    RecordingSceneContext context(accent);
    draw(context, size, time);
    return context.operations();
}

// Every operation as one letter, upper case for fills and lower case for strokes (R rect, Q rounded
// rectangle, E ellipse, P polyline), runs of one letter written once with their length.
std::string layers(const std::vector<Op>& operations)
{
    std::string letters;
    for (const Op& op : operations) {
        char letter = '?';
        if (op.path.elements().size() == 1) {
            switch (op.path.elements().front().kind) {
            case Shape::rect: letter = 'R'; break;
            case Shape::roundedRect: letter = 'Q'; break;
            case Shape::ellipse: letter = 'E'; break;
            case Shape::polyline: letter = 'P'; break;
            }
        }
        letters += op.kind == Op::Kind::fill ? letter : char(std::tolower(letter));
    }
    std::string text;
    for (std::size_t i = 0; i < letters.size();) {
        std::size_t end = i;
        while (end < letters.size() && letters[end] == letters[i]) ++end;
        if (!text.empty()) text += ' ';
        text += letters[i];
        if (end - i > 1) text += std::to_string(end - i);
        i = end;
    }
    return text;
}

// The kind, count and order of every layer: the image plate is "Q E P R Q q" (with "R96" before its
// outline when pixelated), a panel "Q q", flow dots "p" and their dots.
TEST(SceneFamilyI, DrawsItsLayersInTheTablesOrder)
{
    const struct {
        const char* scene;
        const char* layers;
    } cases[] = {
        {"drawClassification", "Q E P R Q q Q9"},
        {"drawObjectDetection", "Q E P R Q q3 p"},
        {"drawSegmentation", "Q E P R Q q E e E e E e R"},
        {"drawSuperResolution", "Q E P R Q R96 q Q E P R Q q R q"},
        {"drawMultimodal", "Q E P R Q q Q q Q q Q q Q q Q q Q q Q q E9"},
        {"drawDiffusion", "Q R1296 e"},
        {"drawGPUVisionClassification", "Q E P R Q q e Q q Q10"},
        {"drawGPUVisionObjectTracking", "Q q p4 q p q p q p q p R"},
        {"drawGPUVisionSemanticMask", "Q E P R Q q R2 P R"},
        {"drawGPUVisionSuperResolution", "Q E P R Q R96 q Q E P R Q q e2 p E5"},
        {"drawGPUVisionMultimodalEmbedding", "Q E P R Q q Q q E16 Q q Q p E7"},
        {"drawGPULanguageEmbeddingProjection", "Q q Q q Q8 E34 p E8"},
        {"drawGPULanguageRoPERMS", "Q q p6 R q Q"},
        {"drawGPULanguageAttentionGraph", "Q q Q100 E p E6 p E6 p E5"},
        {"drawGPUGenerativePromptPrefill", "Q q Q q Q30 p E12"},
        {"drawGPUGenerativeTokenDecode", "Q q p Q18 R"},
        {"drawGPUGenerativeDiffusion", "Q q R1057"},
        {"drawGPUAudioSpeechDecode", "Q q p Q q R360 Q q Q7"},
        {"drawGPUAudioNoiseGate", "Q q Q q p5 E6"},
        {"drawGPUAudioSceneClassifier", "Q q e5 Q10"},
    };
    ASSERT_EQ(std::size(cases), std::size(scenes));
    for (const auto& c : cases)
        for (double time : {frozen, live})
            EXPECT_EQ(layers(record(routine(c.scene), {960, 540}, time)), c.layers) << c.scene << " at " << time;
}

// Chosen elements worked out from the layout tables: geometry (x, y, width, height; for a polyline the
// point index, its x and y and the number of points), colour, opacity, line width and corner radius.
TEST(SceneFamilyI, PlacesChosenElementsAsTheTablesGive)
{
    constexpr auto fill = Op::Kind::fill, stroke = Op::Kind::stroke;
    constexpr auto rect = Shape::rect, rounded = Shape::roundedRect, ellipse = Shape::ellipse,
                   polyline = Shape::polyline;
    const struct {
        const char* scene;
        double time;
        QSizeF size;
        std::size_t op;
        Op::Kind kind;
        Shape shape;
        double geometry[4];
        double rgb[3];
        double opacity, lineWidth, corner;
    } cases[] = {
        // One element per row, as the hand-worked table reads.
        // clang-format off
    {"drawClassification", live, {960, 540}, 8, fill, rounded,
     {632.64, 152.388, 197.627890539, 11}, {0.16, 0.78, 0.92}, 0.75, 0, 5.5},
    {"drawObjectDetection", live, {960, 540}, 6, stroke, rounded,
     {435.279986282, 255.744, 106.08, 85.536}, {0.188, 0.82, 0.345}, 0.95, 2.2, 8},
    {"drawSegmentation", frozen, {960, 540}, 8, fill, ellipse,
     {582.906930702, 201.49992, 117.612, 79.97616}, {0.749, 0.353, 0.949}, 0.3, 0, 0},
    {"drawSuperResolution", live, {960, 540}, 108, fill, rect,
     {490.2, 267.999957761, 397.8, 4}, {0.16, 0.78, 0.92}, 0.52, 0, 0},
    {"drawMultimodal", frozen, {720, 405}, 20, fill, ellipse,
     {361.93510023, 223.682772363, 5.59028000305, 5.59028000305}, {0.16, 0.78, 0.92}, 0.76, 0, 0},
    {"drawDiffusion", frozen, {960, 540}, 649, fill, rect,
     {480, 263.4, 17.6, 13.8}, {0.576546342205, 0.443961062735, 0.843842484341}, 0.723842484341, 0, 0},
    {"drawDiffusion", live, {960, 540}, 649, fill, rect,
     {480, 263.4, 17.6, 13.8}, {0.562447261614, 0.426243722919, 0.825385506113}, 0.705385506113, 0, 0},
    {"drawGPUVisionClassification", live, {960, 540}, 14, fill, rounded,
     {624.48, 238.36, 123.193205094, 10}, {0.16, 0.78, 0.92}, 0.5, 0, 5},
    {"drawGPUVisionObjectTracking", live, {960, 540}, 10, stroke, rounded,
     {467.32344007, 295.823319571, 70.8206404188, 39.4606082439}, {0.16, 0.78, 0.92}, 0.92, 1.8, 5},
    {"drawGPUVisionSemanticMask", live, {960, 540}, 9, fill, rect,
     {70, 91.8, 4, 356.4}, {0.16, 0.78, 0.92}, 0.56, 0, 0},
    {"drawGPUVisionSuperResolution", live, {960, 540}, 108, stroke, ellipse,
     {714.364380647, 199.015060938, 99.792, 99.792}, {0.16, 0.78, 0.92}, 0.92, 2.2, 0},
    {"drawGPUVisionSuperResolution", frozen, {960, 540}, 114, fill, ellipse,
     {484.45588605, 267.38728605, 5.22542790025, 5.22542790025}, {0.16, 0.78, 0.92}, 0.867929920088, 0, 0},
    {"drawGPUVisionMultimodalEmbedding", frozen, {960, 540}, 26, fill, rounded,
     {747.648, 166.094566051, 35.904, 213.081433949}, {0.188, 0.82, 0.345}, 0.72, 0, 17.952},
    {"drawGPUVisionMultimodalEmbedding", live, {960, 540}, 15, fill, ellipse,
     {589.505917692, 332.585330323, 7, 7}, {0.16, 0.78, 0.92}, 0.665, 0, 0},
    {"drawGPULanguageEmbeddingProjection", live, {720, 405}, 17, fill, ellipse,
     {419.732668176, 228.726724349, 5.67835202564, 5.67835202564}, {0.392, 0.824, 1}, 0.539862668803, 0, 0},
    {"drawGPULanguageEmbeddingProjection", frozen, {720, 405}, 6, fill, rounded,
     {70, 144.675, 101.916588327, 12}, {0.16, 0.78, 0.92}, 0.34, 0, 6},
    {"drawGPULanguageRoPERMS", live, {720, 405}, 5, stroke, polyline,
     {45, 363.438202247, 215.040872687, 90}, {0.392, 0.824, 1}, 0.57, 1.5, 0},
    {"drawGPULanguageRoPERMS", frozen, {720, 405}, 10, fill, rounded,
     {585.32, 142.146316147, 38.96, 156.927683853}, {0.16, 0.78, 0.92}, 0.58, 0, 17.532},
    {"drawGPULanguageAttentionGraph", frozen, {960, 540}, 11, fill, rounded,
     {646.3584, 123.312, 24.9376, 24.9376}, {0.16, 0.78, 0.92}, 0.0635787866418, 0, 2},
    {"drawGPULanguageAttentionGraph", live, {960, 540}, 120, fill, ellipse,
     {317.95067388, 288.569964156, 5.78845875824, 5.78845875824}, {0.16, 0.78, 0.92}, 0.862306802638, 0, 0},
    {"drawGPUGenerativePromptPrefill", frozen, {960, 540}, 7, fill, rounded,
     {86, 163.2, 89.36, 17}, {0.16, 0.78, 0.92}, 0.62, 0, 5},
    {"drawGPUGenerativePromptPrefill", frozen, {960, 540}, 8, fill, rounded,
     {180.026666667, 163.2, 89.36, 17}, {0.16, 0.78, 0.92}, 0.16, 0, 5},
    {"drawGPUGenerativePromptPrefill", live + 4.3, {960, 540}, 27, fill, rounded,
     {518.48, 242.633333333, 355.52, 10}, {0.392, 0.824, 1}, 0.66, 0, 5},
    {"drawGPUGenerativePromptPrefill", live + 4.3, {960, 540}, 28, fill, rounded,
     {518.48, 270, 355.52, 10}, {0.392, 0.824, 1}, 0.12, 0, 5},
    {"drawGPUGenerativeTokenDecode", frozen, {960, 540}, 9, fill, rounded,
     {435.769230769, 310.152, 30, 20}, {0.16, 0.78, 0.92}, 0.728422980087, 0, 6},
    {"drawGPUGenerativeTokenDecode", frozen, {960, 540}, 13, fill, rounded,
     {669.615384615, 284.449711701, 30, 20}, {0.16, 0.78, 0.92}, 0.589166857404, 0, 6},
    {"drawGPUGenerativeTokenDecode", live, {960, 540}, 13, fill, rounded,
     {669.615384615, 310.152, 30, 20}, {0.16, 0.78, 0.92}, 0.589166857404, 0, 6},
    {"drawGPUGenerativeTokenDecode", live, {960, 540}, 21, fill, rect,
     {100.0000453, 342.152, 2, 57.024}, {0.188, 0.82, 0.345}, 0.72, 0, 0},
    {"drawGPUGenerativeDiffusion", frozen, {960, 540}, 683, fill, rect,
     {461.454545455, 314.55, 19.3454545455, 15.65}, {0.548267918455, 0.377835187065, 0.728703833921}, 0.743487323728, 0, 0},
    {"drawGPUGenerativeDiffusion", live, {960, 540}, 683, fill, rect,
     {461.454545455, 314.55, 19.3454545455, 15.65}, {0.43401623956, 0.377835187065, 0.596090278061}, 0.596592308006, 0, 0},
    {"drawGPUAudioSpeechDecode", live, {960, 540}, 2, stroke, polyline,
     {40, 417.473684211, 111.335194587, 96}, {0.188, 0.82, 0.345}, 0.88, 1.6, 0},
    {"drawGPUAudioSpeechDecode", frozen, {960, 540}, 70, fill, rect,
     {150.88, 262.278, 16.276, 16.241}, {0.16, 0.78, 0.92}, 0.762158091521, 0, 0},
    {"drawGPUAudioSpeechDecode", frozen, {720, 405}, 373, fill, rounded,
     {459.68, 347.097, 159.688379767, 8}, {0.188, 0.82, 0.345}, 0.22, 0, 4},
    {"drawGPUAudioNoiseGate", frozen, {960, 540}, 4, stroke, polyline,
     {10, 119.267368421, 228.246647362, 96}, {1, 0.624, 0.039}, 0.88, 1.6, 0},
    {"drawGPUAudioNoiseGate", frozen, {960, 540}, 5, stroke, polyline,
     {10, 576.227368421, 203.713922529, 96}, {0.188, 0.82, 0.345}, 0.88, 1.6, 0},
    {"drawGPUAudioSceneClassifier", live, {960, 540}, 2, stroke, ellipse,
     {340.167356635, 228.087356635, 83.8252867298, 83.8252867298}, {0.16, 0.78, 0.92}, 0.403199987411, 1.4, 0},
    {"drawGPUAudioSceneClassifier", frozen, {960, 540}, 8, fill, rounded,
     {577.92, 119.8, 211.083824687, 12}, {0.188, 0.82, 0.345}, 0.72, 0, 6},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scene) + " op " + std::to_string(c.op) + " at " + std::to_string(c.time));
        const auto operations = record(routine(c.scene), c.size, c.time);
        ASSERT_LT(c.op, operations.size());
        const Op& op = operations[c.op];
        EXPECT_EQ(op.kind, c.kind);
        ASSERT_EQ(op.path.elements().size(), 1u);
        const ScenePathElement& element = op.path.elements().front();
        ASSERT_EQ(element.kind, c.shape);
        if (c.shape == polyline) {
            ASSERT_EQ(element.points.size(), std::size_t(c.geometry[3]));
            const QPointF point = element.points.at(std::size_t(c.geometry[0]));
            EXPECT_NEAR(point.x(), c.geometry[1], 1e-4);
            EXPECT_NEAR(point.y(), c.geometry[2], 1e-4);
        } else {
            EXPECT_NEAR(element.rect.x(), c.geometry[0], 1e-4);
            EXPECT_NEAR(element.rect.y(), c.geometry[1], 1e-4);
            EXPECT_NEAR(element.rect.width(), c.geometry[2], 1e-4);
            EXPECT_NEAR(element.rect.height(), c.geometry[3], 1e-4);
            EXPECT_NEAR(element.cornerRadius, c.corner, 1e-6);
        }
        EXPECT_NEAR(op.color.red, c.rgb[0], 1e-6);
        EXPECT_NEAR(op.color.green, c.rgb[1], 1e-6);
        EXPECT_NEAR(op.color.blue, c.rgb[2], 1e-6);
        EXPECT_NEAR(op.color.opacity, c.opacity, 1e-6);
        EXPECT_NEAR(op.lineWidth, c.lineWidth, 1e-9);
    }
}

// At the window's sizes, degenerate sizes, a live clock and a clock far beyond any real one: no failure,
// every coordinate finite, every colour component and opacity in [0, 1], and the same picture each time.
TEST(SceneFamilyI, StaysFiniteInRangeAndDeterministicAtEverySizeAndTime)
{
    const QSizeF sizes[] = {{960, 540}, {720, 405}, {1, 1}, {0, 0}};
    const double times[] = {0, frozen, live, 1e19};
    auto unit = [](double v) { return std::isfinite(v) && v >= 0 && v <= 1; };
    for (const Scene& scene : scenes) {
        for (QSizeF size : sizes) {
            for (double time : times) {
                SCOPED_TRACE(std::string(scene.name) + " " + std::to_string(size.width()) + " at " +
                             std::to_string(time));
                const auto operations = record(scene.draw, size, time);
                ASSERT_FALSE(operations.empty());
                std::size_t bad = 0;
                for (const Op& op : operations) {
                    bad +=
                        !unit(op.color.red) || !unit(op.color.green) || !unit(op.color.blue) || !unit(op.color.opacity);
                    bad += op.kind == Op::Kind::stroke && !(std::isfinite(op.lineWidth) && op.lineWidth > 0);
                    for (const ScenePathElement& e : op.path.elements()) {
                        bad += !std::isfinite(e.rect.x()) || !std::isfinite(e.rect.y()) ||
                               !std::isfinite(e.rect.width()) || !std::isfinite(e.rect.height()) ||
                               !std::isfinite(e.cornerRadius);
                        for (QPointF p : e.points) bad += !std::isfinite(p.x()) || !std::isfinite(p.y());
                    }
                }
                EXPECT_EQ(bad, 0u);
                EXPECT_EQ(record(scene.draw, size, time), operations);
            }
        }
    }
}

TEST(SceneFamilyI, EverySceneDiffersFromEveryOther)
{
    for (double time : {frozen, live}) {
        std::vector<std::vector<Op>> pictures;
        for (const Scene& scene : scenes) pictures.push_back(record(scene.draw, {960, 540}, time));
        for (std::size_t a = 0; a < pictures.size(); ++a)
            for (std::size_t b = a + 1; b < pictures.size(); ++b)
                EXPECT_NE(pictures[a], pictures[b]) << scenes[a].name << " and " << scenes[b].name;
    }
}

// Through QPainter on an offscreen image (black, no background): chosen pixels blend as the layers
// above them say, in gamma-encoded sRGB; nothing lands in the corner outside the scene area; a 1 × 1
// image draws without failing.
TEST(SceneFamilyI, PaintsChosenPixelsThroughQPainter)
{
    test::qtApp(true);
    auto paint = [](SceneRoutine draw, QSize size, double time) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        QPainter painter(&image);
        PainterSceneContext context(painter, accent);
        draw(context, QSizeF(size), time);
        painter.end();
        return image;
    };
    const struct {
        const char* scene;
        QPoint pixel;
        double rgb[3];  // 0...255
    } probes[] = {
        // First prediction bar: accent at 0.75 over its white track at 0.08 over the black card.
        {"drawClassification",
         {700, 157},
         {0.75 * 0.16 * 255 + 0.25 * 0.08 * 255, 0.75 * 0.78 * 255 + 0.25 * 0.08 * 255,
          0.75 * 0.92 * 255 + 0.25 * 0.08 * 255}},
        // Top class: green at 0.72 over its track, white at 0.07.
        {"drawGPUAudioSceneClassifier",
         {600, 125},
         {0.72 * 0.188 * 255 + 0.28 * 0.07 * 255, 0.72 * 0.82 * 255 + 0.28 * 0.07 * 255,
          0.72 * 0.345 * 255 + 0.28 * 0.07 * 255}},
        // Scan band at y = S.minY + 0.216·S.height: green at 0.32 over the panel's black.
        {"drawGPUVisionObjectTracking", {100, 169}, {0.32 * 0.188 * 255, 0.32 * 0.82 * 255, 0.32 * 0.345 * 255}},
    };
    for (const auto& probe : probes) {
        const QColor pixel = paint(routine(probe.scene), {960, 540}, frozen).pixelColor(probe.pixel);
        EXPECT_NEAR(pixel.red(), probe.rgb[0], 3) << probe.scene;
        EXPECT_NEAR(pixel.green(), probe.rgb[1], 3) << probe.scene;
        EXPECT_NEAR(pixel.blue(), probe.rgb[2], 3) << probe.scene;
    }
    for (const Scene& scene : scenes) {
        EXPECT_EQ(paint(scene.draw, {960, 540}, live).pixelColor(5, 5), QColor(Qt::black)) << scene.name;
        EXPECT_FALSE(paint(scene.draw, {1, 1}, live).isNull()) << scene.name;
    }
}

}  // namespace
}  // namespace korvalen::scene
