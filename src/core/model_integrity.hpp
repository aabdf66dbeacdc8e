// The model-integrity check: embedded executables, scripts and zero-byte padding in any file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "pattern_matching.hpp"

namespace vesquor {

// What a malware scan with a report threshold found: the matched catalogue rows in data order,
// then the padding finding if there is one. Both are empty when the score stayed below the
// threshold. The rows belong to MALWARE_SCANNER and live as long as the process.
struct MalwareFindings {
    std::vector<const Pattern*> matches;
    std::string padding;

    size_t size() const { return matches.size() + (padding.empty() ? 0 : 1); }
    bool empty() const { return size() == 0; }
    std::vector<std::string> texts() const;
};

// The shortest data that gets the padding check, and the share of zero bytes (in percent) that
// it must exceed.
inline constexpr uint64_t kPaddingCheckMinBytes = 1024;
inline constexpr double kPaddingPercentLimit = 95.0;
inline constexpr int32_t kPaddingScore = 2;

// Scans `data` with MALWARE_SCANNER, one finding per match, each adding its row's weight to a
// 32-bit score (wrapping); data of 1024 bytes or more that is over 95.0 % zero bytes adds the
// padding finding and 2. Below `report_threshold` every finding is dropped.
MalwareFindings scan_malware_with_threshold(ByteView data, int32_t report_threshold);

// The model-integrity scan: report threshold 3, so one executable header is reported and one
// shebang, or padding alone, is not.
inline constexpr int32_t kModelIntegrityThreshold = 3;
inline MalwareFindings scan_for_malware_patterns(ByteView data) {
    return scan_malware_with_threshold(data, kModelIntegrityThreshold);
}

}  // namespace vesquor
