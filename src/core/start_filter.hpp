// A vectorised test of where an occurrence can start, run before Vectorscan so that it reads only
// the few windows of the data that can hold one.
//
// Every row's first two bytes (its first byte, for a one-byte row) are put into one of eight
// buckets; for each bucket, four 16-entry tables say which low and high nibbles of the first and
// the second byte belong to it. A position passes when some bucket admits both its bytes, so
// every real start passes (some other positions do too: the nibble tables admit more pairs than
// they were built from). For the malware catalogue, five buckets of one pair each, about one
// position in 13000 of random data passes.
//
// The test never decides a match: the windows it yields are scanned by Vectorscan, and a window
// [c, c + longest row) around each passing position c holds every occurrence that starts at c.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "pattern_matching.hpp"

namespace vesquor {

class StartFilter {
public:
    // A filter for the table, or nothing when the table's first bytes are too varied for the
    // test to skip much, or the CPU lacks the vector instructions it needs (AVX2; AVX-512BW is used where present).
    static std::optional<StartFilter> build(const std::vector<Pattern>& rows);

    // Fills `windows` with the merged, ordered windows [c, min(c + span, end)) of the passing
    // positions c in [begin, end) of `data` (which has `size` bytes). Returns false, leaving
    // `windows` unspecified, when passing positions are so dense that scanning [begin, end)
    // whole is cheaper.
    bool windows(const unsigned char* data, size_t size, size_t begin, size_t end, size_t span,
                 std::vector<std::pair<size_t, size_t>>& windows) const;

    // The share of random two-byte positions that pass, for tests and for the choice in `build`.
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
};

}  // namespace vesquor
