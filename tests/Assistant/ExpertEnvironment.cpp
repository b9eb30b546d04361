#include "Assistant/ExpertFixtures.h"

namespace {
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new korvalen::testing::ExpertEnvironment);
}
