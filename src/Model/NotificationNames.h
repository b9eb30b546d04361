#pragma once

#include <string_view>

namespace korvalen {

// The names by which the run lifecycle, local-model operations and the quit request are announced
// on NotificationCenter::defaultCenter(), with no object and no user information.
namespace NotificationName {
inline constexpr std::string_view korvalenAIRunDidStart = "KorvalenAIRunDidStart";
inline constexpr std::string_view korvalenAIRunDidFinish = "KorvalenAIRunDidFinish";
inline constexpr std::string_view korvalenAILocalAIOperationDidStart = "KorvalenAILocalAIOperationDidStart";
inline constexpr std::string_view korvalenAILocalAIOperationDidFinish = "KorvalenAILocalAIOperationDidFinish";
inline constexpr std::string_view korvalenAIStopRequested = "KorvalenAIStopRequested";
}  // namespace NotificationName

}  // namespace korvalen
