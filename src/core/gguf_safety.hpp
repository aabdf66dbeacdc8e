// Content that has no business in the tensor data of a GGUF file: executable headers, script
// interpreter lines, keywords of malicious tooling, and fragments of code execution, downloads
// and credential theft. The input is an opaque byte stream: the container is not parsed here.
#pragma once

#include <string>
#include <vector>

#include "threat_catalogue.hpp"

namespace vesquor {

// The 26 rows, all labels distinct: 6 "executable", 6 "malicious", 14 "suspicious". No row
// occurs inside another, so the grouping never changes what one scan reports.
const ThreatCatalogue& gguf_safety_catalogue();

enum GgufSafetyCategory : size_t { kSuspicious, kExecutable, kMalicious };

struct GgufSafetyResult {
    std::vector<std::string> suspicious_patterns_found;
    std::vector<std::string> executable_patterns_found;
    std::vector<std::string> malicious_patterns_found;
    uint64_t total_matches = 0;
    double risk_score = 0.0;
};

// The result of what `sets` has seen: distinct labels per category in catalogue order, and
// min(((S * 0.15 + X * 0.3) + M * 0.4) / 10, 1.0) over the numbers of distinct labels (at most
// 0.6300000000000001 with this table).
GgufSafetyResult gguf_safety_result(const CategorySets& sets);

}  // namespace vesquor
