// Text planted to make a model misbehave on command: backdoor trigger words, instructions that
// hijack tools, requests to move data out, overrides of earlier instructions or safety rules, and
// claims of raised privileges.
#pragma once

#include <string>
#include <vector>

#include "threat_catalogue.hpp"

namespace vesquor {

// The 28 rows, all labels distinct: 6 "trigger", 7 "tool_hijack", 5 "exfiltration", 5
// "system_override", 5 "privilege". "bypass" (row 3) begins "bypass safety" (row 22): in one group
// the shorter row ends first and hides the longer one, so which is reported depends on the grouping.
const ThreatCatalogue& behavior_analysis_catalogue();

enum BehaviorAnalysisCategory : size_t { kTrigger, kToolHijack, kExfiltration, kSystemOverride, kPrivilege };

struct BehaviorAnalysisResult {
    std::vector<std::string> backdoor_triggers_found;
    std::vector<std::string> tool_hijacking_found;
    std::vector<std::string> data_exfiltration_found;
    std::vector<std::string> system_override_found;
    std::vector<std::string> privilege_escalation_found;
    uint64_t total_matches = 0;
    double risk_score = 0.0;
};

// The result of what `sets` has seen: distinct labels per category in catalogue order, and
// min(((((T * 0.15 + H * 0.2) + E * 0.25) + O * 0.3) + P * 0.3) / 10, 1.0) over the numbers of
// distinct labels (at most 0.655 with this table).
BehaviorAnalysisResult behavior_analysis_result(const CategorySets& sets);

}  // namespace vesquor
