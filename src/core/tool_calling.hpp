// Tool-calling abuse: tool or function names that announce a destructive, privileged or
// exfiltrating action ("admin_", "delete_", "exfiltrate_") and parameter values that smuggle shell,
// SQL or privilege commands ("; rm -rf", "DROP DATABASE", "chmod 777").
//
// The sets hold the name after the ':' ("admin_tool", not "dangerous:admin_tool"). Unlike the other
// threat validators, every chunk also reports its own matches, and the score is an unbounded integer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "threat_catalogue.hpp"

namespace vesquor {

// The 71 rows: 39 "dangerous" tool names, then 32 "suspicious" parameter values. Patterns, labels
// and names are all distinct and no pattern starts or ends another; occurrences can still overlap
// ("| bash_" holds "| bash" and "bash_"), and then the grouping decides what is reported.
const ThreatCatalogue& tool_calling_catalogue();

enum ToolCallingCategory : size_t { kToolDangerous, kToolSuspicious };

// What one chunk matched, one entry per match, repeats included: each is an index into
// `tool_calling_catalogue().entries(category)`. Matches come in the order of the scanner's list:
// group by group, each group's by end position.
struct ToolCallingChunk {
    std::vector<uint32_t> dangerous;
    std::vector<uint32_t> suspicious;
};

// Scans `chunk` with `stream` (which must hold its scanner), records every match in its sets and
// returns the chunk's own matches. An empty chunk scans nothing and returns two empty lists.
ToolCallingChunk scan_tool_calling_chunk(ThreatStream& stream, ByteView chunk);

struct ToolCallingResult {
    std::vector<std::string> dangerous_tools_found;
    std::vector<std::string> suspicious_parameters_found;
    uint64_t total_matches = 0;
    int32_t risk_score = 0;
};

// The result of what `sets` has seen: distinct names per category in catalogue order, and
// 5 * D + 2 * S over their numbers (at most 259 with this table, so no overflow).
ToolCallingResult tool_calling_result(const CategorySets& sets);

}  // namespace vesquor
