#include "Platform/Inference/Network.h"

#include <algorithm>
#include <cmath>

namespace korvalen::nn {

std::string_view activationName(Activation activation)
{
    switch (activation) {
    case Activation::linear: return "linear";
    case Activation::relu: return "relu";
    case Activation::tanh: return "tanh";
    case Activation::sigmoid: return "sigmoid";
    }
    return "linear";
}

std::optional<Activation> activationFromName(std::string_view name)
{
    for (Activation activation : {Activation::linear, Activation::relu, Activation::tanh, Activation::sigmoid}) {
        if (activationName(activation) == name) {
            return activation;
        }
    }
    return std::nullopt;
}

std::size_t Network::parameterCount() const
{
    std::size_t count = 0;
    for (const auto& layer : layers) {
        count += layer.weights.size() + layer.bias.size();
    }
    return count;
}

std::size_t Network::widestLayer() const
{
    std::size_t widest = inputSize;
    for (const auto& layer : layers) {
        widest = std::max({widest, layer.inputSize, layer.outputSize});
    }
    return widest;
}

void applyActivation(Activation activation, float* values, std::size_t count)
{
    switch (activation) {
    case Activation::linear: return;
    case Activation::relu:
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = values[i] > 0.0f ? values[i] : 0.0f;
        }
        return;
    case Activation::tanh:
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = std::tanh(values[i]);
        }
        return;
    case Activation::sigmoid:
        for (std::size_t i = 0; i < count; ++i) {
            values[i] = 1.0f / (1.0f + std::exp(-values[i]));
        }
        return;
    }
}

}  // namespace korvalen::nn
