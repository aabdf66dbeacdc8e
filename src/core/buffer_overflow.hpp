// Material of memory-corruption exploits: unsafe C library names followed by NUL or "@", x86
// return-oriented-programming gadget pairs, printf format-string tokens and overflow-prone size
// expressions.
#pragma once

#include <string>
#include <vector>

#include "threat_catalogue.hpp"

namespace vesquor {

// The 42 rows, 39 distinct labels: 23 "dangerous", 9 "rop", 4 "format_string", 3
// "integer_overflow". Several rows end others ("printf" + NUL ends "sprintf" + NUL), which is why
// the grouping changes what is reported.
const ThreatCatalogue& buffer_overflow_catalogue();

enum BufferOverflowCategory : size_t { kDangerous, kRop, kFormatString, kIntegerOverflow };

struct BufferOverflowResult {
    std::vector<std::string> dangerous_functions_found;
    std::vector<std::string> rop_gadgets_found;
    std::vector<std::string> format_string_vulns_found;
    std::vector<std::string> integer_overflow_patterns_found;
    uint64_t total_matches = 0;
    double risk_score = 0.0;
};

// The result of what `sets` has seen: distinct labels per category in catalogue order, and
// min(((D * 0.4 + R * 0.3) + F * 0.2) + I * 0.1, 1.0) over the numbers of distinct labels.
BufferOverflowResult buffer_overflow_result(const CategorySets& sets);

}  // namespace vesquor
