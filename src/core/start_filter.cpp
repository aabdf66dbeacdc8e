#include "start_filter.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <string>

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

// A nibble filter passing no more than this share of typical data is kept even where the byte
// form would pass less: its test costs fewer instructions and it already skips nearly everything.
constexpr double kNibblesSuffice = 1.0 / 2048;

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

// Whether the byte form's permutes (AVX-512 VBMI, beside AVX-512BW) are there.
bool has_byte_permutes() {
#if defined(__x86_64__)
    return VECTOR_UNIT == Vector::avx512 && __builtin_cpu_supports("avx512vbmi");
#else
    return false;
#endif
}

const bool BYTE_PERMUTES = has_byte_permutes();

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

// The byte form's model of text: lower-case letters as often as in English prose, 65 % of text
// between them, so that of four bytes "rl" and "wg" count as rarer than "th" and "er". J, q, x
// and z, rare in prose, are taken at 0.5 %, as in identifiers and vocabularies ("size", "json",
// "max"), so that "sizeof(" is anchored on "eof(", not on "zeof". The pair test keeps one rate
// for all letters: by this one "py" would look rarer than "y" + NUL and anchor "strcpy" + NUL,
// and "py" is common in source text.
double english_text_frequency(int byte) {
    static constexpr double kLetters[26] = {8.2, 1.5, 2.8, 4.3, 12.7, 2.2, 2.0, 6.1, 7.0, 0.5, 0.8, 4.0, 2.4,
                                            6.7, 7.5, 1.9, 0.5, 6.0, 6.3, 9.1, 2.8, 1.0, 2.4, 0.5, 2.0, 0.5};
    if (byte >= 'a' && byte <= 'z') return 0.65 * kLetters[byte - 'a'] / 100;
    return text_frequency(byte);
}

double binary_frequency(int byte) { return byte == 0 ? 0.1 : 0.9 / 255; }

// Both frequencies of every byte, worked out once.
struct Frequencies {
    double text[256], binary[256];
    Frequencies() {
        for (int byte = 0; byte < 256; ++byte) {
            text[byte] = text_frequency(byte);
            binary[byte] = binary_frequency(byte);
        }
    }
};

const Frequencies& frequencies() {
    static const Frequencies table;
    return table;
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
    // How often a position of typical data passes this bucket, the file being text or binary alike.
    double rate() const {
        double text_first = 0, binary_first = 0, text_second = 0, binary_second = 0;
        add_frequencies(first_low, first_high, text_first, binary_first);
        add_frequencies(second_low, second_high, text_second, binary_second);
        return 0.5 * text_first * text_second + 0.5 * binary_first * binary_second;
    }

private:
    // Adds up the bytes whose nibbles are in the sets, in byte order.
    static void add_frequencies(uint16_t low, uint16_t high, double& text, double& binary) {
        const Frequencies& f = frequencies();
        for (unsigned h = high; h != 0; h &= h - 1) {
            for (unsigned l = low; l != 0; l &= l - 1) {
                int byte = __builtin_ctz(h) << 4 | __builtin_ctz(l);
                text += f.text[byte];
                binary += f.binary[byte];
            }
        }
    }
};

// Merges buckets two at a time, always the two whose union admits the least extra traffic (the
// first such pair in index order), until `limit` remain; the survivors keep their order. Each
// pair's cost is worked out once, and again only when one of the two changes, and each bucket
// keeps its cheapest partner, so that a table of a few hundred anchors builds in milliseconds.
template <class B>
std::vector<B> merge_cheapest(std::vector<B> buckets, size_t limit) {
    const size_t n = buckets.size();
    if (n <= limit) {
        return buckets;
    }
    std::vector<double> rate(n), cost(n * n);
    for (size_t a = 0; a < n; ++a) rate[a] = buckets[a].rate();
    auto pair_cost = [&](size_t a, size_t b) { return buckets[a].merged(buckets[b]).rate() - rate[a] - rate[b]; };
    std::vector<bool> alive(n, true);
    std::vector<size_t> best(n, n);  // per bucket a: its cheapest partner b > a, n for none
    auto rescan = [&](size_t a) {
        best[a] = n;
        for (size_t b = a + 1; b < n; ++b) {
            if (alive[b] && (best[a] == n || cost[a * n + b] < cost[a * n + best[a]])) best[a] = b;
        }
    };
    for (size_t a = 0; a < n; ++a) {
        for (size_t b = a + 1; b < n; ++b) cost[a * n + b] = pair_cost(a, b);
        rescan(a);
    }
    for (size_t left = n; left > limit; --left) {
        size_t a = n;
        for (size_t r = 0; r < n; ++r) {
            if (alive[r] && best[r] != n && (a == n || cost[r * n + best[r]] < cost[a * n + best[a]])) a = r;
        }
        const size_t b = best[a];
        buckets[a] = buckets[a].merged(buckets[b]);
        rate[a] = buckets[a].rate();
        alive[b] = false;
        for (size_t c = a + 1; c < n; ++c) {
            if (alive[c]) cost[a * n + c] = pair_cost(a, c);
        }
        rescan(a);
        for (size_t r = 0; r < b; ++r) {
            if (!alive[r] || r == a) continue;
            if (r < a) cost[r * n + a] = pair_cost(r, a);
            if (best[r] == a || best[r] == b) {
                rescan(r);
            } else if (r < a && (best[r] == n || cost[r * n + a] < cost[r * n + best[r]] ||
                                 (cost[r * n + a] == cost[r * n + best[r]] && a < best[r]))) {
                best[r] = a;
            }
        }
    }
    std::vector<B> merged;
    for (size_t a = 0; a < n; ++a) {
        if (alive[a]) merged.push_back(std::move(buckets[a]));
    }
    return merged;
}

// Above this many distinct anchors, a table gets no filter of that form: its buckets would hold
// so many that they admit most data, and merging them would take long.
constexpr size_t kMaxAnchors = 512;

}  // namespace

std::optional<StartFilter> StartFilter::build(const std::vector<Pattern>& rows, bool byte_form) {
    if (VECTOR_UNIT == Vector::none || rows.empty()) {
        return std::nullopt;
    }
    std::optional<StartFilter> nibbles = build_nibbles(rows);
    if (nibbles && nibbles->pass_rate_ <= kNibblesSuffice) {
        return nibbles;
    }
    std::optional<StartFilter> bytes = BYTE_PERMUTES && byte_form ? build_bytes(rows) : std::nullopt;
    if (bytes && (!nibbles || bytes->pass_rate_ < nibbles->pass_rate_)) {
        nibbles = std::move(bytes);
    }
    if (!nibbles || nibbles->pass_rate_ > kMaxPassRate) {
        return std::nullopt;
    }
    return nibbles;
}

std::optional<StartFilter> StartFilter::build_nibbles(const std::vector<Pattern>& rows) {
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
    if (pairs.size() > kMaxAnchors) {
        return std::nullopt;
    }
    std::vector<Bucket> buckets;
    for (auto [first, second] : pairs) {
        Bucket bucket;
        bucket.add(first, second);
        buckets.push_back(bucket);
    }
    buckets = merge_cheapest(std::move(buckets), kBuckets);
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
    return filter;
}

namespace {

// One bucket of the byte form: the bytes admitted at each position of the anchor, with how often
// a byte of typical text and of binary data falls in each set.
struct ByteBucket {
    static constexpr size_t kPositions = 4;
    struct Set {
        uint64_t bits[4] = {};
        double text = 0, binary = 0;

        bool has(int byte) const { return bits[byte >> 6] >> (byte & 63) & 1; }
        void add(int byte) {
            if (!has(byte)) {
                bits[byte >> 6] |= uint64_t{1} << (byte & 63);
                text += english_text_frequency(byte);
                binary += binary_frequency(byte);
            }
        }
        Set united(const Set& other) const {
            Set set = *this;
            for (int word = 0; word < 4; ++word) {
                for (uint64_t extra = other.bits[word] & ~bits[word]; extra != 0; extra &= extra - 1) {
                    set.add(word * 64 + __builtin_ctzll(extra));
                }
            }
            return set;
        }
    };
    Set admits[kPositions];

    ByteBucket merged(const ByteBucket& other) const {
        ByteBucket bucket;
        for (size_t j = 0; j < kPositions; ++j) bucket.admits[j] = admits[j].united(other.admits[j]);
        return bucket;
    }
    double rate() const {
        double text = 1, binary = 1;
        for (const Set& set : admits) {
            text *= set.text;
            binary *= set.binary;
        }
        return 0.5 * text + 0.5 * binary;
    }
};

}  // namespace

std::optional<StartFilter> StartFilter::build_bytes(const std::vector<Pattern>& rows) {
    static_assert(ByteBucket::kPositions == kAnchorBytes);
    StartFilter filter;
    filter.form_ = Form::bytes;
    // Each row's anchor: its four adjacent bytes least likely to turn up in data (all of a
    // shorter row), as a string; the positions past its end admit any byte.
    std::set<std::string> anchors;
    for (const Pattern& row : rows) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(row.pattern.data());
        size_t length = std::min(row.pattern.size(), kAnchorBytes);
        auto frequency = [&](size_t k) {
            double text = 1, binary = 1;
            for (size_t j = 0; j < length; ++j) {
                text *= english_text_frequency(bytes[k + j]);
                binary *= binary_frequency(bytes[k + j]);
            }
            return 0.5 * text + 0.5 * binary;
        };
        size_t best = 0;
        for (size_t k = 1; k + length <= row.pattern.size(); ++k) {
            if (frequency(k) < frequency(best)) best = k;
        }
        anchors.insert(row.pattern.substr(best, length));
        filter.max_anchor_offset_ = std::max(filter.max_anchor_offset_, best);
    }
    if (anchors.size() > kMaxAnchors) {
        return std::nullopt;
    }
    std::vector<ByteBucket> buckets;
    for (const std::string& anchor : anchors) {
        ByteBucket bucket;
        for (size_t j = 0; j < kAnchorBytes; ++j) {
            if (j < anchor.size()) {
                bucket.admits[j].add(static_cast<unsigned char>(anchor[j]));
            } else {
                for (int byte = 0; byte < 256; ++byte) bucket.admits[j].add(byte);
            }
        }
        buckets.push_back(bucket);
    }
    // Eight buckets where they already skip nearly everything, else sixteen. Merging goes on
    // from sixteen to eight exactly as it would have gone straight to eight.
    auto passing_share = [](const std::vector<ByteBucket>& set) {
        double passing = 0;
        for (const ByteBucket& bucket : set) passing += bucket.rate();  // buckets may overlap: an upper bound
        return passing;
    };
    buckets = merge_cheapest(std::move(buckets), 16);
    std::vector<ByteBucket> narrow = merge_cheapest(buckets, 8);
    double passing = passing_share(narrow);
    if (passing <= kNibblesSuffice / 4) {
        buckets = std::move(narrow);
    } else {
        passing = passing_share(buckets);
    }
    filter.wide_ = buckets.size() > 8;
    for (size_t i = 0; i < buckets.size(); ++i) {
        uint8_t bit = static_cast<uint8_t>(1u << i % 8);
        for (size_t j = 0; j < kAnchorBytes; ++j) {
            for (int byte = 0; byte < 256; ++byte) {
                if (buckets[i].admits[j].has(byte)) filter.byte_tables_[i / 8][j][byte] |= bit;
            }
        }
    }
    for (size_t half = 0; half < 2; ++half) {
        for (size_t j = 0; j < kAnchorBytes; ++j) {
            const uint8_t* table = filter.byte_tables_[half][j];
            filter.high_[half][j] = table[0x80];
            filter.high_varies_ |= !std::all_of(table + 0x80, table + 256, [&](uint8_t b) { return b == table[0x80]; });
        }
    }
    uint8_t zero_low = 0xFF, zero_high = 0xFF;
    for (size_t j = 0; j < kAnchorBytes; ++j) {
        zero_low &= filter.byte_tables_[0][j][0];
        zero_high &= filter.byte_tables_[1][j][0];
    }
    filter.zeros_pass_ = (zero_low | zero_high) != 0;
    filter.pass_rate_ = passing;
    return filter;
}

bool StartFilter::passes(const unsigned char* data, size_t size, size_t at) const {
    if (form_ == Form::bytes) {
        uint8_t low = 0xFF, high = 0xFF;
        for (size_t j = 0; j < kAnchorBytes && at + j < size; ++j) {
            low &= byte_tables_[0][j][data[at + j]];
            high &= byte_tables_[1][j][data[at + j]];
        }
        return (low | high) != 0;
    }
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

// The plain test on the positions from `at` that the vector loops leave, near the end.
bool StartFilter::collect_windows_plainly(const unsigned char* data, size_t size, size_t at, size_t end,
                                          WindowBuilder& builder) const {
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

// The same test on 64 positions at once; the mask comes straight from a byte test.
__attribute__((target("avx512bw"), aligned(64))) bool StartFilter::collect_windows_avx512(const unsigned char* data, size_t size,
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
    return collect_windows_plainly(data, size, at, end, builder);
}

namespace {

// The buckets of one table admitting the bytes of `data` at one position of the anchor: the low
// half of the table by one permute, bytes from 0x80 up from the high half or their common value.
template <bool HighVaries>
__attribute__((target("avx512bw,avx512vbmi"))) inline __m512i byte_buckets(__m512i data, __mmask64 upper,
                                                                             const __m512i table[4], __m512i high) {
    __m512i found = _mm512_permutex2var_epi8(table[0], data, table[1]);
    if constexpr (HighVaries) {
        high = _mm512_permutex2var_epi8(table[2], data, table[3]);
    }
    return _mm512_mask_blend_epi8(upper, found, high);
}

// The byte form's test on 64 positions at a time from `at`, as far as whole vectors go; `at` is
// left where the plain test must go on. The vector loops are aligned to a cache line: where an
// unrelated change moved this one, it ran up to 10 % slower.
template <bool HighVaries, bool Wide>
__attribute__((target("avx512bw,avx512vbmi"), aligned(64))) bool collect_byte_windows(
    const unsigned char* data, size_t size, size_t& at, size_t end, const uint8_t (&tables)[2][4][256],
    const uint8_t (&high_buckets)[2][4], bool skip_zeros, auto& builder) {
    constexpr size_t kHalves = Wide ? 2 : 1;
    __m512i table[kHalves][4][4], high[kHalves][4];
    for (size_t half = 0; half < kHalves; ++half) {
        for (size_t j = 0; j < 4; ++j) {
            for (size_t quarter = 0; quarter < 4; ++quarter) {
                table[half][j][quarter] = _mm512_load_si512(tables[half][j] + 64 * quarter);
            }
            high[half][j] = _mm512_set1_epi8(static_cast<char>(high_buckets[half][j]));
        }
    }
    while (at + 64 <= end && at + 64 + 3 <= size) {
        _mm_prefetch(reinterpret_cast<const char*>(data + at + kPrefetchDistance), _MM_HINT_T0);
        __m512i bytes[4];
        bytes[0] = _mm512_loadu_si512(data + at);
        bytes[3] = _mm512_loadu_si512(data + at + 3);
        // A run of zero bytes (padding, empty tensors) passes nowhere unless an anchor is all
        // zeros: one test instead of the permutes.
        if (skip_zeros && _mm512_test_epi8_mask(_mm512_or_si512(bytes[0], bytes[3]), _mm512_set1_epi8(-1)) == 0) {
            if (builder.zeros != nullptr) {
                builder.count(at, ~uint64_t{0});
            }
            at += 64;
            continue;
        }
        bytes[1] = _mm512_loadu_si512(data + at + 1);
        bytes[2] = _mm512_loadu_si512(data + at + 2);
        __mmask64 upper[4];
        for (size_t j = 0; j < 4; ++j) {
            upper[j] = _mm512_movepi8_mask(bytes[j]);
        }
        uint64_t mask = 0;
        for (size_t half = 0; half < kHalves; ++half) {
            __m512i buckets = _mm512_and_si512(
                _mm512_and_si512(byte_buckets<HighVaries>(bytes[0], upper[0], table[half][0], high[half][0]),
                                 byte_buckets<HighVaries>(bytes[1], upper[1], table[half][1], high[half][1])),
                _mm512_and_si512(byte_buckets<HighVaries>(bytes[2], upper[2], table[half][2], high[half][2]),
                                 byte_buckets<HighVaries>(bytes[3], upper[3], table[half][3], high[half][3])));
            mask |= _mm512_test_epi8_mask(buckets, buckets);
        }
        if (builder.zeros != nullptr) {
            builder.count(at, _mm512_cmpeq_epi8_mask(bytes[0], _mm512_setzero_si512()));
        }
        while (mask != 0) {
            if (!builder.add(at + static_cast<size_t>(__builtin_ctzll(mask)))) {
                return false;
            }
            mask &= mask - 1;
        }
        at += 64;
    }
    return true;
}

}  // namespace

bool StartFilter::collect_windows_bytes(const unsigned char* data, size_t size, size_t begin, size_t end,
                                        WindowBuilder& builder) const {
    size_t at = begin;
    bool vectors_done =
        high_varies_ ? (wide_ ? collect_byte_windows<true, true>(data, size, at, end, byte_tables_, high_, !zeros_pass_, builder)
                              : collect_byte_windows<true, false>(data, size, at, end, byte_tables_, high_, !zeros_pass_, builder))
                     : (wide_ ? collect_byte_windows<false, true>(data, size, at, end, byte_tables_, high_, !zeros_pass_, builder)
                              : collect_byte_windows<false, false>(data, size, at, end, byte_tables_, high_, !zeros_pass_, builder));
    return vectors_done && collect_windows_plainly(data, size, at, end, builder);
}

__attribute__((target("avx2"), aligned(64))) bool StartFilter::collect_windows(const unsigned char* data, size_t size,
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
    return collect_windows_plainly(data, size, at, end, builder);
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
    if (form_ == Form::bytes) {
        return collect_windows_bytes(data, size, begin, anchors_end, builder);
    }
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
