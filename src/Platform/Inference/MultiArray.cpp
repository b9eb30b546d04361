#include "Platform/Inference/MultiArray.h"

#include "Platform/Inference/InferenceError.h"

#include <limits>

namespace korvalen::nn {

namespace {

std::size_t elementCount(const std::vector<std::size_t>& shape)
{
    if (shape.empty()) {
        throw Error(Error::Code::invalidInput, "A multi-array needs at least one dimension");
    }
    std::size_t count = 1;
    for (std::size_t dimension : shape) {
        if (dimension == 0) {
            throw Error(Error::Code::invalidInput, "A multi-array dimension must be at least 1, shape " + shapeText(shape));
        }
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(float) / dimension) {
            throw Error(Error::Code::invalidInput, "The multi-array shape " + shapeText(shape) + " is too large");
        }
        count *= dimension;
    }
    return count;
}

}  // namespace

MultiArray::MultiArray(std::vector<std::size_t> shape) : shape_(std::move(shape))
{
    values_.assign(elementCount(shape_), 0.0f);
}

MultiArray::MultiArray(std::vector<std::size_t> shape, std::vector<float> values)
    : shape_(std::move(shape)), values_(std::move(values))
{
    const std::size_t expected = elementCount(shape_);
    if (values_.size() != expected) {
        throw Error(Error::Code::invalidInput, "A multi-array of shape " + shapeText(shape_) + " needs " +
                                                   std::to_string(expected) + " elements, not " +
                                                   std::to_string(values_.size()));
    }
}

std::string shapeText(std::span<const std::size_t> shape)
{
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

}  // namespace korvalen::nn
