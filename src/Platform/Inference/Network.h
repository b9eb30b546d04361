#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen::nn {

enum class Activation { linear, relu, tanh, sigmoid };

std::string_view activationName(Activation activation);
std::optional<Activation> activationFromName(std::string_view name);

// y = activation(W x + b), W stored row-major with `outputSize` rows of `inputSize` weights.
struct DenseLayer {
    std::size_t inputSize = 0;
    std::size_t outputSize = 0;
    Activation activation = Activation::linear;
    std::vector<float> weights;
    std::vector<float> bias;
};

// A compiled model's contents: one named one-dimensional input, a chain of dense layers and one
// named one-dimensional output.
struct Network {
    std::string name;
    std::string inputName = "input";
    std::size_t inputSize = 0;
    std::string outputName = "output";
    std::size_t outputSize = 0;
    std::vector<DenseLayer> layers;

    std::size_t parameterCount() const;
    std::size_t widestLayer() const;  // the largest input or output width in the chain
};

// Applies the activation in place, in index order, in single precision.
void applyActivation(Activation activation, float* values, std::size_t count);

}  // namespace korvalen::nn
