#include "streaming.hpp"

#include <algorithm>
#include <limits>

#include "worker_pool.hpp"

namespace vesquor {

Result<ParallelStreamingScanner> ParallelStreamingScanner::build(std::vector<Pattern> rows, uint64_t num_groups) {
    if (num_groups == 0) {
        return Error{"num_groups must be at least 1"};
    }
    Result<PatternScanner> scanner = PatternScanner::build(std::move(rows));
    if (!scanner) {
        return Error{scanner.error()};
    }
    return build(std::move(scanner).value(), num_groups);
}

Result<ParallelStreamingScanner> ParallelStreamingScanner::build(PatternScanner scanner, uint64_t num_groups) {
    if (num_groups == 0) {
        return Error{"num_groups must be at least 1"};
    }
    // Row i goes to group i mod num_groups; only the first min(num_groups, rows) groups hold rows.
    const std::vector<Pattern>& rows = scanner.rows();
    std::vector<uint32_t> overlap(static_cast<size_t>(std::min<uint64_t>(num_groups, rows.size())), 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        uint32_t& longest = overlap[static_cast<size_t>(i % num_groups)];
        longest = std::max(longest, scanner.length(static_cast<uint32_t>(i)));
    }
    std::vector<uint32_t> row_group(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        row_group[i] = static_cast<uint32_t>(i % num_groups);
    }
    ParallelStreamingScanner built(std::move(scanner), num_groups);
    built.group_overlap_ = std::move(overlap);
    built.row_group_ = std::move(row_group);
    return built;
}

ParallelStreamingScanner::ParallelStreamingScanner(PatternScanner scanner, uint64_t num_groups)
    : scanner_(std::move(scanner)), num_groups_(num_groups) {}

void ParallelStreamingScanner::run(ByteView chunk, MatchFn on_match) {
    const size_t longest = scanner_.max_length();
    if (group_overlap_.empty() || longest == 0) {
        return;
    }
    const uint64_t tail_size = tail_.size();

    // Group g's search starts where its own tail starts within tail + chunk.
    std::vector<StandardFilter> filters;
    filters.reserve(group_overlap_.size());
    for (uint32_t overlap : group_overlap_) {
        filters.emplace_back(tail_size - std::min<uint64_t>(overlap, tail_size));
    }
    auto emit = [&](uint32_t id, uint64_t) { on_match(id); };
    auto push = [&](uint32_t id, uint64_t end) {
        filters[row_group_[id]].push(id, scanner_.length(id), end, emit);
    };

    // Occurrences that start in the tail end within its first `longest - 1` bytes past it.
    std::vector<Occurrence> junction_occurrences;
    if (tail_size > 0) {
        std::string junction = tail_;
        junction.append(chunk.substr(0, std::min(chunk.size(), longest - 1)));
        scanner_.find_occurrences(junction, 0, junction.size(), [&](const Occurrence* found, size_t count) {
            for (size_t i = 0; i < count; ++i) {
                if (found[i].end - scanner_.length(found[i].id) < tail_size) {
                    junction_occurrences.push_back(found[i]);
                }
            }
        });
    }
    size_t next_junction = 0;
    auto push_junction_up_to = [&](uint64_t end) {
        while (next_junction < junction_occurrences.size() && junction_occurrences[next_junction].end <= end) {
            push(junction_occurrences[next_junction].id, junction_occurrences[next_junction].end);
            ++next_junction;
        }
    };
    // The chunk's own occurrences, shifted into tail + chunk coordinates.
    auto push_chunk = [&](const Occurrence* found, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            uint64_t end = tail_size + found[i].end;
            push_junction_up_to(end);
            push(found[i].id, end);
        }
    };

    const size_t workers = pool_concurrency();
    if (chunk.size() < parallel_from_bytes || workers < 2) {
        scanner_.find_occurrences(chunk, 0, chunk.size(), push_chunk);
    } else {
        // Rounds of one segment per worker: memory for occurrences stays bounded by a round.
        const size_t segment = std::max<size_t>(segment_bytes, 1);
        std::vector<std::vector<Occurrence>> found(workers);
        for (size_t round = 0; round < chunk.size(); round += segment * workers) {
            size_t round_end = std::min(chunk.size(), round + segment * workers);
            size_t segments = (round_end - round + segment - 1) / segment;
            parallel_for_each_index(segments, [&](size_t i) {
                size_t from = round + i * segment;
                size_t to = std::min(round_end, from + segment);
                found[i].clear();
                scanner_.find_occurrences(chunk, from, to, [&](const Occurrence* batch, size_t count) {
                    found[i].insert(found[i].end(), batch, batch + count);
                });
            });
            for (size_t i = 0; i < segments; ++i) {
                push_chunk(found[i].data(), found[i].size());
            }
        }
    }
    push_junction_up_to(std::numeric_limits<uint64_t>::max());
    for (StandardFilter& filter : filters) {
        filter.finish(emit);
    }
}

void ParallelStreamingScanner::keep_tail(ByteView chunk) {
    const size_t longest = scanner_.max_length();
    if (chunk.size() >= longest) {
        tail_.assign(chunk.substr(chunk.size() - longest));
        return;
    }
    tail_.append(chunk);
    if (tail_.size() > longest) {
        tail_.erase(0, tail_.size() - longest);
    }
}

namespace {

// Orders matches group by group, each group's in the order they came (their end order).
std::vector<PatternMatch> in_group_order(std::vector<PatternMatch> matches, uint64_t num_groups) {
    std::stable_sort(matches.begin(), matches.end(), [num_groups](const PatternMatch& a, const PatternMatch& b) {
        return a.id % num_groups < b.id % num_groups;  // a list is made for Python: this is not the hot path
    });
    return matches;
}

}  // namespace

std::vector<PatternMatch> ParallelStreamingScanner::scan_chunk(ByteView chunk) {
    std::vector<PatternMatch> matches;
    scan_chunk(chunk, [&](const PatternMatch& match) { matches.push_back(match); });
    return in_group_order(std::move(matches), num_groups_);
}

std::vector<PatternMatch> ParallelStreamingScanner::finalize() {
    std::vector<PatternMatch> matches;
    finalize([&](const PatternMatch& match) { matches.push_back(match); });
    return in_group_order(std::move(matches), num_groups_);
}

}  // namespace vesquor
