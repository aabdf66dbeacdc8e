// What the six threat validators share: a catalogue of rows labelled "category:name", the sets of
// distinct entries per category that matches fill, and the streaming state around a
// ParallelStreamingScanner.
//
// Categorising costs no string work: each row's category and its entry within that category are
// worked out once, when the catalogue is built, and a match only sets a flag by row id. A set's
// entries come out in catalogue order (the order of each entry's first row), so two runs over the
// same file print the same report whatever the chunking or the number of groups.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pattern_matching.hpp"
#include "streaming.hpp"

namespace vesquor {

struct CatalogueRow {
    std::string_view bytes;
    std::string_view label;  // "category:name"
    int32_t weight;
};

// What a category set holds: the whole label ("rop:jmp_esp") or only the name after the first ':'.
enum class SetEntry { whole_label, name };

// Text before the first ':' of a label (the whole label when it has none), and the text after.
std::string_view label_category(std::string_view label);
std::string_view label_name(std::string_view label);

class ThreatCatalogue {
public:
    // `categories` are compared exactly with each label's category; a label of no listed category
    // goes to category `fallback` (or must not occur when `fallback` is empty).
    ThreatCatalogue(std::vector<CatalogueRow> rows, std::vector<std::string_view> categories, SetEntry entry,
                    std::optional<size_t> fallback = std::nullopt);

    // A new list of the rows, as the scanner takes them.
    std::vector<Pattern> patterns() const;

    // The table compiled once per process on first use and shared by every stream over this
    // catalogue (it is immutable), or the build error.
    const Result<PatternScanner>& scanner() const;

    size_t category_count() const { return entries_.size(); }
    size_t category_of(uint32_t row) const { return row_category_[row]; }
    size_t entry_of(uint32_t row) const { return row_entry_[row]; }
    // The distinct entries of a category, in catalogue order.
    const std::vector<std::string>& entries(size_t category) const { return entries_[category]; }
    size_t row_count() const { return rows_.size(); }

private:
    std::vector<CatalogueRow> rows_;
    std::vector<uint32_t> row_category_;
    std::vector<uint32_t> row_entry_;
    std::vector<std::vector<std::string>> entries_;
    mutable std::once_flag built_;
    mutable std::optional<Result<PatternScanner>> scanner_;
};

// The distinct entries seen per category, and the count of every match.
class CategorySets {
public:
    explicit CategorySets(const ThreatCatalogue& catalogue);

    // Counts `times` matches of the row.
    void record(uint32_t row, uint64_t times = 1) {
        total_matches_ += times;
        if (row_seen_[row]) {
            return;  // the common case in data dense with matches: one load and a branch
        }
        row_seen_[row] = 1;
        std::vector<bool>& seen = seen_[catalogue_->category_of(row)];
        size_t entry = catalogue_->entry_of(row);
        if (!seen[entry]) {
            seen[entry] = true;
            ++distinct_[catalogue_->category_of(row)];
        }
    }
    void clear();

    uint64_t total_matches() const { return total_matches_; }
    size_t distinct(size_t category) const { return distinct_[category]; }
    // The entries seen in a category, in catalogue order.
    std::vector<std::string> list(size_t category) const;

private:
    const ThreatCatalogue* catalogue_;
    std::vector<std::vector<bool>> seen_;
    std::vector<uint8_t> row_seen_;  // per row: whether its entry is already marked
    std::vector<size_t> distinct_;
    uint64_t total_matches_ = 0;
};

// A threat validator's streaming state: its scanner and what the matches have filled in.
class ThreatStream {
public:
    // The scanner over the catalogue with `num_groups` groups, or its error message
    // ("num_groups must be at least 1" for 0).
    static Result<ThreatStream> build(const ThreatCatalogue& catalogue, uint64_t num_groups);

    // Scans a chunk and records every match. Needs the scanner (see `has_scanner`).
    void process_chunk(ByteView chunk) {
        scanner_->scan_chunk(chunk, [this](const PatternMatch& match, uint64_t times) { sets_.record(match.id, times); });
    }

    bool has_scanner() const { return scanner_.has_value(); }
    ParallelStreamingScanner& scanner() { return *scanner_; }
    const CategorySets& sets() const { return sets_; }
    CategorySets& sets() { return sets_; }

private:
    ThreatStream(ParallelStreamingScanner scanner, const ThreatCatalogue& catalogue)
        : scanner_(std::move(scanner)), sets_(catalogue) {}

    std::optional<ParallelStreamingScanner> scanner_;
    CategorySets sets_;
};

}  // namespace vesquor
