#pragma once

#include "Model/AIRecords.h"
#include "Model/AIVocabulary.h"

#include <map>

namespace korvalen {

// The fixed description of the 40 workloads; constant data shared by every thread.
namespace AIWorkloadCatalog {

// One entry per workload identifier, keyed and ordered by identifier. Built on first use.
const std::map<AIWorkloadID, AIWorkloadDefinition>& definitions();

}  // namespace AIWorkloadCatalog

}  // namespace korvalen
