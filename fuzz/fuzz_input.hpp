// Reads a fuzz input as a sequence of decisions: small numbers and byte strings taken from the
// front, the rest left for the data. Running out of input yields zeros and empty strings, so every
// input is a valid case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesquor::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    uint8_t byte() {
        if (rest_.empty()) return 0;
        uint8_t value = static_cast<uint8_t>(rest_[0]);
        rest_.remove_prefix(1);
        return value;
    }
    // A number in [0, bound).
    size_t below(size_t bound) { return bound == 0 ? 0 : (size_t{byte()} << 8 | byte()) % bound; }
    std::string bytes(size_t count) {
        std::string out(rest_.substr(0, count));
        rest_.remove_prefix(out.size());
        return out;
    }
    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

// A slow reference of the standard non-overlapping search: restart at the resume point, take the
// first end where an occurrence starts at or after it, the longest there, the lowest row among
// equals. Returns (row, end) pairs.
template <class Rows>
std::vector<std::pair<uint32_t, uint64_t>> slow_standard_matches(const Rows& patterns, std::string_view data) {
    std::vector<std::pair<uint32_t, uint64_t>> out;
    size_t resume = 0;
    for (size_t end = 1; end <= data.size(); ++end) {
        long best = -1;
        for (size_t id = 0; id < patterns.size(); ++id) {
            const std::string& p = patterns[id];
            if (!p.empty() && p.size() <= end && end - p.size() >= resume &&
                data.compare(end - p.size(), p.size(), p) == 0 &&
                (best < 0 || p.size() > patterns[static_cast<size_t>(best)].size())) {
                best = static_cast<long>(id);
            }
        }
        if (best >= 0) {
            out.emplace_back(static_cast<uint32_t>(best), end);
            resume = end;
        }
    }
    return out;
}

}  // namespace vesquor::fuzz
