// A vectorised test of where an occurrence can be, run before Hyperscan so that it reads only the
// few windows of the data that can hold one.
//
// Each row is anchored on two adjacent bytes of it, the pair least likely to turn up in model
// files ("y" + NUL in "strcpy" + NUL, not "st"); a one-byte row on its byte. The anchors are put
// into eight buckets; for each bucket, four 16-entry tables say which low and high nibbles of the
// first and the second byte belong to it. A position passes when some bucket admits both of its
// bytes, so every real anchor passes (some other positions do too: the nibble tables admit more
// pairs than they were built from). For the malware catalogue about one position in 13000 of
// random data passes, and none of text.
//
// The test never decides a match: the windows it yields are scanned by Hyperscan. A row anchored
// k bytes into it, found at position c, lies in [c - k, c - k + its length), so the window
// [c - largest k, c + longest row) around every passing position holds every occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "pattern_matching.hpp"

namespace vesquor {

// Zero bytes counted in [begin, end) while the filter reads the data anyway.
struct ZeroCount {
    size_t begin;
    size_t end;
    uint64_t count = 0;
};

class StartFilter {
public:
    // A filter for the table, or nothing when the table's first bytes are too varied for the
    // test to skip much, or the CPU lacks the vector instructions it needs (AVX2; AVX-512BW is used where present).
    static std::optional<StartFilter> build(const std::vector<Pattern>& rows);

    // Fills `windows` with merged, ordered windows within [begin, end) of `data` (which has
    // `size` bytes) that hold every occurrence starting in [begin, end) and ending by `end`; `span`
    // is the longest row. Returns false, leaving `windows` (and `zeros`) unspecified, when
    // passing positions are so dense that scanning [begin, end) whole is cheaper. With `zeros`,
    // also adds the zero bytes of [zeros->begin, zeros->end), a range within [begin, end).
    bool windows(const unsigned char* data, size_t size, size_t begin, size_t end, size_t span,
                 std::vector<std::pair<size_t, size_t>>& windows, ZeroCount* zeros = nullptr) const;

    // The share of positions that pass in typical model files (half text, half binary), for tests
    // and for the choice in `build`.
    double pass_rate() const { return pass_rate_; }

    // Whether the position `at` passes (the plain form of the vector test); a position whose
    // second byte lies past the end passes if its first byte can.
    bool passes(const unsigned char* data, size_t size, size_t at) const;

private:
    struct WindowBuilder;
    bool collect_windows(const unsigned char* data, size_t size, size_t begin, size_t end,
                         WindowBuilder& builder) const;
    bool collect_windows_avx512(const unsigned char* data, size_t size, size_t begin, size_t end,
                                WindowBuilder& builder) const;

    // Each 16-entry table repeated over the width of the widest vector.
    static constexpr size_t kTableBytes = 64;
    alignas(64) uint8_t first_low_[kTableBytes] = {};
    alignas(64) uint8_t first_high_[kTableBytes] = {};
    alignas(64) uint8_t second_low_[kTableBytes] = {};
    alignas(64) uint8_t second_high_[kTableBytes] = {};
    double pass_rate_ = 1.0;
    size_t max_anchor_offset_ = 0;  // how far into its row an anchor lies, at most
};

}  // namespace vesquor
