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
//
// Where the data is dense with occurrences, handing each one from Hyperscan to the filters costs
// far more than reading the bytes; there the scan hands over to one byte-at-a-time automaton per
// group that applies the standard rule itself (group_automata.hpp), and back once the matches
// thin out. A sink that takes (match, times) gets those stretches' matches counted per row; a
// sink that takes a match alone gets each one in order, as elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "bytes.hpp"
#include "group_automata.hpp"
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
    // group's matches come in end order, the groups interleaved in no fixed way. A sink taking
    // `(const PatternMatch&, uint64_t times)` instead receives every match at least once, some
    // counted together, in no fixed order. An empty chunk changes nothing.
    template <class Sink>
    void scan_chunk(ByteView chunk, Sink&& sink) {
        if (chunk.empty()) {
            return;
        }
        run_with(chunk, sink);
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
            run_with(ByteView(), sink);
        }
        tail_.clear();
    }
    std::vector<PatternMatch> finalize();

    // Empties the tails and the byte count; the table stays.
    void reset() {
        tail_.clear();
        bytes_processed_ = 0;
        dense_ = false;
        memos_.clear();
    }

    uint64_t num_groups() const { return num_groups_; }
    uint64_t bytes_processed() const { return bytes_processed_; }
    const PatternScanner& scanner() const { return scanner_; }

    // Segments of a large chunk that the worker pool scans at once, and the smallest chunk that is
    // cut at all. Set smaller by tests so that small inputs take the parallel path.
    size_t segment_bytes = size_t{1} << 20;
    size_t parallel_from_bytes = size_t{4} << 20;

    // When stretches go to the automata: by the density of occurrences (the default), never,
    // always, or every other stretch (for tests of the hand-over; results are the same).
    enum class DensePolicy { automatic, never, always, alternate };
    DensePolicy dense_policy = DensePolicy::automatic;

private:
    struct Pass;
    ParallelStreamingScanner(PatternScanner scanner, uint64_t num_groups);

    template <class Sink>
    void run_with(ByteView chunk, Sink& sink) {
        constexpr bool counted = std::is_invocable_v<Sink&, const PatternMatch&, uint64_t>;
        auto on_match = [&](uint32_t id, uint64_t times) {
            if constexpr (counted) {
                sink(scanner_.match(id), times);
            } else {
                sink(scanner_.match(id));  // `times` is 1: matches come one by one for such sinks
            }
        };
        run(chunk, on_match, counted);
    }

    using MatchFn = FunctionRef<void(uint32_t, uint64_t)>;
    // Runs every group's search over tail + chunk, calling `on_match(row id, times)` for each
    // match; with `counted` false, `times` is always 1 and each group's matches come in end order.
    void run(ByteView chunk, MatchFn on_match, bool counted);
    void keep_tail(ByteView chunk);
    // The groups' automata, built on first use; null when the table is too large for them.
    const GroupAutomata* automata();
    // Their joint automaton (after `automata`), or null for one group or too many.
    JointAutomaton* joint_automaton();

    PatternScanner scanner_;
    uint64_t num_groups_;
    std::vector<uint32_t> group_overlap_;  // per non-empty group: its longest row
    std::vector<uint32_t> row_group_;      // per row: its group (a division per match is too slow)
    std::string tail_;                     // the last `scanner_.max_length()` bytes of the stream
    uint64_t bytes_processed_ = 0;
    bool dense_ = false;                   // whether the next chunk starts with the automata
    bool automata_built_ = false;
    std::shared_ptr<const GroupAutomata> automata_;
    // Per task of a counted round of the automata and chain: the blocks they read, kept from
    // round to round and chunk to chunk for whether blocks come again.
    std::vector<BlockMemo> memos_;
    // The joint automaton grows as it meets new tuples, so each scanner has its own; a copy
    // starts without one.
    struct JointSlot {
        bool built = false;
        std::unique_ptr<JointAutomaton> automaton;
        JointSlot() = default;
        JointSlot(const JointSlot&) {}
        JointSlot(JointSlot&&) noexcept = default;
        JointSlot& operator=(const JointSlot&) {
            built = false;
            automaton.reset();
            return *this;
        }
        JointSlot& operator=(JointSlot&&) noexcept = default;
    } joint_;
};

}  // namespace vesquor
