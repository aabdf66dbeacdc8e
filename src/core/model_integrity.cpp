// The pattern scan and the zero-byte count share one pass: the engine counts the zeros of each
// block while its start filter reads the block anyway (or right after scanning it, while it is
// still in the cache), so the count costs no second read of memory. The count stops as soon as the zeros can no
// longer exceed 95 %: on ordinary data it ends within the first blocks.
#include "model_integrity.hpp"

#include <algorithm>
#include <cstdio>

#include "scanner.hpp"

namespace vesquor {

namespace {

constexpr size_t kBlockBytes = size_t{256} << 10;

double zero_percent(uint64_t zeros, uint64_t length) {
    return static_cast<double>(zeros) / static_cast<double>(length) * 100.0;
}

std::string padding_text(double percent) {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.1f", percent);  // correctly rounded to one digit
    return std::string("Excessive null bytes (") + digits + "% of data) - possible padding attack";
}

}  // namespace

std::vector<std::string> MalwareFindings::texts() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (const Pattern* row : matches) {
        out.push_back(row->label);
    }
    if (!padding.empty()) {
        out.push_back(padding);
    }
    return out;
}

MalwareFindings scan_malware_with_threshold(ByteView data, int32_t report_threshold) {
    const PatternScanner& scanner = malware_scanner();
    const uint64_t length = data.size();

    MalwareFindings found;
    uint32_t score = 0;  // the sum wraps at 32 bits
    StandardFilter filter;
    auto emit = [&](uint32_t id, uint64_t) {
        const Pattern& row = scanner.rows()[id];
        found.matches.push_back(&row);
        score += static_cast<uint32_t>(row.weight);
    };
    auto on_batch = [&](const Occurrence* occurrences, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            filter.push(occurrences[i].id, scanner.length(occurrences[i].id), occurrences[i].end, emit);
        }
    };

    bool counting = length >= kPaddingCheckMinBytes;
    uint64_t zeros = 0;
    for (uint64_t from = 0; from < length;) {
        uint64_t to = std::min<uint64_t>(length, from + kBlockBytes);
        scanner.find_occurrences(data, from, to, on_batch, kBlockBytes, counting ? &zeros : nullptr);
        if (counting) {
            // The percentage only grows with the count, so once even all remaining bytes being
            // zero cannot pass the limit, the answer is known.
            if (zero_percent(zeros + (length - to), length) <= kPaddingPercentLimit) {
                counting = false;
            }
        }
        from = to;
    }
    filter.finish(emit);

    if (counting) {
        double percent = zero_percent(zeros, length);
        if (percent > kPaddingPercentLimit) {
            found.padding = padding_text(percent);
            score += kPaddingScore;
        }
    }
    if (static_cast<int32_t>(score) < report_threshold) {
        return MalwareFindings{};
    }
    return found;
}

}  // namespace vesquor
