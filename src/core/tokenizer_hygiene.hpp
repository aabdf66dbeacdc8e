// Entries that should never be in a tokenizer's vocabulary, added tokens or configuration: markup
// and script that runs when rendered, prompt-injection phrases, network schemes and sensitive
// paths, compound shell commands and hidden trigger tags. Strict mode (for the small files:
// added_tokens.json, tokenizer_config.json) adds 22 low-severity single words ("curl", "sudo",
// "jailbreak") that a large vocabulary holds as ordinary pieces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "threat_catalogue.hpp"

namespace vesquor {

// Whether a pattern mode, already lower-cased, selects strict mode: "strict", "config" and "full"
// do; anything else, the empty text included, selects vocabulary-heavy mode.
bool tokenizer_mode_is_strict(std::string_view lowered_mode);

// The 90 base rows (vocabulary-heavy mode), or those followed by the 22 single-word rows (strict
// mode, 112 rows). Categories: 23 "code_injection", 10 "prompt_injection", 16 "network_file", 31
// "shell_command", 10 "hidden_token", 22 "shell_single"; a label of no known category would count
// as a hidden token. All labels distinct. Many single words begin a base row ("curl" begins
// "curl http"), and "curl http" begins "curl https": in one group the shorter row ends first and
// hides the longer one.
const ThreatCatalogue& tokenizer_hygiene_catalogue(bool strict);

// The categories in the order of the result's lists.
enum TokenizerHygieneCategory : size_t {
    kCodeInjection,
    kPromptInjection,
    kNetworkFile,
    kShellCommand,
    kShellSingle,
    kHiddenToken,
};

struct TokenizerHygieneResult {
    std::vector<std::string> code_injection_found;
    std::vector<std::string> prompt_injection_found;
    std::vector<std::string> network_file_found;
    std::vector<std::string> shell_command_found;
    std::vector<std::string> shell_command_single_word_found;
    std::vector<std::string> hidden_tokens_found;
    std::string pattern_mode;  // "strict" or "vocab_heavy"
    uint64_t total_matches = 0;
    double risk_score = 0.0;
};

// The result of what `sets` has seen: distinct labels per category in catalogue order, and
// min((((((C * 0.3 + P * 0.2) + N * 0.25) + S * 0.25) + H * 0.35) + W * 0.05) / 10, 1.0) over
// the numbers of distinct labels (W: single words, 0 in vocabulary-heavy mode).
TokenizerHygieneResult tokenizer_hygiene_result(const CategorySets& sets, bool strict);

}  // namespace vesquor
