#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace korvalen::nn {

// A dense Float32 tensor: a shape and its elements in row-major order.
class MultiArray {
public:
    MultiArray() = default;

    // Zero-filled. Every dimension must be at least 1 and the whole at most 2^28 elements; throws
    // nn::Error otherwise.
    explicit MultiArray(std::vector<std::size_t> shape);

    // Takes the elements as given; their number must equal the shape's element count.
    MultiArray(std::vector<std::size_t> shape, std::vector<float> values);

    const std::vector<std::size_t>& shape() const noexcept { return shape_; }
    std::size_t count() const noexcept { return values_.size(); }

    std::span<float> values() noexcept { return values_; }
    std::span<const float> values() const noexcept { return values_; }

    float& operator[](std::size_t index) { return values_[index]; }
    float operator[](std::size_t index) const { return values_[index]; }

    // The element by linear index, widened to double.
    double value(std::size_t index) const { return double(values_[index]); }

private:
    std::vector<std::size_t> shape_;
    std::vector<float> values_;
};

// Named tensors going into or coming out of a prediction.
using FeatureMap = std::map<std::string, MultiArray, std::less<>>;

// "[1024]", "[2, 3]": a shape as it appears in error messages.
std::string shapeText(std::span<const std::size_t> shape);

}  // namespace korvalen::nn
