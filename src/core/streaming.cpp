#include "streaming.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

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

namespace {

// The automata take over a stretch once it holds more than one occurrence per this many bytes per
// group (an occurrence through Hyperscan and a filter costs some 25 ns, a byte through an
// automaton well under 1 ns), and hand back once it holds fewer matches than one per
// kSparseBytes per group.
constexpr uint64_t kDenseBytes = 64;
constexpr uint64_t kSparseBytes = 256;
constexpr size_t kProbeBytes = size_t{64} << 10;

// A stretch for the automata is cut into lanes of at least kMinLaneBytes, a few per worker: a
// worker interleaves kChains runs (lane and group) whose chains of dependent loads then overlap,
// its lanes being as many as make up kChains with the groups. Every lane but
// the first starts in the start state, as a guess, and keeps its first kRecordBytes states: once
// the true state (known when the lanes before are done) meets the guessed one at some byte, the
// lane's results from there on are the true ones.
constexpr size_t kMinLaneBytes = size_t{64} << 10;
constexpr size_t kChains = 4;

// The joint automaton of all groups serves up to this many groups; more go one by one.
constexpr size_t kMaxJointGroups = 16;
constexpr size_t kRecordBytes = 1024;

}  // namespace

const GroupAutomata* ParallelStreamingScanner::automata() {
    if (!automata_built_) {
        automata_built_ = true;
        automata_ = GroupAutomata::build(scanner_, row_group_, group_overlap_.size());
    }
    return automata_.get();
}

// One call's search over tail + chunk ("logical" positions count from the start of the tail).
struct ParallelStreamingScanner::Pass {
    ParallelStreamingScanner& self;
    ByteView chunk;
    MatchFn on_match;
    bool counted;
    const uint64_t tail_size;
    const size_t groups;
    std::vector<StandardFilter> filters;  // per group, while Hyperscan's occurrences are used
    std::vector<uint32_t> states;         // per group, while the automata are used
    std::vector<Occurrence> junction;     // occurrences starting in the tail, in end order
    size_t next_junction = 0;

    Pass(ParallelStreamingScanner& scanner, ByteView data, MatchFn fn, bool count)
        : self(scanner), chunk(data), on_match(fn), counted(count), tail_size(scanner.tail_.size()),
          groups(scanner.group_overlap_.size()) {}

    uint64_t group_start(size_t g) const { return tail_size - std::min<uint64_t>(self.group_overlap_[g], tail_size); }

    // --- Hyperscan and the filters ---

    void start_filters() {
        filters.clear();
        for (size_t g = 0; g < groups; ++g) filters.emplace_back(group_start(g));
        // Occurrences that start in the tail end within its first `longest - 1` bytes past it.
        if (tail_size > 0) {
            const size_t longest = self.scanner_.max_length();
            std::string joined = self.tail_;
            joined.append(chunk.substr(0, std::min(chunk.size(), longest - 1)));
            self.scanner_.find_occurrences(joined, 0, joined.size(), [&](const Occurrence* found, size_t count) {
                for (size_t i = 0; i < count; ++i) {
                    if (found[i].end - self.scanner_.length(found[i].id) < tail_size) junction.push_back(found[i]);
                }
            });
        }
    }

    void push(uint32_t id, uint64_t end) {
        filters[self.row_group_[id]].push(id, self.scanner_.length(id), end,
                                          [this](uint32_t row, uint64_t) { on_match(row, 1); });
    }
    void push_junction_up_to(uint64_t end) {
        while (next_junction < junction.size() && junction[next_junction].end <= end) {
            push(junction[next_junction].id, junction[next_junction].end);
            ++next_junction;
        }
    }
    // The chunk's own occurrences, shifted into logical positions.
    void push_chunk(const Occurrence* found, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            uint64_t end = tail_size + found[i].end;
            push_junction_up_to(end);
            push(found[i].id, end);
        }
    }
    void finish_filters() {
        push_junction_up_to(std::numeric_limits<uint64_t>::max());
        for (StandardFilter& filter : filters) filter.finish([this](uint32_t row, uint64_t) { on_match(row, 1); });
    }

    // Hyperscan over [from, to) of the chunk, cut into `lanes` segments scanned at once; returns
    // the number of occurrences.
    uint64_t occurrence_round(size_t from, size_t to, size_t lanes, std::vector<std::vector<Occurrence>>& found) {
        uint64_t occurrences = 0;
        if (lanes < 2) {
            self.scanner_.find_occurrences(chunk, from, to, [&](const Occurrence* batch, size_t count) {
                occurrences += count;
                push_chunk(batch, count);
            });
            return occurrences;
        }
        const size_t segment = std::max<size_t>(self.segment_bytes, 1);
        size_t segments = (to - from + segment - 1) / segment;
        parallel_for_each_index(segments, [&](size_t i) {
            size_t begin = from + i * segment;
            size_t end = std::min(to, begin + segment);
            found[i].clear();
            self.scanner_.find_occurrences(chunk, begin, end, [&](const Occurrence* batch, size_t count) {
                found[i].insert(found[i].end(), batch, batch + count);
            });
        });
        for (size_t i = 0; i < segments; ++i) {
            occurrences += found[i].size();
            push_chunk(found[i].data(), found[i].size());
        }
        return occurrences;
    }

    // --- the automata ---

    // Runs the groups' automata from `states` over `length` bytes at `data`, each match handed
    // over at once and in order.
    uint64_t automata_in_order(const GroupAutomata& automata, const unsigned char* data, size_t length,
                               const std::vector<size_t>& which) {
        uint64_t matches = 0;
        for (size_t first = 0; first < which.size(); first += 4) {
            AutomatonChain chains[4] = {};
            size_t count = std::min<size_t>(4, which.size() - first);
            for (size_t k = 0; k < count; ++k) {
                const GroupAutomata::Automaton& automaton = automata.group(which[first + k]);
                chains[k] = AutomatonChain{automaton.next.data(), automaton.first_match, states[which[first + k]], data};
            }
            run_chains(automata.byte_class(), chains, count, length, [&](size_t k, uint32_t state) {
                const GroupAutomata::Automaton& automaton = automata.group(which[first + k]);
                ++matches;
                on_match(automaton.match_row[automata.match_index(automaton, state)], 1);
            });
            for (size_t k = 0; k < count; ++k) states[which[first + k]] = chains[k].state;
        }
        return matches;
    }

    // Hands over from the filters to the automata at logical position `at`, every occurrence
    // ending by `at` having been pushed: each group's automaton is fed from the later of its
    // filter's resume point and `at - (overlap - 1)`.
    void filters_to_automata(const GroupAutomata& automata, uint64_t at) {
        finish_filters();
        states.assign(groups, GroupAutomata::kStart);
        for (size_t g = 0; g < groups; ++g) {
            uint64_t from = std::max<uint64_t>(filters[g].resume(), at - (self.group_overlap_[g] - 1));
            const GroupAutomata::Automaton& automaton = automata.group(g);
            AutomatonChain chain{automaton.next.data(), automaton.first_match, GroupAutomata::kStart,
                                 reinterpret_cast<const unsigned char*>(chunk.data()) + (from - tail_size)};
            run_chains(automata.byte_class(), &chain, 1, static_cast<size_t>(at - from), [](size_t, uint32_t) {
                // No row ends there: the filter would have reported it.
                throw std::logic_error("hand-over to the automata found a match the filter missed");
            });
            states[g] = chain.state;
        }
        filters.clear();
    }

    // Hands back to the filters at logical position `at`: a group in a state of depth d resumes at
    // at - d.
    void automata_to_filters(const GroupAutomata& automata, uint64_t at) {
        filters.clear();
        for (size_t g = 0; g < groups; ++g) {
            filters.emplace_back(at - automata.group(g).depth[automata.index(states[g])]);
        }
        next_junction = junction.size();  // all pushed before the first hand-over, or none made
    }

    // The automata from the start of each group's tail to the end of the tail.
    void automata_over_tail(const GroupAutomata& automata) {
        states.assign(groups, GroupAutomata::kStart);
        const auto* tail = reinterpret_cast<const unsigned char*>(self.tail_.data());
        for (size_t g = 0; g < groups; ++g) {
            std::vector<size_t> one{g};
            uint64_t start = group_start(g);
            automata_in_order(automata, tail + start, static_cast<size_t>(tail_size - start), one);
        }
    }

    // The automata over [from, to) of the chunk; returns the number of matches.
    uint64_t automaton_round(const GroupAutomata& automata, size_t from, size_t to, size_t workers) {
        const auto* data = reinterpret_cast<const unsigned char*>(chunk.data());
        if (!counted) {
            std::vector<size_t> all(groups);
            for (size_t g = 0; g < groups; ++g) all[g] = g;
            return automata_in_order(automata, data + from, to - from, all);
        }
        uint64_t matches = 0;
        JointAutomaton* joint = self.joint_automaton();
        uint32_t joint_start = 0;
        if (joint != nullptr && joint->state_of(states.data(), joint_start)) {
            std::vector<CountingUnit> units{
                CountingUnit{joint->next(), joint->first_match(), joint->states(), joint_start}};
            count_units(units, automata, data, from, to, workers);
            const uint64_t* sum = units[0].sum.data();
            const uint32_t first_match = joint->first_match() >> automata.shift();
            for (size_t i = first_match; i < units[0].states; ++i) {
                if (sum[i] == 0) continue;
                const uint32_t* tuple = joint->tuple(static_cast<uint32_t>(i << automata.shift()));
                for (size_t g = 0; g < groups; ++g) {
                    const GroupAutomata::Automaton& automaton = automata.group(g);
                    if (tuple[g] >= automaton.first_match) {
                        matches += sum[i];
                        on_match(automaton.match_row[automata.match_index(automaton, tuple[g])], sum[i]);
                    }
                }
            }
            const uint32_t* end = joint->tuple(units[0].end);
            std::copy(end, end + groups, states.begin());
            return matches;
        }
        std::vector<CountingUnit> units;
        for (size_t g = 0; g < groups; ++g) {
            const GroupAutomata::Automaton& automaton = automata.group(g);
            units.push_back(CountingUnit{automaton.next.data(), automaton.first_match, automata.states(automaton), states[g]});
        }
        count_units(units, automata, data, from, to, workers);
        for (size_t g = 0; g < groups; ++g) {
            const GroupAutomata::Automaton& automaton = automata.group(g);
            const uint32_t first_match = automaton.first_match >> automata.shift();
            for (size_t i = first_match; i < units[g].states; ++i) {
                if (units[g].sum[i] > 0) {
                    matches += units[g].sum[i];
                    on_match(automaton.match_row[i - first_match], units[g].sum[i]);
                }
            }
            states[g] = units[g].end;
        }
        return matches;
    }

    // One automaton of a counted round: a group's, or the joint one of all groups.
    struct CountingUnit {
        const uint32_t* next;
        uint32_t first_match;
        size_t states;
        uint32_t start;             // the true state at the round's start
        uint32_t end = 0;           // the true state at its end
        std::vector<uint64_t> sum;  // matches by state index
    };
    void count_units(std::vector<CountingUnit>& units, const GroupAutomata& automata, const unsigned char* data,
                     size_t from, size_t to, size_t workers);
};

JointAutomaton* ParallelStreamingScanner::joint_automaton() {
    if (!joint_.built) {
        joint_.built = true;
        if (group_overlap_.size() >= 2 && group_overlap_.size() <= kMaxJointGroups && automata_ != nullptr) {
            joint_.automaton = std::make_unique<JointAutomaton>(automata_, group_overlap_.size());
        }
    }
    return joint_.automaton.get();
}

// Runs the units over [from, to) of the chunk, counting each state entered; the lanes are run at
// once and their guesses settled in lane order.
void ParallelStreamingScanner::Pass::count_units(std::vector<CountingUnit>& units, const GroupAutomata& automata,
                                                 const unsigned char* data, size_t from, size_t to, size_t workers) {
    const size_t length = to - from;
    const size_t count_units = units.size();
    const size_t lanes_per_task = std::max<size_t>(1, kChains / count_units);
    const size_t lanes = std::max<size_t>(
        1, std::min<size_t>(lanes_per_task * std::max<size_t>(workers, 1), length / kMinLaneBytes));
    const size_t lane_length = length / lanes;
    auto lane_from = [&](size_t lane) { return from + lane * lane_length; };
    auto lane_size = [&](size_t lane) { return lane + 1 == lanes ? to - lane_from(lane) : lane_length; };
    const uint8_t* byte_class = automata.byte_class();
    const uint32_t shift = automata.shift();

    // Per lane and unit: a count per state, the state at the lane's end, the recorded states.
    std::vector<size_t> count_base(count_units + 1, 0);
    for (size_t u = 0; u < count_units; ++u) count_base[u + 1] = count_base[u] + units[u].states;
    const size_t counts_per_lane = count_base[count_units];
    std::vector<uint64_t> counts(lanes * counts_per_lane, 0);
    std::vector<uint32_t> ends(lanes * count_units);
    const size_t recorded = lanes > 1 ? std::min(kRecordBytes, lane_length) : 0;  // every lane has that many bytes
    std::vector<uint32_t> records(lanes * count_units * recorded);

    // A task runs its lanes for all units, as chains of (lane, unit) four at a time.
    auto run_task = [&](size_t task) {
        const size_t first_lane = lanes_per_task * task, last_lane = std::min(lanes, first_lane + lanes_per_task);
        BlockMemo* memos = self.memos_.data() + task * kChains;
        std::vector<std::pair<size_t, size_t>> jobs;  // (lane, unit)
        for (size_t u = 0; u < count_units; ++u) {
            for (size_t lane = first_lane; lane < last_lane; ++lane) jobs.emplace_back(lane, u);
        }
        for (size_t first = 0; first < jobs.size(); first += kChains) {
            const size_t count = std::min<size_t>(kChains, jobs.size() - first);
            AutomatonChain chains[kChains] = {};
            uint64_t* count_of[kChains] = {};
            uint32_t* record[kChains] = {};
            size_t shortest = std::numeric_limits<size_t>::max();
            for (size_t k = 0; k < count; ++k) {
                auto [lane, u] = jobs[first + k];
                uint32_t start = lane == 0 ? units[u].start : GroupAutomata::kStart;
                chains[k] = AutomatonChain{units[u].next, units[u].first_match, start, data + lane_from(lane)};
                count_of[k] = counts.data() + lane * counts_per_lane + count_base[u];
                record[k] = records.data() + (lane * count_units + u) * recorded;
                shortest = std::min(shortest, lane_size(lane));
            }
            if (recorded > 0) {
                count_chains(byte_class, shift, chains, count, recorded, count_of, record);
                for (size_t k = 0; k < count; ++k) chains[k].data += recorded;
            }
            for (size_t k = 0; k < count; ++k) memos[k].forget();
            count_blocks(byte_class, shift, chains, count, shortest - recorded, count_of, memos);
            for (size_t k = 0; k < count; ++k) {
                auto [lane, u] = jobs[first + k];
                if (lane_size(lane) > shortest) {
                    count_blocks(byte_class, shift, &chains[k], 1, lane_size(lane) - shortest, &count_of[k], &memos[k]);
                }
                ends[lane * count_units + u] = chains[k].state;
            }
        }
    };
    const size_t tasks = (lanes + lanes_per_task - 1) / lanes_per_task;
    if (self.memos_.size() < tasks * kChains) self.memos_.resize(tasks * kChains);
    parallel_for_each_index(tasks, run_task);

    // In lane order, each unit's true state at a lane's start decides what of the lane's guessed
    // run stands.
    for (size_t u = 0; u < count_units; ++u) {
        CountingUnit& unit = units[u];
        unit.sum.assign(unit.states, 0);
        uint64_t* sum = unit.sum.data();
        auto is_match = [&](uint32_t state) { return state >= unit.first_match; };
        uint32_t state = unit.start;
        for (size_t lane = 0; lane < lanes; ++lane) {
            bool exact = lane == 0 || state == GroupAutomata::kStart;
            if (!exact) {
                // Runs the true state along the recorded guess until they meet.
                const uint32_t* guess = records.data() + (lane * count_units + u) * recorded;
                const unsigned char* bytes = data + lane_from(lane);
                size_t met = recorded;
                for (size_t i = 0; i < recorded; ++i) {
                    state = unit.next[state + byte_class[bytes[i]]];
                    if (is_match(state)) ++sum[state >> shift];
                    if (state == guess[i]) {
                        met = i;
                        break;
                    }
                }
                if (met < recorded) {
                    // From byte `met` on the guess is the truth: take its counts less those up to `met`.
                    for (size_t i = 0; i <= met; ++i) {
                        if (is_match(guess[i])) --sum[guess[i] >> shift];
                    }
                    exact = true;
                } else {
                    // They never met: the rest of the lane from the true state.
                    AutomatonChain chain{unit.next, unit.first_match, state, bytes + recorded};
                    // The lanes are done: the first task's memo is free (and settled).
                    BlockMemo& memo = self.memos_[0];
                    memo.forget();
                    count_blocks(byte_class, shift, &chain, 1, lane_size(lane) - recorded, &sum, &memo);
                    state = chain.state;
                }
            }
            if (exact) {
                const uint64_t* lane_counts = counts.data() + lane * counts_per_lane + count_base[u];
                for (size_t i = 0; i < unit.states; ++i) sum[i] += lane_counts[i];
                state = ends[lane * count_units + u];
            }
        }
        unit.end = state;
    }
}

void ParallelStreamingScanner::run(ByteView chunk, MatchFn on_match, bool counted) {
    const size_t longest = scanner_.max_length();
    if (group_overlap_.empty() || longest == 0) {
        return;
    }
    Pass pass(*this, chunk, on_match, counted);
    const size_t groups = group_overlap_.size();

    const GroupAutomata* dense_automata = nullptr;
    if (dense_policy == DensePolicy::always) dense_ = true;
    if (dense_policy == DensePolicy::never) dense_ = false;
    if (dense_) {
        dense_automata = automata();
    }
    bool dense = dense_automata != nullptr;
    if (dense) {
        pass.automata_over_tail(*dense_automata);
    } else {
        pass.start_filters();
    }

    const size_t workers = pool_concurrency();
    const size_t lanes = chunk.size() >= parallel_from_bytes && workers >= 2 ? workers : 1;
    const size_t round_bytes = std::max<size_t>(segment_bytes, 1) * lanes;
    std::vector<std::vector<Occurrence>> found(lanes);
    // A chunk cut into segments begins with a short round on one worker, so that data dense with
    // matches costs the occurrences of kProbeBytes, not of a whole round, before the automata
    // take over.
    bool probe = !dense && lanes >= 2;
    for (size_t from = 0; from < chunk.size();) {
        // Rounds after the probe keep to the grid of whole rounds.
        const size_t limit = probe ? std::min(kProbeBytes, round_bytes) : round_bytes - from % round_bytes;
        const size_t to = from + std::min(limit, chunk.size() - from);
        const uint64_t bytes = to - from;
        // Whether the next stretch (or the next chunk) goes to the automata.
        bool next_dense = dense;
        if (dense) {
            uint64_t matches = pass.automaton_round(*dense_automata, from, to, workers);
            next_dense = dense_policy == DensePolicy::alternate ? false
                         : dense_policy == DensePolicy::automatic ? matches * kSparseBytes >= bytes * groups
                                                                  : true;
        } else {
            uint64_t occurrences = pass.occurrence_round(from, to, probe ? 1 : lanes, found);
            probe = false;
            next_dense = dense_policy == DensePolicy::alternate ? true
                         : dense_policy == DensePolicy::automatic ? occurrences * kDenseBytes > bytes * groups
                                                                  : false;
        }
        if (next_dense != dense && to < chunk.size() && to >= longest) {
            const uint64_t at = pass.tail_size + to;
            if (next_dense) {
                if (const GroupAutomata* built = automata()) {
                    dense_automata = built;
                    pass.filters_to_automata(*built, at);
                    dense = true;
                }
            } else {
                pass.automata_to_filters(*dense_automata, at);
                dense = false;
            }
        }
        dense_ = next_dense;
        from = to;
    }
    if (!dense) {
        pass.finish_filters();
    }
    if (chunk.empty()) {
        dense_ = dense;
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
