// Signs of a compromised supply chain: calls that run code or open connections ("eval(",
// "subprocess.Popen("), serialisation and transfer calls that move data out ("pickle.loads",
// "upload_file"), words admitting tampering ("modified_weights"), typosquatted package names
// ("torch-gpu") and the host names of unofficial package mirrors.
//
// The sets hold the name after the ':' ("pickle_loads"), so a name that two categories share
// ("socket_send" as a call and as a transfer) is listed in both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "threat_catalogue.hpp"

namespace vesquor {

// The 86 rows: 21 "malicious", 32 "exfiltration", 20 "tampering", 8 "typosquat", 5 "domain".
// Seven patterns start a longer one ("pickle.load" starts "pickle.loads"): in one group the
// shorter ends first and hides the longer. "system(" ends "os.system(": there the longer wins.
const ThreatCatalogue& supply_chain_catalogue();

enum SupplyChainCategory : size_t { kChainMalicious, kChainExfiltration, kChainTampering, kChainTyposquat, kChainDomain };

struct SupplyChainResult {
    std::vector<std::string> malicious_functions_found;
    std::vector<std::string> data_exfiltration_found;
    std::vector<std::string> tampering_indicators_found;
    std::vector<std::string> typosquatting_found;
    std::vector<std::string> suspicious_domains_found;
    uint64_t total_matches = 0;
    double risk_score = 0.0;
};

// The result of what `sets` has seen: distinct names per category in catalogue order, and
// min((((M * 0.3 + E * 0.3) + T * 0.2) + Y * 0.1) + D * 0.1, 1.0) over their numbers.
SupplyChainResult supply_chain_result(const CategorySets& sets);

}  // namespace vesquor
