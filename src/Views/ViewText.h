#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace korvalen {

// UTF-8 texts of the model into Qt strings.
inline QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
inline QString qs(const std::string& text) { return QString::fromStdString(text); }
inline QString qs(const char* text) { return QString::fromUtf8(text); }

}  // namespace korvalen
