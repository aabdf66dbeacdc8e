#include "threat_catalogue.hpp"

#include <stdexcept>

namespace vesquor {

std::string_view label_category(std::string_view label) { return label.substr(0, label.find(':')); }

std::string_view label_name(std::string_view label) {
    size_t colon = label.find(':');
    return colon == std::string_view::npos ? label : label.substr(colon + 1);
}

ThreatCatalogue::ThreatCatalogue(std::vector<CatalogueRow> rows, std::vector<std::string_view> categories,
                                 SetEntry entry, std::optional<size_t> fallback)
    : rows_(std::move(rows)), entries_(categories.size()) {
    for (const CatalogueRow& row : rows_) {
        std::string_view category = label_category(row.label);
        size_t index = categories.size();
        for (size_t c = 0; c < categories.size(); ++c) {
            if (categories[c] == category) {
                index = c;
                break;
            }
        }
        if (index == categories.size()) {
            if (!fallback) {
                throw std::logic_error("catalogue row of no category: " + std::string(row.label));
            }
            index = *fallback;
        }
        std::string text(entry == SetEntry::whole_label ? row.label : label_name(row.label));
        std::vector<std::string>& known = entries_[index];
        size_t position = 0;
        while (position < known.size() && known[position] != text) {
            ++position;
        }
        if (position == known.size()) {
            known.push_back(std::move(text));
        }
        row_category_.push_back(static_cast<uint32_t>(index));
        row_entry_.push_back(static_cast<uint32_t>(position));
    }
}

std::vector<Pattern> ThreatCatalogue::patterns() const {
    std::vector<Pattern> out;
    out.reserve(rows_.size());
    for (const CatalogueRow& row : rows_) {
        out.push_back(Pattern{std::string(row.bytes), std::string(row.label), row.weight});
    }
    return out;
}

CategorySets::CategorySets(const ThreatCatalogue& catalogue)
    : catalogue_(&catalogue),
      seen_(catalogue.category_count()),
      row_seen_(catalogue.row_count(), 0),
      distinct_(catalogue.category_count(), 0) {
    for (size_t c = 0; c < seen_.size(); ++c) {
        seen_[c].assign(catalogue.entries(c).size(), false);
    }
}

void CategorySets::clear() {
    for (std::vector<bool>& seen : seen_) {
        seen.assign(seen.size(), false);
    }
    row_seen_.assign(row_seen_.size(), 0);
    distinct_.assign(distinct_.size(), 0);
    total_matches_ = 0;
}

std::vector<std::string> CategorySets::list(size_t category) const {
    std::vector<std::string> out;
    out.reserve(distinct_[category]);
    for (size_t e = 0; e < seen_[category].size(); ++e) {
        if (seen_[category][e]) {
            out.push_back(catalogue_->entries(category)[e]);
        }
    }
    return out;
}

const Result<PatternScanner>& ThreatCatalogue::scanner() const {
    std::call_once(built_, [this] { scanner_.emplace(PatternScanner::build(patterns())); });
    return *scanner_;
}

Result<ThreatStream> ThreatStream::build(const ThreatCatalogue& catalogue, uint64_t num_groups) {
    if (num_groups == 0) {
        return Error{"num_groups must be at least 1"};  // before any build work, as for a bare scanner
    }
    const Result<PatternScanner>& table = catalogue.scanner();
    if (!table) {
        return Error{table.error()};
    }
    Result<ParallelStreamingScanner> scanner = ParallelStreamingScanner::build(table.value(), num_groups);
    if (!scanner) {
        return Error{scanner.error()};
    }
    return ThreatStream(std::move(scanner).value(), catalogue);
}

}  // namespace vesquor
