// Byte-at-a-time automata that apply the standard non-overlapping rule directly, one per group of
// a grouped table, for data so dense with matches that handing every occurrence from Hyperscan to
// a filter costs far more than reading the bytes (1 GiB of "%n" holds 537 million of them).
//
// Each automaton is the Aho-Corasick automaton of its group's rows, made deterministic, with one
// change that gives the standard rule: a state in which some row ends (a match state) reports
// that row and moves on as the start state would. A state stands for the longest suffix of the
// bytes read since the last match that is a prefix of a row; the row a match state reports is the
// longest row that is a suffix of it, the lowest among rows of equal bytes, which is what the
// filter over Hyperscan's occurrences reports at that end. So the automaton and the filter give
// the same matches, and a scan may hand over from one to the other at any position:
//   - filter to automaton: once every occurrence ending by position p has reached the filter and
//     it has settled, its resume point r is where the automaton starts, in the start state, fed
//     from max(r, p - (overlap - 1)): the state at p depends on no earlier byte, and no row ends
//     in between (the filter would have reported it);
//   - automaton to filter: in a state of depth d at p, no row starting before p - d can still
//     end after p, so a filter resuming at p - d (or at p after a match) goes on exactly.
//
// States are numbered so that the match states come last, and premultiplied by the stride of a
// row of the transition table: a step is one load, `next[state + byte_class[byte]]`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "pattern_matching.hpp"

namespace vesquor {

class GroupAutomata {
public:
    // The automata of groups 0 .. groups-1, row i being in group row_group[i]; null when their
    // tables would pass `kMaxTableBytes` (such a table is always scanned through Hyperscan).
    static std::shared_ptr<const GroupAutomata> build(const PatternScanner& scanner,
                                                      const std::vector<uint32_t>& row_group, size_t groups);

    static constexpr size_t kMaxTableBytes = size_t{8} << 20;

    struct Automaton {
        std::vector<uint32_t> next;       // by state + byte class: the next state
        std::vector<uint32_t> match_row;  // by match index (see below): the row reported
        std::vector<uint32_t> depth;      // by state index: bytes of a row read so far; 0 for a match state
        uint32_t first_match = 0;         // states from this one on are match states
    };

    static constexpr uint32_t kStart = 0;  // the start state of every automaton

    const Automaton& group(size_t g) const { return groups_[g]; }
    const uint8_t* byte_class() const { return byte_class_; }
    uint32_t index(uint32_t state) const { return state >> shift_; }
    uint32_t shift() const { return shift_; }
    uint32_t classes() const { return classes_; }
    size_t states(const Automaton& automaton) const { return automaton.depth.size(); }
    uint32_t match_index(const Automaton& automaton, uint32_t state) const {
        return (state - automaton.first_match) >> shift_;
    }
    size_t match_states(const Automaton& automaton) const { return automaton.match_row.size(); }

private:
    uint8_t byte_class_[256] = {};
    uint32_t classes_ = 0;
    uint32_t shift_ = 0;  // log2 of the stride
    std::vector<Automaton> groups_;
};

// All groups' automata run as one, so that a byte costs one step whatever the number of groups:
// a joint state is the tuple of the groups' states, and only tuples that can follow one met are
// built. It is a match state when some group's state is. Same classes, stride and numbering rule
// as the groups' automata; the tuple of start states is the joint start state (0).
class JointAutomaton {
public:
    static constexpr size_t kMaxStates = 4096;

    JointAutomaton(std::shared_ptr<const GroupAutomata> automata, size_t groups);

    // The joint state of the groups' states `tuple`; a new tuple is built with every tuple that
    // can follow it, which renumbers the joint states. False (and no more joint states ever) once
    // they would pass kMaxStates.
    bool state_of(const uint32_t* tuple, uint32_t& state);

    const uint32_t* next() const { return next_.data(); }
    uint32_t first_match() const { return first_match_; }
    size_t states() const { return tuples_.size() / groups_; }
    // The groups' states making up a joint state.
    const uint32_t* tuple(uint32_t state) const { return &tuples_[(state >> automata_->shift()) * groups_]; }

private:
    bool add(const std::vector<uint32_t>& tuple);
    void number();

    std::shared_ptr<const GroupAutomata> automata_;
    size_t groups_;
    bool full_ = false;
    // In the order built: the tuples, their successors by class, and their numbered states.
    std::vector<std::vector<uint32_t>> built_;
    std::vector<uint32_t> successors_;
    std::vector<uint32_t> numbered_;
    std::map<std::vector<uint32_t>, uint32_t> index_;  // tuple -> order built
    // Numbered: the transition table, the tuples.
    std::vector<uint32_t> next_;
    std::vector<uint32_t> tuples_;
    uint32_t first_match_ = 0;
};

// One automaton run over one stretch of bytes, for `run_chains`.
struct AutomatonChain {
    const uint32_t* next;
    uint32_t first_match;
    uint32_t state;
    const unsigned char* data;
};

// Runs `count` (1 to 4) chains over `length` bytes each, interleaved so that the loads of the
// independent chains overlap; calls on_match(chain, state) in each chain's byte order on every
// match state entered, and, with `record` non-null, stores chain k's state after byte i at
// record[k][i]. The chains' states are updated.
template <size_t Count, bool Record, class OnMatch>
inline void run_chains_fixed(const uint8_t* byte_class, AutomatonChain* chains, size_t length, OnMatch& on_match,
                             uint32_t* const* record) {
    uint32_t state[Count];
    for (size_t k = 0; k < Count; ++k) state[k] = chains[k].state;
    for (size_t i = 0; i < length; ++i) {
        for (size_t k = 0; k < Count; ++k) {
            state[k] = chains[k].next[state[k] + byte_class[chains[k].data[i]]];
            if constexpr (Record) record[k][i] = state[k];
            if (state[k] >= chains[k].first_match) [[unlikely]] {
                on_match(k, state[k]);
            }
        }
    }
    for (size_t k = 0; k < Count; ++k) chains[k].state = state[k];
}

template <bool Record, class OnMatch>
inline void run_chains_of(const uint8_t* byte_class, AutomatonChain* chains, size_t count, size_t length,
                          OnMatch& on_match, uint32_t* const* record) {
    switch (count) {
        case 1: return run_chains_fixed<1, Record>(byte_class, chains, length, on_match, record);
        case 2: return run_chains_fixed<2, Record>(byte_class, chains, length, on_match, record);
        case 3: return run_chains_fixed<3, Record>(byte_class, chains, length, on_match, record);
        default: return run_chains_fixed<4, Record>(byte_class, chains, length, on_match, record);
    }
}

template <class OnMatch>
inline void run_chains(const uint8_t* byte_class, AutomatonChain* chains, size_t count, size_t length,
                       OnMatch&& on_match, uint32_t* const* record = nullptr) {
    if (record != nullptr) {
        run_chains_of<true>(byte_class, chains, count, length, on_match, record);
    } else {
        run_chains_of<false>(byte_class, chains, count, length, on_match, record);
    }
}

// The same for counting only: chain k adds one to counts[k][state >> shift] for every match
// state it enters (`counts[k]` holds a counter per state of its automaton).
template <size_t Count, bool Record>
inline void count_chains_fixed(const uint8_t* byte_class, uint32_t shift, AutomatonChain* chains, size_t length,
                               uint64_t* const* counts, uint32_t* const* record) {
    uint32_t state[Count];
    const uint32_t* next[Count];
    const unsigned char* data[Count];
    uint32_t first_match[Count];
    uint64_t* count[Count];
    for (size_t k = 0; k < Count; ++k) {
        state[k] = chains[k].state;
        next[k] = chains[k].next;
        data[k] = chains[k].data;
        first_match[k] = chains[k].first_match;
        count[k] = counts[k];
    }
    for (size_t i = 0; i < length; ++i) {
        for (size_t k = 0; k < Count; ++k) {
            state[k] = next[k][state[k] + byte_class[data[k][i]]];
            if constexpr (Record) record[k][i] = state[k];
            if (state[k] >= first_match[k]) {
                ++count[k][state[k] >> shift];
            }
        }
    }
    for (size_t k = 0; k < Count; ++k) chains[k].state = state[k];
}

template <bool Record>
inline void count_chains_of(const uint8_t* byte_class, uint32_t shift, AutomatonChain* chains, size_t count,
                            size_t length, uint64_t* const* counts, uint32_t* const* record) {
    switch (count) {
        case 1: return count_chains_fixed<1, Record>(byte_class, shift, chains, length, counts, record);
        case 2: return count_chains_fixed<2, Record>(byte_class, shift, chains, length, counts, record);
        case 3: return count_chains_fixed<3, Record>(byte_class, shift, chains, length, counts, record);
        default: return count_chains_fixed<4, Record>(byte_class, shift, chains, length, counts, record);
    }
}

inline void count_chains(const uint8_t* byte_class, uint32_t shift, AutomatonChain* chains, size_t count,
                         size_t length, uint64_t* const* counts, uint32_t* const* record = nullptr) {
    if (record != nullptr) {
        count_chains_of<true>(byte_class, shift, chains, count, length, counts, record);
    } else {
        count_chains_of<false>(byte_class, shift, chains, count, length, counts, record);
    }
}

}  // namespace vesquor
