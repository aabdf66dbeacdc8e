#include "start_filter.hpp"

#include <algorithm>
#include <array>
#include <set>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vesquor {

namespace {

constexpr size_t kBuckets = 8;  // one bit of a byte each
// The filter's loop is bound by memory reads: asking for the data this far ahead keeps enough
// reads in flight for it to run at the speed of memory (measured: 7 GB/s without, 9.7 with, on
// data far larger than the caches).
constexpr size_t kPrefetchDistance = 2048;

// The filter pays for itself only when few positions pass: above this share of typical data,
// Hyperscan alone. The model of typical data is crude (it takes a tenth of binary bytes to be
// NUL, so "y" + NUL looks common), and a piece where many positions pass is scanned whole anyway
// (kDenseBytesPerWindow), so the bound is loose: it keeps the filter off tables it cannot help.
constexpr double kMaxPassRate = 1.0 / 32;

// Windows closer than this are merged: one Hyperscan call costs about as much as scanning this
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

// How often a byte turns up in the two kinds of files scanned, roughly: JSON or source text
// (spaces, lower-case letters, quotes and digits common; NUL never) and binary tensor data (every
// byte alike, zeros more often). It only steers the choice of anchors and buckets; results never
// depend on it.
double text_frequency(int byte) {
    if (byte == ' ') return 0.12;
    if (byte >= 'a' && byte <= 'z') return 0.025;
    if (byte >= '0' && byte <= '9') return 0.012;
    if (byte == '"' || byte == ',' || byte == ':' || byte == '.' || byte == '\n') return 0.03;
    if (byte >= 'A' && byte <= 'Z') return 0.003;
    if (byte > 0x20 && byte < 0x7F) return 0.002;
    if (byte >= 0x80) return 0.0005;  // UTF-8 lead and continuation bytes
    return 0.00002;                   // control bytes, NUL among them
}

double binary_frequency(int byte) { return byte == 0 ? 0.1 : 0.9 / 255; }

// How often a pair of bytes from the given sets turns up, the file being text or binary alike.
template <class First, class Second>
double set_pair_frequency(First&& first_in, Second&& second_in) {
    double text_first = 0, text_second = 0, binary_first = 0, binary_second = 0;
    for (int byte = 0; byte < 256; ++byte) {
        if (first_in(byte)) {
            text_first += text_frequency(byte);
            binary_first += binary_frequency(byte);
        }
        if (second_in(byte)) {
            text_second += text_frequency(byte);
            binary_second += binary_frequency(byte);
        }
    }
    return 0.5 * text_first * text_second + 0.5 * binary_first * binary_second;
}

// The same for one pair; a negative second byte stands for any byte.
double pair_frequency(int first, int second) {
    return 0.5 * text_frequency(first) * (second < 0 ? 1.0 : text_frequency(second)) +
           0.5 * binary_frequency(first) * (second < 0 ? 1.0 : binary_frequency(second));
}

// The nibbles one bucket admits, as bit sets, for the first and the second byte of a pair.
struct Bucket {
    uint16_t first_low = 0, first_high = 0, second_low = 0, second_high = 0;

    void add(int first, int second) {
        first_low |= static_cast<uint16_t>(1u << (first & 15));
        first_high |= static_cast<uint16_t>(1u << (first >> 4));
        if (second < 0) {
            second_low = second_high = 0xFFFF;  // any second byte
        } else {
            second_low |= static_cast<uint16_t>(1u << (second & 15));
            second_high |= static_cast<uint16_t>(1u << (second >> 4));
        }
    }
    Bucket merged(const Bucket& other) const {
        return Bucket{static_cast<uint16_t>(first_low | other.first_low),
                      static_cast<uint16_t>(first_high | other.first_high),
                      static_cast<uint16_t>(second_low | other.second_low),
                      static_cast<uint16_t>(second_high | other.second_high)};
    }
    // How often a position of typical data passes this bucket.
    double rate() const {
        return set_pair_frequency([this](int byte) { return (first_low >> (byte & 15) & 1) && (first_high >> (byte >> 4) & 1); },
                              [this](int byte) { return (second_low >> (byte & 15) & 1) && (second_high >> (byte >> 4) & 1); });
    }
};

}  // namespace

std::optional<StartFilter> StartFilter::build(const std::vector<Pattern>& rows) {
    if (VECTOR_UNIT == Vector::none || rows.empty()) {
        return std::nullopt;
    }
    // Each row's anchor: the two adjacent bytes of it least likely to turn up in data (its only
    // byte, with any second byte, for a one-byte row).
    StartFilter filter;
    std::set<std::pair<int, int>> pairs;
    for (const Pattern& row : rows) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(row.pattern.data());
        if (row.pattern.empty()) {
            return std::nullopt;
        }
        if (row.pattern.size() == 1) {
            pairs.emplace(bytes[0], -1);
            continue;
        }
        size_t best = 0;
        for (size_t k = 1; k + 1 < row.pattern.size(); ++k) {
            if (pair_frequency(bytes[k], bytes[k + 1]) < pair_frequency(bytes[best], bytes[best + 1])) {
                best = k;
            }
        }
        pairs.emplace(bytes[best], bytes[best + 1]);
        filter.max_anchor_offset_ = std::max(filter.max_anchor_offset_, best);
    }
    // Buckets: while there are more than eight, merge the two whose union admits the least
    // extra traffic. A bucket admits every pair whose nibbles its tables hold, so merging ("e",
    // NUL) with ("f", "(") would admit "e " and "f " as well, and is avoided.
    std::vector<Bucket> buckets;
    for (auto [first, second] : pairs) {
        Bucket bucket;
        bucket.add(first, second);
        buckets.push_back(bucket);
    }
    while (buckets.size() > kBuckets) {
        size_t best_a = 0, best_b = 1;
        double best_cost = 2.0;
        for (size_t a = 0; a < buckets.size(); ++a) {
            for (size_t b = a + 1; b < buckets.size(); ++b) {
                double cost = buckets[a].merged(buckets[b]).rate() - buckets[a].rate() - buckets[b].rate();
                if (cost < best_cost) {
                    best_cost = cost;
                    best_a = a;
                    best_b = b;
                }
            }
        }
        buckets[best_a] = buckets[best_a].merged(buckets[best_b]);
        buckets.erase(buckets.begin() + static_cast<std::ptrdiff_t>(best_b));
    }
    for (size_t i = 0; i < buckets.size(); ++i) {
        uint8_t bit = static_cast<uint8_t>(1u << i);
        for (int nibble = 0; nibble < 16; ++nibble) {
            if (buckets[i].first_low >> nibble & 1) filter.first_low_[nibble] |= bit;
            if (buckets[i].first_high >> nibble & 1) filter.first_high_[nibble] |= bit;
            if (buckets[i].second_low >> nibble & 1) filter.second_low_[nibble] |= bit;
            if (buckets[i].second_high >> nibble & 1) filter.second_high_[nibble] |= bit;
        }
    }
    // The vector lookup works on each 16-byte lane separately: every lane carries the table.
    for (uint8_t* table : {filter.first_low_, filter.first_high_, filter.second_low_, filter.second_high_}) {
        for (size_t lane = 16; lane < kTableBytes; lane += 16) {
            std::copy(table, table + 16, table + lane);
        }
    }
    double passing = 0;
    for (const Bucket& bucket : buckets) {
        passing += bucket.rate();  // buckets may overlap: an upper bound
    }
    filter.pass_rate_ = passing;
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
    size_t begin;       // no window starts before this
    size_t end;         // nor ends after this
    size_t back;        // the largest anchor offset
    size_t span;        // the longest row
    size_t limit;       // the most windows before the data counts as dense
    ZeroCount* zeros;   // or null: no counting

    // Adds the zero bytes among the 64 (or fewer) positions from `at` flagged in `mask` that lie
    // in the counted range.
    void count(size_t at, uint64_t mask) {
        if (at < zeros->begin) {
            mask &= zeros->begin - at >= 64 ? 0 : ~uint64_t{0} << (zeros->begin - at);
        }
        if (at + 64 > zeros->end) {
            mask &= zeros->end <= at ? 0 : ~uint64_t{0} >> (64 - (zeros->end - at));
        }
        zeros->count += static_cast<uint64_t>(__builtin_popcountll(mask));
    }

    // Adds the window of a passing anchor position; false once there are too many windows. A row
    // anchored at `position` starts at most `back` bytes before it and ends within `span` after.
    bool add(size_t position) {
        size_t start = position > begin + back ? position - back : begin;
        size_t stop = std::min(position + span, end);
        if (stop <= start) {
            return true;
        }
        if (!out.empty() && start <= out.back().second + kMergeGap) {
            out.back().second = std::max(out.back().second, stop);
            return true;
        }
        if (out.size() >= limit) {
            return false;
        }
        out.emplace_back(start, stop);
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
        _mm_prefetch(reinterpret_cast<const char*>(data + at + kPrefetchDistance), _MM_HINT_T0);
        __m512i first = _mm512_loadu_si512(data + at);
        __m512i second = _mm512_loadu_si512(data + at + 1);
        __m512i buckets = _mm512_and_si512(
            _mm512_and_si512(_mm512_shuffle_epi8(first_low, _mm512_and_si512(first, nibble)),
                             _mm512_shuffle_epi8(first_high, _mm512_and_si512(_mm512_srli_epi16(first, 4), nibble))),
            _mm512_and_si512(_mm512_shuffle_epi8(second_low, _mm512_and_si512(second, nibble)),
                             _mm512_shuffle_epi8(second_high, _mm512_and_si512(_mm512_srli_epi16(second, 4), nibble))));
        uint64_t mask = _mm512_test_epi8_mask(buckets, buckets);
        if (builder.zeros != nullptr) {
            builder.count(at, _mm512_cmpeq_epi8_mask(first, _mm512_setzero_si512()));
        }
        while (mask != 0) {
            if (!builder.add(at + static_cast<size_t>(__builtin_ctzll(mask)))) {
                return false;
            }
            mask &= mask - 1;
        }
        at += 64;
    }
    for (; at < end; ++at) {
        if (builder.zeros != nullptr && data[at] == 0) {
            builder.count(at, 1);
        }
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
        _mm_prefetch(reinterpret_cast<const char*>(data + at + kPrefetchDistance), _MM_HINT_T0);
        if (builder.zeros != nullptr) {
            const __m256i zero = _mm256_setzero_si256();
            uint64_t low = static_cast<uint32_t>(_mm256_movemask_epi8(
                _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at)), zero)));
            uint64_t high = static_cast<uint32_t>(_mm256_movemask_epi8(
                _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + 32)), zero)));
            builder.count(at, low | high << 32);
        }
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
        if (builder.zeros != nullptr && data[at] == 0) {
            builder.count(at, 1);
        }
        if (passes(data, size, at) && !builder.add(at)) {
            return false;
        }
    }
    return true;
}
#endif

bool StartFilter::windows(const unsigned char* data, size_t size, size_t begin, size_t end, size_t span,
                          std::vector<std::pair<size_t, size_t>>& windows, ZeroCount* zeros) const {
    windows.clear();
#if defined(__x86_64__)
    // Rows starting in [begin, end) have their anchors in [begin, end + max_anchor_offset_), and
    // that range covers the counted one.
    WindowBuilder builder{windows, begin, end, max_anchor_offset_, span, (end - begin) / kDenseBytesPerWindow + 1,
                          zeros};
    size_t anchors_end = std::min(size, end + max_anchor_offset_);
    if (VECTOR_UNIT == Vector::avx512) {
        return collect_windows_avx512(data, size, begin, anchors_end, builder);
    }
    return collect_windows(data, size, begin, anchors_end, builder);
#else
    (void)data, (void)size, (void)begin, (void)end, (void)span, (void)zeros;
    return false;
#endif
}

}  // namespace vesquor
