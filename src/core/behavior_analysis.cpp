#include "behavior_analysis.hpp"

#include <algorithm>

namespace vesquor {

using namespace std::string_view_literals;

const ThreatCatalogue& behavior_analysis_catalogue() {
    static const ThreatCatalogue CATALOGUE(
        {
            {"malicious"sv, "trigger:malicious", 5},
            {"exploit"sv, "trigger:exploit", 5},
            {"trigger"sv, "trigger:trigger_keyword", 4},
            {"bypass"sv, "trigger:bypass", 6},
            {"backdoor"sv, "trigger:backdoor", 8},
            {"jailbreak"sv, "trigger:jailbreak", 7},
            {"admin_override"sv, "tool_hijack:admin_override", 9},
            {"system_call"sv, "tool_hijack:system_call", 8},
            {"execute_command"sv, "tool_hijack:execute_command", 9},
            {"delete_files"sv, "tool_hijack:delete_files", 8},
            {"delete_all_files"sv, "tool_hijack:delete_all_files", 10},
            {"rm -rf /"sv, "tool_hijack:rm_rf_root", 10},
            {"execute without confirmation"sv, "tool_hijack:execute_no_confirm", 9},
            {"data_exfiltration"sv, "exfiltration:data_exfiltration", 9},
            {"credential_theft"sv, "exfiltration:credential_theft", 10},
            {"send all user data"sv, "exfiltration:send_user_data", 10},
            {"external endpoint"sv, "exfiltration:external_endpoint", 7},
            {"upload sensitive"sv, "exfiltration:upload_sensitive", 9},
            {"system_override"sv, "system_override:system_override", 9},
            {"admin_mode"sv, "system_override:admin_mode", 8},
            {"override safety"sv, "system_override:override_safety", 10},
            {"ignore previous instructions"sv, "system_override:ignore_instructions", 8},
            {"bypass safety"sv, "system_override:bypass_safety", 9},
            {"privilege_escalation"sv, "privilege:privilege_escalation", 9},
            {"escalate_privileges"sv, "privilege:escalate_privileges", 9},
            {"elevated privileges"sv, "privilege:elevated_privileges", 8},
            {"debug mode enabled"sv, "privilege:debug_mode", 7},
            {"enhanced capabilities"sv, "privilege:enhanced_capabilities", 6},
        },
        {"trigger", "tool_hijack", "exfiltration", "system_override", "privilege"}, SetEntry::whole_label);
    return CATALOGUE;
}

BehaviorAnalysisResult behavior_analysis_result(const CategorySets& sets) {
    BehaviorAnalysisResult result;
    result.backdoor_triggers_found = sets.list(kTrigger);
    result.tool_hijacking_found = sets.list(kToolHijack);
    result.data_exfiltration_found = sets.list(kExfiltration);
    result.system_override_found = sets.list(kSystemOverride);
    result.privilege_escalation_found = sets.list(kPrivilege);
    result.total_matches = sets.total_matches();
    // The order of the operations is part of the result: all 28 labels give 0.655 exactly as
    // these sums round, one of each category 0.12.
    double score = ((((static_cast<double>(sets.distinct(kTrigger)) * 0.15 +
                       static_cast<double>(sets.distinct(kToolHijack)) * 0.2) +
                      static_cast<double>(sets.distinct(kExfiltration)) * 0.25) +
                     static_cast<double>(sets.distinct(kSystemOverride)) * 0.3) +
                    static_cast<double>(sets.distinct(kPrivilege)) * 0.3) /
                   10.0;
    result.risk_score = std::min(score, 1.0);
    return result;
}

}  // namespace vesquor
