// The single matching primitive. A `PatternScanner` owns a table of rows (bytes, label, weight),
// compiles it into one Hyperscan literal database and reports standard, non-overlapping matches:
// reading forward from a resume point, at the first end position where some occurrence starts at
// or after the resume point, the longest such occurrence is reported (the lowest row among equal
// bytes) and the search resumes at its end. For the rows "abcd" and "bc" over "xabcdx", "bc" ends
// first and is reported; "abcd" starts before the resume point and is not. For "aa" over "aaaa"
// the matches end at 2 and 4.
//
// Hyperscan finds every occurrence (row id, end offset); the `StandardFilter` below turns that
// stream into the matches above. The filter is plain C++ so that tests reach it without
// Hyperscan, and several filters can share one pass over the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "bytes.hpp"
#include "function_ref.hpp"
#include "result.hpp"

namespace vesquor {

class StartFilter;

// One row of a catalogue. The position of a row in its table is its pattern id.
struct Pattern {
    std::string pattern;  // never empty in a catalogue; may hold NUL and bytes above 0x7F
    std::string label;
    int32_t weight = 0;
};

// One reported match: it refers to its row, so reporting costs no string copy.
struct PatternMatch {
    uint32_t id = 0;
    const Pattern* row = nullptr;

    const std::string& description() const { return row->label; }
    int32_t score() const { return row->weight; }
};

// One occurrence of a row: `end` is the offset just past its last byte.
struct Occurrence {
    uint32_t id;
    uint64_t end;
};

// Turns occurrences into standard non-overlapping matches. Occurrences must arrive in
// non-decreasing `end` order; those sharing an end may come in any order. A match at end e is
// decided once an occurrence with a larger end arrives or `finish` is called.
class StandardFilter {
public:
    explicit StandardFilter(uint64_t resume = 0) : resume_(resume) {}

    template <class Emit>
    void push(uint32_t id, uint32_t length, uint64_t end, Emit&& emit) {
        if (pending_ && end != pending_end_) {
            settle(emit);
        }
        if (end - length < resume_) {
            return;  // starts inside the last reported match, or before the resume point
        }
        if (!pending_) {
            pending_ = true;
            pending_end_ = end;
            best_id_ = id;
            best_length_ = length;
        } else if (length > best_length_ || (length == best_length_ && id < best_id_)) {
            best_id_ = id;
            best_length_ = length;
        }
    }

    template <class Emit>
    void finish(Emit&& emit) {
        if (pending_) {
            settle(emit);
        }
    }

    uint64_t resume() const { return resume_; }
    void restart(uint64_t resume) {
        pending_ = false;
        resume_ = resume;
    }

private:
    template <class Emit>
    void settle(Emit& emit) {
        pending_ = false;
        resume_ = pending_end_;
        emit(best_id_, pending_end_);
    }

    uint64_t resume_;
    uint64_t pending_end_ = 0;
    uint32_t best_id_ = 0;
    uint32_t best_length_ = 0;
    bool pending_ = false;
};

class PatternScanner {
public:
    // Bytes Hyperscan scans per call. A piece is re-read with the `max_length() - 1` bytes before
    // it and reports only occurrences ending inside it, so pieces give the results of one scan;
    // they also keep every call under Hyperscan's 32-bit length and bound the occurrence buffer.
    static constexpr size_t kPieceBytes = size_t{256} << 10;

    // Returns the scanner, or "Failed to build pattern automaton: " and Hyperscan's message,
    // naming the rejected row by its label. An empty table builds and never matches.
    static Result<PatternScanner> build(std::vector<Pattern> rows);
    // The same, with the start filter left out when `start_filter` is false (for tests that
    // reach the library's own scanning of long stretches).
    static Result<PatternScanner> build(std::vector<Pattern> rows, bool start_filter);

    // Standard non-overlapping matches over the whole of `data`, in end order. Safe to call from
    // many threads at once.
    std::vector<PatternMatch> scan_all(ByteView data) const;

    // Every occurrence in `data` whose end lies in (from, to], in end order, handed over in
    // batches; reads back at most `max_length() - 1` bytes before `from`. `piece_bytes` bounds a
    // batch's span; occurrences sharing an end may come in any order. With `zero_bytes`, also
    // adds the number of zero bytes in [from, to) to it, counted while the data is read anyway.
    using OccurrenceBatch = FunctionRef<void(const Occurrence*, size_t)>;
    void find_occurrences(ByteView data, uint64_t from, uint64_t to, OccurrenceBatch batch,
                          size_t piece_bytes = kPieceBytes, uint64_t* zero_bytes = nullptr) const;

    // Standard matches over `data`, each passed to `sink(PatternMatch)` (or to
    // `sink(PatternMatch, end)`), without a list.
    template <class Sink>
    void scan(ByteView data, Sink&& sink, size_t piece_bytes = kPieceBytes) const {
        StandardFilter filter;
        auto emit = [&](uint32_t id, uint64_t end) {
            if constexpr (std::is_invocable_v<Sink&, PatternMatch, uint64_t>) {
                sink(match(id), end);
            } else {
                sink(match(id));
            }
        };
        find_occurrences(
            data, 0, data.size(),
            [&](const Occurrence* occurrences, size_t count) {
                for (size_t i = 0; i < count; ++i) {
                    filter.push(occurrences[i].id, length(occurrences[i].id), occurrences[i].end, emit);
                }
            },
            piece_bytes);
        filter.finish(emit);
    }

    const std::vector<Pattern>& rows() const { return shared_->rows; }
    uint32_t length(uint32_t id) const { return shared_->lengths[id]; }
    size_t max_length() const { return shared_->max_length; }
    PatternMatch match(uint32_t id) const { return PatternMatch{id, &shared_->rows[id]}; }

    struct Database;  // Hyperscan's compiled form; defined in the .cpp

    // Whether scans skip the data between possible starts (see start_filter.hpp).
    // The filter that lets scans skip data, or null when the table gets none.
    const StartFilter* start_filter() const { return shared_->start_filter.get(); }

private:
    struct Shared {
        std::vector<Pattern> rows;
        std::vector<uint32_t> lengths;
        size_t max_length = 0;
        std::shared_ptr<const Database> database;  // null for an empty table
        std::shared_ptr<const StartFilter> start_filter;  // null when it would not pay
    };

    explicit PatternScanner(std::shared_ptr<const Shared> shared) : shared_(std::move(shared)) {}
    static Result<std::shared_ptr<const Database>> compile(const std::vector<Pattern>& rows);

    std::shared_ptr<const Shared> shared_;  // immutable once built; rows keep their addresses
};

}  // namespace vesquor
