#pragma once

#include "Platform/Inference/Network.h"

#include <filesystem>
#include <string_view>

namespace korvalen::nn {

// A compiled model is a folder `<Name>.mlmodelc` holding two files:
//  - model.json: the description (format tag and version, the network's name, its input and output
//    features with their widths, its dense layers with their activations, and the number of floats
//    the weights file carries);
//  - weights.bin: an 8-byte tag, the float count as a little-endian 64-bit integer, then each
//    layer's weights (row-major) followed by its bias, as little-endian Float32.
inline constexpr std::string_view descriptionFileName = "model.json";
inline constexpr std::string_view weightsFileName = "weights.bin";
inline constexpr std::string_view compiledModelExtension = "mlmodelc";

// Reads and checks both files. Every size is checked against the description before anything is
// allocated or read, so a truncated or corrupt folder is an nn::Error, never a crash.
Network readCompiledModel(const std::filesystem::path& folder);

// Writes the folder (created when missing), after checking the network is consistent.
void writeCompiledModel(const std::filesystem::path& folder, const Network& network);

// Throws nn::Error(invalidModel) when the layers do not chain from the input to the output width or
// when a layer's weights or bias do not have the sizes its widths call for.
void checkNetwork(const Network& network);

}  // namespace korvalen::nn
