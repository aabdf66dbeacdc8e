#include "group_automata.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace vesquor {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

}  // namespace

std::shared_ptr<const GroupAutomata> GroupAutomata::build(const PatternScanner& scanner,
                                                          const std::vector<uint32_t>& row_group, size_t groups) {
    const std::vector<Pattern>& rows = scanner.rows();
    auto built = std::make_shared<GroupAutomata>();

    // Bytes that occur in no row all behave alike: one class. Every other byte is a class of its own.
    bool used[256] = {};
    size_t total_bytes = 0;
    for (const Pattern& row : rows) {
        for (unsigned char c : row.pattern) used[c] = true;
        total_bytes += row.pattern.size();
    }
    uint32_t classes = 1;
    for (int byte = 0; byte < 256; ++byte) {
        built->byte_class_[byte] = used[byte] ? static_cast<uint8_t>(classes++) : 0;
    }
    built->classes_ = classes;
    // The stride of a table row: a power of two, so a state's index is a shift away.
    while ((uint32_t{1} << built->shift_) < classes) ++built->shift_;
    const size_t stride = size_t{1} << built->shift_;
    // Each group's trie has at most its rows' bytes plus one nodes; bound the tables before
    // building anything.
    if ((total_bytes + groups) * stride * sizeof(uint32_t) > kMaxTableBytes) {
        return nullptr;
    }

    std::vector<std::vector<uint32_t>> members(groups);
    for (size_t i = 0; i < rows.size(); ++i) members[row_group[i]].push_back(static_cast<uint32_t>(i));

    built->groups_.resize(groups);
    for (size_t g = 0; g < groups; ++g) {
        // The trie of the group's rows, over byte classes; node 0 is the root.
        std::vector<uint32_t> delta(stride, kNone);
        std::vector<uint32_t> terminal{kNone}, depth{0};
        for (uint32_t id : members[g]) {
            uint32_t node = 0;
            for (unsigned char c : rows[id].pattern) {
                size_t edge = node * stride + built->byte_class_[c];
                if (delta[edge] == kNone) {
                    delta[edge] = static_cast<uint32_t>(terminal.size());
                    terminal.push_back(kNone);
                    depth.push_back(depth[node] + 1);
                    delta.resize(delta.size() + stride, kNone);
                }
                node = delta[edge];
            }
            if (terminal[node] == kNone) terminal[node] = id;  // rows come in id order: the lowest id wins
        }
        const size_t nodes = terminal.size();

        // Breadth first: failure links, the full transition table, and each node's reported row
        // (its own, else its longest proper suffix's).
        std::vector<uint32_t> fail(nodes, 0), reports(nodes, kNone), order{0};
        order.reserve(nodes);
        for (size_t at = 0; at < order.size(); ++at) {
            uint32_t node = order[at];
            for (size_t c = 0; c < stride; ++c) {
                uint32_t& target = delta[node * stride + c];
                uint32_t fallback = node == 0 ? 0 : delta[fail[node] * stride + c];
                if (target == kNone) {
                    target = fallback;
                } else {
                    fail[target] = fallback;
                    reports[target] = terminal[target] != kNone ? terminal[target] : reports[fallback];
                    order.push_back(target);
                }
            }
        }
        // The standard rule: after a match, go on as from the start.
        for (size_t node = 1; node < nodes; ++node) {
            if (reports[node] != kNone) {
                std::copy(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(stride),
                          delta.begin() + static_cast<std::ptrdiff_t>(node * stride));
            }
        }
        // Number the states reachable from the root: non-match states first, the root being 0.
        std::vector<uint32_t> number(nodes, kNone);
        std::vector<uint32_t> reachable{0};
        number[0] = 0;
        for (size_t at = 0; at < reachable.size(); ++at) {
            for (size_t c = 0; c < stride; ++c) {
                uint32_t target = delta[reachable[at] * stride + c];
                if (number[target] == kNone) {
                    number[target] = 0;  // seen; numbered below
                    reachable.push_back(target);
                }
            }
        }
        std::stable_partition(reachable.begin() + 1, reachable.end(),
                              [&](uint32_t node) { return reports[node] == kNone; });
        Automaton& automaton = built->groups_[g];
        automaton.next.resize(reachable.size() * stride);
        automaton.depth.resize(reachable.size());
        for (size_t i = 0; i < reachable.size(); ++i) {
            number[reachable[i]] = static_cast<uint32_t>(i * stride);
        }
        automaton.first_match = static_cast<uint32_t>(reachable.size() * stride);
        for (size_t i = 0; i < reachable.size(); ++i) {
            uint32_t node = reachable[i];
            for (size_t c = 0; c < stride; ++c) {
                automaton.next[i * stride + c] = number[delta[node * stride + c]];
            }
            if (reports[node] == kNone) {
                automaton.depth[i] = depth[node];
            } else {
                automaton.first_match = std::min(automaton.first_match, static_cast<uint32_t>(i * stride));
                automaton.depth[i] = 0;
                automaton.match_row.push_back(reports[node]);
            }
        }
    }
    return built;
}

JointAutomaton::JointAutomaton(std::shared_ptr<const GroupAutomata> automata, size_t groups)
    : automata_(std::move(automata)), groups_(groups) {
    uint32_t start = 0;
    std::vector<uint32_t> tuple(groups_, GroupAutomata::kStart);
    state_of(tuple.data(), start);  // first built, so numbered 0
}

bool JointAutomaton::state_of(const uint32_t* tuple, uint32_t& state) {
    // A build that passed the cap left tuples interned but never numbered (all of them, when the
    // very first build did): none may be looked up again.
    if (full_) {
        return false;
    }
    std::vector<uint32_t> key(tuple, tuple + groups_);
    auto found = index_.find(key);
    if (found == index_.end()) {
        if (!add(key)) {
            full_ = true;
            return false;
        }
        number();
        found = index_.find(key);
    }
    state = numbered_[found->second];
    return true;
}

// Builds the tuple and, breadth first, every tuple that can follow it.
bool JointAutomaton::add(const std::vector<uint32_t>& tuple) {
    const size_t stride = size_t{1} << automata_->shift();
    const uint32_t classes = automata_->classes();
    auto intern = [&](const std::vector<uint32_t>& key) -> uint32_t {
        auto found = index_.find(key);
        if (found != index_.end()) {
            return found->second;
        }
        uint32_t id = static_cast<uint32_t>(built_.size());
        index_.emplace(key, id);
        built_.push_back(key);
        successors_.resize(built_.size() * stride, 0);
        return id;
    };
    size_t first_new = built_.size();
    intern(tuple);
    std::vector<uint32_t> successor(groups_);
    for (size_t at = first_new; at < built_.size(); ++at) {
        if (built_.size() > kMaxStates) {
            return false;
        }
        for (uint32_t c = 0; c < classes; ++c) {
            for (size_t g = 0; g < groups_; ++g) successor[g] = automata_->group(g).next[built_[at][g] + c];
            uint32_t id = intern(successor);
            successors_[at * stride + c] = id;
        }
    }
    return built_.size() <= kMaxStates;
}

// Numbers the tuples built: non-match states first (the start tuple, built first, is 0).
void JointAutomaton::number() {
    const size_t stride = size_t{1} << automata_->shift();
    auto is_match = [&](const std::vector<uint32_t>& tuple) {
        for (size_t g = 0; g < groups_; ++g) {
            if (tuple[g] >= automata_->group(g).first_match) return true;
        }
        return false;
    };
    std::vector<uint32_t> order(built_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    std::stable_partition(order.begin(), order.end(), [&](uint32_t id) { return !is_match(built_[id]); });
    numbered_.assign(built_.size(), 0);
    first_match_ = static_cast<uint32_t>(built_.size() * stride);
    for (size_t position = 0; position < order.size(); ++position) {
        numbered_[order[position]] = static_cast<uint32_t>(position * stride);
        if (is_match(built_[order[position]])) {
            first_match_ = std::min(first_match_, static_cast<uint32_t>(position * stride));
        }
    }
    next_.assign(built_.size() * stride, 0);
    tuples_.assign(built_.size() * groups_, 0);
    for (size_t position = 0; position < order.size(); ++position) {
        uint32_t id = order[position];
        for (size_t c = 0; c < stride; ++c) next_[position * stride + c] = numbered_[successors_[id * stride + c]];
        std::copy(built_[id].begin(), built_[id].end(), tuples_.begin() + static_cast<std::ptrdiff_t>(position * groups_));
    }
}

}  // namespace vesquor
