// Scanning a file that arrives in chunks, with the table split round-robin into groups.
//
// Each group behaves as its own streaming scanner: it carries the last `overlap` bytes of the
// stream, `overlap` being the length of its longest row, and every chunk is searched as that
// carried tail followed by the chunk, afresh, with the standard non-overlapping rule applied among
// the group's rows only. Example, one row "abcd", chunks "xxab" + "cdyy": the second call searches
// "xxab" + "cdyy" and reports "abcd" once. An occurrence lying wholly inside the carried bytes is
// reported again by the next call and by `finalize`: never assume one report per occurrence.
//
// All groups are served by one pass over the data. One Hyperscan database over the whole table
// finds every occurrence once; one tail, as long as the table's longest row, is kept for all, and
// a group's own tail is its suffix of the group's `overlap` bytes. Each group's filter starts
// where its tail starts within (shared tail + chunk) and sees only its own rows' occurrences, so
// it reports exactly what a separate scanner over the group would, while the work and memory grow
// with the table, not with the number of groups: groups past the table's length are empty and
// never match, so 2**63 groups cost what one per row does.
//
// The chunk is never copied: the bytes where the tail meets the chunk (the tail plus the first
// `longest - 1` bytes of the chunk) are scanned from a small buffer for occurrences that start in
// the tail, and the chunk itself is scanned in place. Large chunks are cut into segments that the
// worker pool scans at once; occurrences are merged in segment order before the filters, so
// results never depend on the number of threads or on scheduling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "pattern_matching.hpp"
#include "result.hpp"

namespace vesquor {

class ParallelStreamingScanner {
public:
    // Returns the scanner, "num_groups must be at least 1" for 0 groups, or the table's build
    // error unchanged.
    static Result<ParallelStreamingScanner> build(std::vector<Pattern> rows, uint64_t num_groups);
    // The same over an already built table, shared with its other users (it is immutable).
    static Result<ParallelStreamingScanner> build(PatternScanner scanner, uint64_t num_groups);

    // Feeds the next chunk: `sink(const PatternMatch&)` receives every match of every group; a
    // group's matches come in end order, the groups interleaved in no fixed way. An empty chunk
    // changes nothing.
    template <class Sink>
    void scan_chunk(ByteView chunk, Sink&& sink) {
        if (chunk.empty()) {
            return;
        }
        run(chunk, [&](uint32_t id) { sink(scanner_.match(id)); });
        keep_tail(chunk);
        bytes_processed_ += chunk.size();
    }

    // The same matches as a list, group by group (all of group 0's, then group 1's, ...), each
    // group's by end position.
    std::vector<PatternMatch> scan_chunk(ByteView chunk);

    // Searches each group's tail once more and empties the tails; the byte count stays.
    template <class Sink>
    void finalize(Sink&& sink) {
        if (!tail_.empty()) {
            run(ByteView(), [&](uint32_t id) { sink(scanner_.match(id)); });
        }
        tail_.clear();
    }
    std::vector<PatternMatch> finalize();

    // Empties the tails and the byte count; the table stays.
    void reset() {
        tail_.clear();
        bytes_processed_ = 0;
    }

    uint64_t num_groups() const { return num_groups_; }
    uint64_t bytes_processed() const { return bytes_processed_; }
    const PatternScanner& scanner() const { return scanner_; }

    // Segments of a large chunk that the worker pool scans at once, and the smallest chunk that is
    // cut at all. Set smaller by tests so that small inputs take the parallel path.
    size_t segment_bytes = size_t{1} << 20;
    size_t parallel_from_bytes = size_t{4} << 20;

private:
    ParallelStreamingScanner(PatternScanner scanner, uint64_t num_groups);

    using MatchFn = FunctionRef<void(uint32_t)>;
    // Runs every group's filter over tail + chunk, calling `on_match(row id)` for each match.
    void run(ByteView chunk, MatchFn on_match);
    void keep_tail(ByteView chunk);

    PatternScanner scanner_;
    uint64_t num_groups_;
    std::vector<uint32_t> group_overlap_;  // per non-empty group: its longest row
    std::vector<uint32_t> row_group_;      // per row: its group (a division per match is too slow)
    std::string tail_;                     // the last `scanner_.max_length()` bytes of the stream
    uint64_t bytes_processed_ = 0;
};

}  // namespace vesquor
