#include "start_filter.hpp"

#include <algorithm>
#include <array>
#include <set>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vesquor {

namespace {

constexpr size_t kBuckets = 8;

// The filter pays for itself only when few positions pass: above this share, Vectorscan alone.
constexpr double kMaxPassRate = 1.0 / 2048;

// Windows closer than this are merged: one Vectorscan call costs about as much as scanning this
// many bytes.
constexpr size_t kMergeGap = 256;

// More windows than one per this many bytes: the data is dense with candidates, scan it whole.
constexpr size_t kDenseBytesPerWindow = 512;

enum class Vector { none, avx2, avx512 };

// The widest vector unit of the running CPU that the filter has a form for.
Vector vector_unit() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) return Vector::avx512;
    if (__builtin_cpu_supports("avx2")) return Vector::avx2;
#endif
    return Vector::none;
}

const Vector VECTOR_UNIT = vector_unit();

}  // namespace

std::optional<StartFilter> StartFilter::build(const std::vector<Pattern>& rows) {
    if (VECTOR_UNIT == Vector::none || rows.empty()) {
        return std::nullopt;
    }
    // Distinct leading pairs; a one-byte row admits any second byte (second byte -1).
    std::set<std::pair<int, int>> pairs;
    for (const Pattern& row : rows) {
        if (row.pattern.empty()) {
            return std::nullopt;
        }
        int first = static_cast<unsigned char>(row.pattern[0]);
        int second = row.pattern.size() > 1 ? static_cast<unsigned char>(row.pattern[1]) : -1;
        pairs.emplace(first, second);
    }
    // Contiguous runs of the sorted pairs share a bucket, so pairs with a common first byte tend
    // to stay together and admit few extra pairs.
    std::vector<std::pair<int, int>> sorted(pairs.begin(), pairs.end());
    StartFilter filter;
    for (size_t i = 0; i < sorted.size(); ++i) {
        uint8_t bit = static_cast<uint8_t>(1u << (i * kBuckets / sorted.size()));
        auto [first, second] = sorted[i];
        filter.first_low_[first & 15] |= bit;
        filter.first_high_[first >> 4] |= bit;
        for (int nibble = 0; nibble < 16; ++nibble) {
            if (second < 0 || (second & 15) == nibble) filter.second_low_[nibble] |= bit;
            if (second < 0 || (second >> 4) == nibble) filter.second_high_[nibble] |= bit;
        }
    }
    // The vector lookup works on each 16-byte lane separately: every lane carries the table.
    for (uint8_t* table : {filter.first_low_, filter.first_high_, filter.second_low_, filter.second_high_}) {
        for (size_t lane = 16; lane < kTableBytes; lane += 16) {
            std::copy(table, table + 16, table + lane);
        }
    }
    size_t passing = 0;
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            unsigned char bytes[2] = {static_cast<unsigned char>(first), static_cast<unsigned char>(second)};
            passing += filter.passes(bytes, 2, 0);
        }
    }
    filter.pass_rate_ = static_cast<double>(passing) / 65536.0;
    if (filter.pass_rate_ > kMaxPassRate) {
        return std::nullopt;
    }
    return filter;
}

bool StartFilter::passes(const unsigned char* data, size_t size, size_t at) const {
    unsigned first = data[at];
    uint8_t buckets = first_low_[first & 15] & first_high_[first >> 4];
    if (at + 1 < size) {
        unsigned second = data[at + 1];
        buckets &= second_low_[second & 15] & second_high_[second >> 4];
    }
    return buckets != 0;
}

#if defined(__x86_64__)
namespace {

// Bit j of the result is set when position at + j passes; needs 33 readable bytes from `at`.
__attribute__((target("avx2"))) inline uint32_t pass_mask(const unsigned char* at, __m256i first_low,
                                                          __m256i first_high, __m256i second_low, __m256i second_high,
                                                          __m256i nibble) {
    __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    __m256i buckets = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(first_low, _mm256_and_si256(first, nibble)),
                         _mm256_shuffle_epi8(first_high, _mm256_and_si256(_mm256_srli_epi16(first, 4), nibble))),
        _mm256_and_si256(_mm256_shuffle_epi8(second_low, _mm256_and_si256(second, nibble)),
                         _mm256_shuffle_epi8(second_high, _mm256_and_si256(_mm256_srli_epi16(second, 4), nibble))));
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(buckets, _mm256_setzero_si256())));
}

}  // namespace

struct StartFilter::WindowBuilder {
    std::vector<std::pair<size_t, size_t>>& out;
    size_t span;
    size_t end;
    size_t limit;  // the most windows before the data counts as dense

    // Adds the window of a passing position; false once there are too many.
    bool add(size_t position) {
        size_t stop = std::min(position + span, end);
        if (!out.empty() && position <= out.back().second + kMergeGap) {
            out.back().second = std::max(out.back().second, stop);
            return true;
        }
        if (out.size() >= limit) {
            return false;
        }
        out.emplace_back(position, stop);
        return true;
    }
};

namespace {

inline __attribute__((target("avx2"))) __m256i load_table(const uint8_t* table) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(table));
}

}  // namespace

// The same test on 64 positions at once; the mask comes straight from a byte test.
__attribute__((target("avx512bw"))) bool StartFilter::collect_windows_avx512(const unsigned char* data, size_t size,
                                                                             size_t begin, size_t end,
                                                                             WindowBuilder& builder) const {
    const __m512i first_low = _mm512_load_si512(first_low_), first_high = _mm512_load_si512(first_high_);
    const __m512i second_low = _mm512_load_si512(second_low_), second_high = _mm512_load_si512(second_high_);
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    size_t at = begin;
    while (at + 64 <= end && at + 65 <= size) {
        __m512i first = _mm512_loadu_si512(data + at);
        __m512i second = _mm512_loadu_si512(data + at + 1);
        __m512i buckets = _mm512_and_si512(
            _mm512_and_si512(_mm512_shuffle_epi8(first_low, _mm512_and_si512(first, nibble)),
                             _mm512_shuffle_epi8(first_high, _mm512_and_si512(_mm512_srli_epi16(first, 4), nibble))),
            _mm512_and_si512(_mm512_shuffle_epi8(second_low, _mm512_and_si512(second, nibble)),
                             _mm512_shuffle_epi8(second_high, _mm512_and_si512(_mm512_srli_epi16(second, 4), nibble))));
        uint64_t mask = _mm512_test_epi8_mask(buckets, buckets);
        while (mask != 0) {
            if (!builder.add(at + static_cast<size_t>(__builtin_ctzll(mask)))) {
                return false;
            }
            mask &= mask - 1;
        }
        at += 64;
    }
    for (; at < end; ++at) {
        if (passes(data, size, at) && !builder.add(at)) {
            return false;
        }
    }
    return true;
}

__attribute__((target("avx2"))) bool StartFilter::collect_windows(const unsigned char* data, size_t size,
                                                                  size_t begin, size_t end,
                                                                  WindowBuilder& builder) const {
    const __m256i first_low = load_table(first_low_), first_high = load_table(first_high_);
    const __m256i second_low = load_table(second_low_), second_high = load_table(second_high_);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    size_t at = begin;
    // Two vectors a round: one branch per 64 positions on data where nothing passes.
    while (at + 64 <= end && at + 65 <= size) {
        uint64_t mask = pass_mask(data + at, first_low, first_high, second_low, second_high, nibble) |
                        static_cast<uint64_t>(
                            pass_mask(data + at + 32, first_low, first_high, second_low, second_high, nibble))
                            << 32;
        while (mask != 0) {
            if (!builder.add(at + static_cast<size_t>(__builtin_ctzll(mask)))) {
                return false;
            }
            mask &= mask - 1;
        }
        at += 64;
    }
    for (; at < end; ++at) {
        if (passes(data, size, at) && !builder.add(at)) {
            return false;
        }
    }
    return true;
}
#endif

bool StartFilter::windows(const unsigned char* data, size_t size, size_t begin, size_t end, size_t span,
                          std::vector<std::pair<size_t, size_t>>& windows) const {
    windows.clear();
#if defined(__x86_64__)
    WindowBuilder builder{windows, span, end, (end - begin) / kDenseBytesPerWindow + 1};
    if (VECTOR_UNIT == Vector::avx512) {
        return collect_windows_avx512(data, size, begin, end, builder);
    }
    return collect_windows(data, size, begin, end, builder);
#else
    (void)data, (void)size, (void)begin, (void)end, (void)span;
    return false;
#endif
}

}  // namespace vesquor
