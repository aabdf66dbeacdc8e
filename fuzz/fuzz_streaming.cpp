// The one-pass grouped streaming scanner against the plain design (one scanner and one carried
// tail per group, each chunk searched as tail + chunk) fed the same random chunking, with
// finalize and reset in the sequence: any difference aborts.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "fuzz_input.hpp"
#include "streaming.hpp"

using namespace vesquor;
using vesquor::fuzz::FuzzInput;

namespace {

struct PlainGroup {
    std::vector<uint32_t> ids;
    std::vector<std::string> patterns;
    size_t overlap = 0;
    std::string tail;

    std::vector<uint32_t> search(const std::string& text) const {
        std::vector<uint32_t> out;
        for (auto [local, end] : fuzz::slow_standard_matches(patterns, text)) out.push_back(ids[local]);
        return out;
    }
    std::vector<uint32_t> scan_chunk(std::string_view chunk) {
        std::string combined = tail + std::string(chunk);
        tail = combined.substr(combined.size() - std::min(overlap, combined.size()));
        return search(combined);
    }
    std::vector<uint32_t> finalize() {
        std::vector<uint32_t> out = tail.empty() ? std::vector<uint32_t>() : search(tail);
        tail.clear();
        return out;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    std::vector<Pattern> rows;
    for (size_t i = 0, count = input.below(10); i < count; ++i) {
        std::string bytes = input.bytes(1 + input.below(20));
        if (bytes.empty()) break;
        rows.push_back(Pattern{bytes, "row", 0});
    }
    const uint64_t groups = 1 + input.below(8);
    std::vector<PlainGroup> plain(std::min<uint64_t>(groups, rows.size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        PlainGroup& group = plain[i % groups];
        group.ids.push_back(static_cast<uint32_t>(i));
        group.patterns.push_back(rows[i].pattern);
        group.overlap = std::max(group.overlap, rows[i].pattern.size());
    }
    Result<ParallelStreamingScanner> built = ParallelStreamingScanner::build(rows, groups);
    if (!built) {
        std::abort();
    }
    ParallelStreamingScanner& scanner = built.value();
    scanner.segment_bytes = 1 + input.below(16);  // small segments: the parallel path too
    scanner.parallel_from_bytes = 4 * scanner.segment_bytes;
    // How stretches are searched: by density, Hyperscan only, the automata only, or a hand-over
    // between the two after every stretch; and whether matches go to a counting sink. Both come
    // from the input's size, so that kept inputs still read as they did before these choices.
    using Policy = ParallelStreamingScanner::DensePolicy;
    scanner.dense_policy = std::array{Policy::automatic, Policy::never, Policy::always, Policy::alternate}[size % 4];
    const bool counted = size / 4 % 2 == 1;

    std::string_view stream = input.rest();
    auto ids_of = [](const std::vector<PatternMatch>& matches) {
        std::vector<uint32_t> out;
        for (const PatternMatch& match : matches) out.push_back(match.id);
        return out;
    };
    // A counting sink sees the same matches in no fixed order: both sides are compared sorted.
    auto same = [&](auto&& scan, std::vector<uint32_t> expected) {
        std::vector<uint32_t> got;
        if (counted) {
            scan([&](const PatternMatch& match, uint64_t times) { got.insert(got.end(), times, match.id); });
            std::sort(got.begin(), got.end());
            std::sort(expected.begin(), expected.end());
        } else {
            std::vector<PatternMatch> matches;
            scan([&](const PatternMatch& match) { matches.push_back(match); });
            got = ids_of(matches);
            // In order within each group: group by group, as the scanner's own lists are.
            std::stable_sort(got.begin(), got.end(), [&](uint32_t a, uint32_t b) { return a % groups < b % groups; });
        }
        return got == expected;
    };
    while (!stream.empty()) {
        uint8_t step = static_cast<uint8_t>(stream[0]);
        stream.remove_prefix(1);
        std::vector<uint32_t> expected;
        if (step < 16) {  // finalize
            for (PlainGroup& group : plain) {
                std::vector<uint32_t> found = group.finalize();
                expected.insert(expected.end(), found.begin(), found.end());
            }
            if (!same([&](auto&& sink) { scanner.finalize(sink); }, expected)) std::abort();
        } else if (step < 24) {  // reset
            for (PlainGroup& group : plain) group.tail.clear();
            scanner.reset();
        } else {  // a chunk of up to 64 bytes
            std::string_view chunk = stream.substr(0, step % 64);
            stream.remove_prefix(chunk.size());
            if (!chunk.empty()) {
                for (PlainGroup& group : plain) {
                    std::vector<uint32_t> found = group.scan_chunk(chunk);
                    expected.insert(expected.end(), found.begin(), found.end());
                }
            }
            if (!same([&](auto&& sink) { scanner.scan_chunk(chunk, sink); }, expected)) std::abort();
        }
    }
    return 0;
}
