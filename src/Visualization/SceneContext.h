#pragma once

#include <QPoint>
#include <QPointF>
#include <QRectF>
#include <QTransform>

#include <optional>

#include <vector>

class QPainter;

namespace korvalen {

// A colour as the scenes give it: sRGB components and an opacity, all in 0...1.
struct SceneColor {
    double red = 0, green = 0, blue = 0, opacity = 1;

    static constexpr SceneColor srgb(double r, double g, double b) { return {r, g, b, 1}; }
    // The same colour with its opacity multiplied by `factor` (a scene's "colour at opacity f").
    constexpr SceneColor withOpacity(double factor) const { return {red, green, blue, opacity * factor}; }
    bool operator==(const SceneColor&) const = default;
};

// The standard named colours, as they appear on the dark visualization window.
namespace SceneColors {
inline constexpr SceneColor black{0, 0, 0, 1};
inline constexpr SceneColor white{1, 1, 1, 1};
inline constexpr SceneColor gray{0.596, 0.596, 0.616, 1};
inline constexpr SceneColor red{1.0, 0.271, 0.227, 1};
inline constexpr SceneColor orange{1.0, 0.624, 0.039, 1};
inline constexpr SceneColor yellow{1.0, 0.839, 0.039, 1};
inline constexpr SceneColor green{0.188, 0.82, 0.345, 1};
inline constexpr SceneColor cyan{0.392, 0.824, 1.0, 1};
inline constexpr SceneColor blue{0.039, 0.518, 1.0, 1};
inline constexpr SceneColor purple{0.749, 0.353, 0.949, 1};
}  // namespace SceneColors

// The only shapes a scene draws: rectangles, rounded rectangles with continuous corners, ellipses and
// polylines. Kept as plain values so a recording context can hand them to tests unchanged.
struct ScenePathElement {
    enum class Kind { rect, roundedRect, ellipse, polyline };
    Kind kind = Kind::rect;
    QRectF rect;                  // rect, roundedRect, ellipse (the ellipse's bounding box)
    double cornerRadius = 0;      // roundedRect
    std::vector<QPointF> points;  // polyline
    bool closed = false;          // polyline
    bool operator==(const ScenePathElement&) const = default;
};

class ScenePath {
public:
    static ScenePath rect(const QRectF& rect);
    static ScenePath roundedRect(const QRectF& rect, double cornerRadius);
    static ScenePath ellipse(const QRectF& bounds);
    static ScenePath circle(QPointF centre, double radius);
    static ScenePath line(QPointF from, QPointF to);

    ScenePath& addRect(const QRectF& rect);
    ScenePath& addRoundedRect(const QRectF& rect, double cornerRadius);
    ScenePath& addEllipse(const QRectF& bounds);
    // Polylines: moveTo starts a subpath, lineTo extends the current one, close closes it.
    ScenePath& moveTo(QPointF point);
    ScenePath& lineTo(QPointF point);
    ScenePath& close();

    const std::vector<ScenePathElement>& elements() const { return elements_; }
    bool operator==(const ScenePath&) const = default;

private:
    std::vector<ScenePathElement> elements_;
};

// Where a scene draws. Fills use the non-zero winding rule and antialiasing; strokes a plain line width.
// Scenes read the request's accent colour here, so a scene routine needs nothing but (context, size, time).
class SceneContext {
public:
    explicit SceneContext(SceneColor accent) : accent_(accent) {}
    virtual ~SceneContext() = default;

    SceneColor accent() const { return accent_; }
    virtual void fill(const ScenePath& path, const SceneColor& color) = 0;
    virtual void stroke(const ScenePath& path, const SceneColor& color, double lineWidth) = 0;

private:
    SceneColor accent_;
};

// Draws on a QPainter (antialiased, winding fill, flat caps and miter joins, blending in sRGB). Scene
// coordinates are the painter's logical ones; on a device with a pixel ratio (a scaled display) the
// context draws in device pixels, scaling every shape itself, and gives the painter back its transform
// when it is destroyed.
class PainterSceneContext final : public SceneContext {
public:
    // The painter's target as whole pixels, when its device transform is a uniform scale and a whole-pixel
    // translation on an image (the canvas, every image painter); the fast routes need it.
    struct DeviceSpace {
        double scale = 1;  // device pixels per scene point
        QPoint offset;     // scene origin in device pixels, after scaling
        int width = 0, height = 0;
    };

    PainterSceneContext(QPainter& painter, SceneColor accent);
    ~PainterSceneContext() override;
    PainterSceneContext(const PainterSceneContext&) = delete;
    PainterSceneContext& operator=(const PainterSceneContext&) = delete;

    void fill(const ScenePath& path, const SceneColor& color) override;
    void stroke(const ScenePath& path, const SceneColor& color, double lineWidth) override;

private:
    QPainter& painter_;
    std::optional<DeviceSpace> device_;
    std::optional<QTransform> restoreTransform_;  // set while the painter works in device pixels
};

// Keeps every operation as plain values, in order, for tests.
class RecordingSceneContext final : public SceneContext {
public:
    struct Operation {
        enum class Kind { fill, stroke };
        Kind kind = Kind::fill;
        ScenePath path;
        SceneColor color;
        double lineWidth = 0;  // strokes only
        bool operator==(const Operation&) const = default;
    };

    explicit RecordingSceneContext(SceneColor accent = SceneColor::srgb(0.16, 0.78, 0.92)) : SceneContext(accent) {}
    void fill(const ScenePath& path, const SceneColor& color) override;
    void stroke(const ScenePath& path, const SceneColor& color, double lineWidth) override;

    const std::vector<Operation>& operations() const { return operations_; }
    void clear() { operations_.clear(); }

private:
    std::vector<Operation> operations_;
};

}  // namespace korvalen
