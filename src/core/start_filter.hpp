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
// A large table (the tokenizer catalogue's 112 rows) fills eight nibble buckets with so many pairs
// that they admit most of text. On CPUs with AVX-512 VBMI such a table gets a second form: each
// row anchored on its rarest four adjacent bytes (fewer for a shorter row, the rest of the anchor
// admitting any byte), and for each of the four positions a 256-entry table of the buckets that
// admit each byte exactly, looked up 64 positions at a time with byte permutes. Buckets then mix
// only across positions ("curl" and "wget" in one bucket admit "cuet"), not within a byte; with
// sixteen buckets (two tables per position) few enough anchors share one that English text
// seldom passes.
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
    // How the filter tests a position: nibble tables for a pair of bytes, or byte tables for four.
    enum class Form { nibbles, bytes };

    // A filter for the table, or nothing when the table's first bytes are too varied for the
    // test to skip much, or the CPU lacks the vector instructions it needs (AVX2; AVX-512BW is used where present).
    // Without `byte_form` only the pair test is considered, as on CPUs without AVX-512 VBMI.
    static std::optional<StartFilter> build(const std::vector<Pattern>& rows, bool byte_form = true);

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

    Form form() const { return form_; }

    // Whether the position `at` passes (the plain form of the vector test); a position whose
    // anchor runs past the end passes if the bytes before the end can.
    bool passes(const unsigned char* data, size_t size, size_t at) const;

private:
    struct WindowBuilder;
    bool collect_windows(const unsigned char* data, size_t size, size_t begin, size_t end,
                         WindowBuilder& builder) const;
    bool collect_windows_avx512(const unsigned char* data, size_t size, size_t begin, size_t end,
                                WindowBuilder& builder) const;
    bool collect_windows_plainly(const unsigned char* data, size_t size, size_t at, size_t end,
                                 WindowBuilder& builder) const;
    bool collect_windows_bytes(const unsigned char* data, size_t size, size_t begin, size_t end,
                               WindowBuilder& builder) const;
    static std::optional<StartFilter> build_nibbles(const std::vector<Pattern>& rows);
    static std::optional<StartFilter> build_bytes(const std::vector<Pattern>& rows);

    // Each 16-entry table repeated over the width of the widest vector.
    static constexpr size_t kTableBytes = 64;
    alignas(64) uint8_t first_low_[kTableBytes] = {};
    alignas(64) uint8_t first_high_[kTableBytes] = {};
    alignas(64) uint8_t second_low_[kTableBytes] = {};
    alignas(64) uint8_t second_high_[kTableBytes] = {};
    // The byte form: for each half of the buckets (eight or sixteen in all) and each position of
    // the anchor, the buckets admitting each byte. Where a position's bytes from 0x80 up all get
    // the same buckets (none, or those whose anchors are shorter there), the vector test looks
    // up only the low half of the table and takes `high_` for the rest.
    static constexpr size_t kAnchorBytes = 4;
    alignas(64) uint8_t byte_tables_[2][kAnchorBytes][256] = {};
    uint8_t high_[2][kAnchorBytes] = {};
    bool high_varies_ = false;
    bool wide_ = false;        // sixteen buckets
    bool zeros_pass_ = false;  // a position among zero bytes passes (a row of zeros)
    Form form_ = Form::nibbles;
    double pass_rate_ = 1.0;
    size_t max_anchor_offset_ = 0;  // how far into its row an anchor lies, at most
};

}  // namespace vesquor
