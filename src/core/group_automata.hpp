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

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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


// What a chain did over the 64-byte blocks it read last, so that data that repeats (a stretch of
// one format string or one instruction pair over and over, at any period the memo can hold) is
// read a block at a time: a block met again in the same state ends in the same state, having
// entered the same match states as often. Blocks are compared in full; a hash only picks the
// entry. A block read from the memo only adds one to its entry's pending reads, which go into
// the chain's counts when the entry is replaced or the run settles, so that a read costs the
// same whatever the block matched. Where blocks do not come again, the memo rests for a while (longer each time it finds
// nothing), so that data which does not repeat costs little more than plain stepping.
class alignas(64) BlockMemo {  // alignas: memos of different workers share no cache line
public:
    static constexpr size_t kBlock = 64;
    static constexpr size_t kEntries = 256;  // a power of two
    static constexpr size_t kMaxCounted = 16;  // distinct match states a remembered block may enter

    struct Entry {
        unsigned char bytes[kBlock];
        uint32_t start = kEmpty;
        uint32_t end = 0;
        uint32_t counted = 0;
        uint32_t index[kMaxCounted];  // state indexes entered ...
        uint8_t times[kMaxCounted];   // ... and how often (at most a block's length)
        uint64_t pending = 0;         // reads from the memo not yet in the counts
        bool listed = false;          // in `live_`
        uint8_t score = 0;            // kept while above 0: up on each read, down when another block wants the way
    };

    BlockMemo() : entries_(kEntries) {}

    // Forgets the blocks (before another automaton, or another numbering of its states, uses
    // the memo; after `settle`), but not whether they have been coming again.
    void forget() {
        for (uint32_t i = 0; i < lives_; ++i) {
            entries_[live_[i]].start = kEmpty;
            entries_[live_[i]].listed = false;
        }
        lives_ = 0;
    }

    // Whether to look blocks up now (false while resting).
    bool trying() {
        if (resting_ == 0) return true;
        --resting_;
        return false;
    }
    // Blocks it will rest for yet, and passing over some of them.
    uint32_t resting() const { return resting_; }
    void rest(uint32_t blocks) { resting_ -= blocks; }

    // The entry of `block` read from `state`, or null; tallies the probe.
    Entry* find(uint32_t state, const unsigned char* block) {
        // Two ways per set: blocks whose slots clash do not keep pushing each other out.
        const size_t set = slot(block);
        Entry* entry = nullptr;
        for (size_t way = 0; way < 2; ++way) {
            Entry& candidate = entries_[2 * set + way];
            if (candidate.start == state && same(candidate.bytes, block)) {
                entry = &candidate;
                // Written only on change: a block read over and over then stores nothing here.
                if (recent_[set] != way) recent_[set] = static_cast<uint8_t>(way);
                if (candidate.score < kTopScore) ++candidate.score;
                break;
            }
        }
        const bool hit = entry != nullptr;
        hits_ += hit;
        if (++probes_ == kWindow) {
            if (hits_ < kWindow / 4) {
                resting_ = rest_;
                rest_ = std::min(rest_ * 2, kLongestRest);
            } else {
                rest_ = kFirstRest;
            }
            probes_ = hits_ = 0;
        }
        return entry;
    }

    // Remembers that `block` read from `state` ends in `end` having entered the match states
    // matched[0 .. count-1] (not remembered if they are too many distinct ones). It takes an
    // empty way of its set, else the way read least lately once that way's score is down to 0:
    // where three blocks take turns in one set, two stay and are read, instead of each pushing
    // out the next. The entry replaced settles its pending reads into `counts`.
    void remember(uint32_t state, const unsigned char* block, uint32_t end, const uint32_t* matched, size_t count,
                  uint32_t shift, uint64_t* counts) {
        const size_t set = slot(block);
        const size_t way = entries_[2 * set].start == kEmpty       ? 0
                           : entries_[2 * set + 1].start == kEmpty ? 1
                                                                   : recent_[set] ^ 1u;
        const size_t at = 2 * set + way;
        Entry& entry = entries_[at];
        if (entry.start != kEmpty && entry.score > 0) {
            --entry.score;
            return;
        }
        recent_[set] = static_cast<uint8_t>(way);
        entry.score = 1;
        settle(entry, counts);
        if (!entry.listed) {
            entry.listed = true;
            live_[lives_++] = static_cast<uint16_t>(at);
        }
        uint32_t counted = 0;
        for (size_t i = 0; i < count; ++i) {
            uint32_t index = matched[i] >> shift;
            uint32_t j = 0;
            while (j < counted && entry.index[j] != index) ++j;
            if (j == counted) {
                if (counted == kMaxCounted) {
                    entry.start = kEmpty;
                    return;
                }
                entry.index[counted] = index;
                entry.times[counted++] = 0;
            }
            ++entry.times[j];
        }
        std::memcpy(entry.bytes, block, kBlock);
        entry.start = state;
        entry.end = end;
        entry.counted = counted;
    }

    // Adds every entry's pending reads to `counts`.
    void settle(uint64_t* counts) {
        for (uint32_t i = 0; i < lives_; ++i) settle(entries_[live_[i]], counts);
    }

private:
    static void settle(Entry& entry, uint64_t* counts) {
        if (entry.pending == 0) return;
        for (uint32_t j = 0; j < entry.counted; ++j) counts[entry.index[j]] += entry.times[j] * entry.pending;
        entry.pending = 0;
    }

    static constexpr uint32_t kEmpty = ~uint32_t{0};
    static constexpr uint8_t kTopScore = 3;  // never a state: states are below 2^31
    static constexpr uint32_t kWindow = 64;           // probes per verdict
    static constexpr uint32_t kFirstRest = 1024;      // blocks: 64 KiB
    static constexpr uint32_t kLongestRest = 16384;   // blocks: 1 MiB

    // By the bytes alone, so that finding a chain's next entry waits on its data, not its
    // state; data that repeats meets a block in one state anyway. Word i and word i + 4, each
    // offset by a constant of its own, are multiplied together, so that every byte weighs on the
    // slot and blocks of one filler byte with a row at different places do not crowd into a few
    // sets.
    static size_t slot(const unsigned char* block) {
        constexpr uint64_t kOffsets[8] = {0x9E3779B97F4A7C15u, 0xC2B2AE3D27D4EB4Fu, 0x165667B19E3779F9u,
                                          0x27D4EB2F165667C5u, 0xFF51AFD7ED558CCDu, 0xC4CEB9FE1A85EC53u,
                                          0x85EBCA77C2B2AE63u, 0x94D049BB133111EBu};
        uint64_t sum = 0;
        for (size_t i = 0; i < 4; ++i) {
            uint64_t low, high;
            std::memcpy(&low, block + 8 * i, 8);
            std::memcpy(&high, block + 8 * (i + 4), 8);
            sum += (low + kOffsets[i]) * (high + kOffsets[i + 4]);
        }
        return static_cast<size_t>(((sum ^ sum >> 32) * 0x9E3779B97F4A7C15u) >> (64 - std::countr_zero(kEntries / 2)));
    }
    static bool same(const unsigned char* a, const unsigned char* b) {
        using Lanes = uint64_t __attribute__((vector_size(16)));
        Lanes differ = {0, 0};
        for (size_t i = 0; i < kBlock; i += sizeof(Lanes)) {
            Lanes x, y;
            std::memcpy(&x, a + i, sizeof x);
            std::memcpy(&y, b + i, sizeof y);
            differ |= x ^ y;
        }
        return (differ[0] | differ[1]) == 0;
    }

    std::vector<Entry> entries_;
    uint8_t recent_[kEntries / 2] = {};  // per set: the way read or written last
    uint16_t live_[kEntries];  // the entries written since the memo last forgot
    uint32_t lives_ = 0;
    uint32_t probes_ = 0, hits_ = 0, resting_ = 0, rest_ = kFirstRest;
};

// Steps chains[which[0 .. Count-1]] over one block, storing the match states each enters.
template <size_t Count>
inline void step_block(const uint8_t* byte_class, AutomatonChain* chains, const size_t* which,
                       uint32_t (*matched)[BlockMemo::kBlock], size_t* found) {
    uint32_t state[Count];
    const uint32_t* next[Count];
    const unsigned char* data[Count];
    uint32_t first_match[Count];
    size_t n[Count];
    for (size_t k = 0; k < Count; ++k) {
        const AutomatonChain& chain = chains[which[k]];
        state[k] = chain.state;
        next[k] = chain.next;
        data[k] = chain.data;
        first_match[k] = chain.first_match;
        n[k] = 0;
    }
    for (size_t i = 0; i < BlockMemo::kBlock; ++i) {
        for (size_t k = 0; k < Count; ++k) {
            state[k] = next[k][state[k] + byte_class[data[k][i]]];
            matched[k][n[k]] = state[k];
            n[k] += state[k] >= first_match[k];
        }
    }
    for (size_t k = 0; k < Count; ++k) {
        chains[which[k]].state = state[k];
        found[k] = n[k];
    }
}

// count_chains over the whole blocks of `length` bytes, chain k looking its blocks up in
// memos[k] and remembering those it steps through.
// count_chains_fixed kept out of line: inlined into the block loop below, its states no longer
// fit in registers and it runs some 20 % slower.
template <size_t Count>
[[gnu::noinline]] void count_chains_apart(const uint8_t* byte_class, uint32_t shift, AutomatonChain* chains,
                                          size_t length, uint64_t* const* counts) {
    count_chains_fixed<Count, false>(byte_class, shift, chains, length, counts, nullptr);
}

inline constexpr size_t kPrefetchBytes = 4096;

template <size_t Count>
inline void count_blocks_fixed(const uint8_t* byte_class, uint32_t shift, AutomatonChain* chains, size_t length,
                               uint64_t* const* counts, BlockMemo* memos) {
    constexpr size_t kBlock = BlockMemo::kBlock;
    // Sized for any number stepped, so that no branch of the switch below indexes past them.
    uint32_t matched[4][kBlock];
    size_t found[4];
    for (size_t done = 0; done + kBlock <= length; done += kBlock) {
        // While every memo rests, the plain loop.
        size_t resting = (length - done) / kBlock;
        for (size_t k = 0; k < Count; ++k) resting = std::min<size_t>(resting, memos[k].resting());
        if (resting > 0) {
            count_chains_apart<Count>(byte_class, shift, chains, resting * kBlock, counts);
            for (size_t k = 0; k < Count; ++k) {
                memos[k].rest(static_cast<uint32_t>(resting));
                chains[k].data += resting * kBlock;
            }
            done += (resting - 1) * kBlock;
            continue;
        }
        size_t which[4];
        bool trying[Count];
        uint32_t start[Count];
        size_t missed = 0;
        for (size_t k = 0; k < Count; ++k) {
            start[k] = chains[k].state;
            trying[k] = memos[k].trying();
            // A block read from the memo is read in a few cycles: fetch ahead of it.
            __builtin_prefetch(chains[k].data + kPrefetchBytes);
            if (trying[k]) {
                if (BlockMemo::Entry* entry = memos[k].find(chains[k].state, chains[k].data)) {
                    ++entry->pending;
                    chains[k].state = entry->end;
                    chains[k].data += kBlock;
                    continue;
                }
            }
            which[missed++] = k;
        }
        switch (missed) {
            case 0: continue;  // every chain's block was remembered
            case 1: step_block<1>(byte_class, chains, which, matched, found); break;
            case 2: step_block<2>(byte_class, chains, which, matched, found); break;
            case 3: step_block<3>(byte_class, chains, which, matched, found); break;
            default: step_block<4>(byte_class, chains, which, matched, found); break;
        }
        for (size_t m = 0; m < missed; ++m) {
            const size_t k = which[m];
            for (size_t i = 0; i < found[m]; ++i) ++counts[k][matched[m][i] >> shift];
            if (trying[k]) {
                memos[k].remember(start[k], chains[k].data, chains[k].state, matched[m], found[m], shift, counts[k]);
            }
            chains[k].data += kBlock;
        }
    }
    for (size_t k = 0; k < Count; ++k) memos[k].settle(counts[k]);
}

// count_chains for 1 to 4 chains through their memos; unlike count_chains, moves each chain's
// data past the bytes read.
inline void count_blocks(const uint8_t* byte_class, uint32_t shift, AutomatonChain* chains, size_t count,
                         size_t length, uint64_t* const* counts, BlockMemo* memos) {
    switch (count) {
        case 1: count_blocks_fixed<1>(byte_class, shift, chains, length, counts, memos); break;
        case 2: count_blocks_fixed<2>(byte_class, shift, chains, length, counts, memos); break;
        case 3: count_blocks_fixed<3>(byte_class, shift, chains, length, counts, memos); break;
        default: count_blocks_fixed<4>(byte_class, shift, chains, length, counts, memos); break;
    }
    const size_t rest = length % BlockMemo::kBlock;
    if (rest > 0) {
        count_chains(byte_class, shift, chains, count, rest, counts);
        for (size_t k = 0; k < count; ++k) chains[k].data += rest;
    }
}

}  // namespace vesquor
