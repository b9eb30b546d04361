#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// UTF-8 texts of the model into Qt strings.
inline QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}
inline QString qs(const char* text)
{
    return QString::fromUtf8(text);
}

// "1 result", "3 results": a count with its noun, singular for exactly one.
std::string countText(std::size_t count, std::string_view singular, std::string_view plural);

// A word-wrapped label never breaks inside a word: long words (file names, paths) get a
// zero-width break opportunity after each '-', '_', '.' and '/' so that they wrap instead of
// being cut at the label's edge.
QString breakableText(const QString& text);

// How the window names a GPU device: one of the processor type (OpenCL running the GPU path on the
// CPU when the machine has no GPU) is never passed off as a GPU. Short enough for a column or a card;
// the description adds the device's own name for tool tips.
std::string gpuDeviceName(const std::string& name, std::optional<std::uint64_t> registryID);
std::string gpuDeviceDescription(const std::string& name, std::optional<std::uint64_t> registryID);

}  // namespace korvalen
