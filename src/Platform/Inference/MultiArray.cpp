#include "Platform/Inference/MultiArray.h"

#include "Platform/Inference/InferenceError.h"

namespace korvalen::nn {

namespace {

// 1 GiB of Float32: far beyond any tensor of these models, and small enough that a corrupt size
// (a manifest asking for 2^40 inputs, say) fails here instead of exhausting the machine's memory.
constexpr std::size_t maxElements = std::size_t(1) << 28;

std::size_t elementCount(const std::vector<std::size_t>& shape)
{
    if (shape.empty()) {
        throw Error(Error::Code::invalidInput, "A multi-array needs at least one dimension");
    }
    std::size_t count = 1;
    for (std::size_t dimension : shape) {
        if (dimension == 0) {
            throw Error(Error::Code::invalidInput,
                        "A multi-array dimension must be at least 1, shape " + shapeText(shape));
        }
        if (dimension > maxElements || count > maxElements / dimension) {
            throw Error(Error::Code::invalidInput, "The multi-array shape " + shapeText(shape) +
                                                       " is too large: at most " + std::to_string(maxElements) +
                                                       " elements");
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
