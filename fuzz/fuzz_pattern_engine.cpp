// The pattern engine against a slow reference of the same semantics, with pieces of random size:
// any difference aborts.
#include <cstdlib>
#include <vector>

#include "fuzz_input.hpp"
#include "pattern_matching.hpp"

using namespace vesquor;
using vesquor::fuzz::FuzzInput;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    std::vector<std::string> patterns;
    std::vector<Pattern> rows;
    for (size_t i = 0, count = 1 + input.below(12); i < count; ++i) {
        std::string bytes = input.bytes(1 + input.below(30));
        if (bytes.empty()) break;
        patterns.push_back(bytes);
        rows.push_back(Pattern{bytes, "row", static_cast<int32_t>(i)});
    }
    size_t piece = 1 + input.below(300);
    std::string_view haystack = input.rest();

    Result<PatternScanner> built = PatternScanner::build(std::move(rows));
    if (!built) {
        std::abort();  // every non-empty table builds
    }
    std::vector<std::pair<uint32_t, uint64_t>> found;
    built.value().scan(haystack, [&](const PatternMatch& match, uint64_t end) { found.emplace_back(match.id, end); },
                       piece);
    if (found != fuzz::slow_standard_matches(patterns, haystack)) {
        std::abort();
    }
    return 0;
}
