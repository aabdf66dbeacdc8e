#include "pattern_matching.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "byte_count.hpp"
#include "malware_patterns.hpp"

using namespace std::string_literals;
using vesquor::Occurrence;
using vesquor::Pattern;
using vesquor::PatternScanner;
using vesquor::StandardFilter;

namespace {

std::vector<Pattern> rows_of(const std::vector<std::string>& patterns) {
    std::vector<Pattern> rows;
    for (size_t i = 0; i < patterns.size(); ++i) {
        rows.push_back(Pattern{patterns[i], "row " + std::to_string(i), static_cast<int32_t>(i)});
    }
    return rows;
}

// (id, end) of the standard matches, scanning in pieces of `piece` bytes.
std::vector<std::pair<uint32_t, uint64_t>> matches(const std::vector<std::string>& patterns, const std::string& data,
                                                   size_t piece = PatternScanner::kPieceBytes) {
    auto built = PatternScanner::build(rows_of(patterns));
    EXPECT_TRUE(built.ok());
    std::vector<std::pair<uint32_t, uint64_t>> out;
    built.value().scan(
        data, [&](const vesquor::PatternMatch& m, uint64_t end) { out.emplace_back(m.id, end); }, piece);
    return out;
}

// A slow reference of the same semantics: restart at the resume point, take the first end where
// an occurrence starts at or after it, the longest there, the lowest id among equals.
std::vector<std::pair<uint32_t, uint64_t>> slow_reference(const std::vector<std::string>& patterns,
                                                          const std::string& data) {
    std::vector<std::pair<uint32_t, uint64_t>> out;
    size_t resume = 0;
    for (size_t end = 1; end <= data.size(); ++end) {
        int best = -1;
        for (size_t id = 0; id < patterns.size(); ++id) {
            const std::string& p = patterns[id];
            if (p.size() <= end && end - p.size() >= resume && data.compare(end - p.size(), p.size(), p) == 0 &&
                (best < 0 || p.size() > patterns[best].size())) {
                best = static_cast<int>(id);
            }
        }
        if (best >= 0) {
            out.emplace_back(best, end);
            resume = end;
        }
    }
    return out;
}

struct FilterCase {
    const char* name;
    std::vector<uint32_t> lengths;          // by id
    std::vector<Occurrence> occurrences;    // in end order, ties in the order given
    std::vector<std::pair<uint32_t, uint64_t>> expected;
};

const FilterCase FILTER_CASES[] = {
    // name                       lengths     occurrences (id, end)        reported (id, end)
    {"longest_wins_either_order", {3, 2},     {{1, 3}, {0, 3}},            {{0, 3}}},
    {"longest_wins_given_first",  {3, 2},     {{0, 3}, {1, 3}},            {{0, 3}}},
    {"lowest_id_among_equals",    {2, 2},     {{1, 4}, {0, 4}},            {{0, 4}}},
    {"earliest_end_suppresses",   {2, 4},     {{0, 3}, {1, 4}},            {{0, 3}}},
    {"overlap_with_match_skipped",{2},        {{0, 2}, {0, 3}, {0, 4}},    {{0, 2}, {0, 4}}},
    {"starts_at_resume_is_taken", {2, 1},     {{0, 2}, {1, 3}},            {{0, 2}, {1, 3}}},
    {"skipped_then_taken_at_end", {3, 1},     {{0, 3}, {0, 4}, {1, 4}},    {{0, 3}, {1, 4}}},
};

}  // namespace

TEST(StandardFilter, Table) {
    for (const FilterCase& c : FILTER_CASES) {
        StandardFilter filter;
        std::vector<std::pair<uint32_t, uint64_t>> got;
        auto emit = [&](uint32_t id, uint64_t end) { got.emplace_back(id, end); };
        for (const Occurrence& o : c.occurrences) {
            filter.push(o.id, c.lengths[o.id], o.end, emit);
        }
        filter.finish(emit);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(PatternScanner, EmptyTableNeverMatches) {
    auto built = PatternScanner::build({});
    ASSERT_TRUE(built.ok());
    EXPECT_TRUE(built.value().scan_all("anything").empty());
    EXPECT_EQ(built.value().max_length(), 0u);
}

TEST(PatternScanner, BuildErrorNamesTheRow) {
    auto built = PatternScanner::build({Pattern{"ok", "fine", 1}, Pattern{"", "broken:empty", 1}});
    ASSERT_FALSE(built.ok());
    EXPECT_EQ(built.error().rfind("Failed to build pattern automaton: ", 0), 0u);
    EXPECT_NE(built.error().find("broken:empty"), std::string::npos);
}

// Hyperscan's literal API takes a leading NUL for an empty string; such tables still work.
TEST(PatternScanner, LeadingNulPatterns) {
    std::vector<std::string> patterns = {"\0\xff"s, "\0\0"s, "a\0"s};
    std::string data = "a\0\xff\0\0\0a\0"s;
    EXPECT_EQ(matches(patterns, data), slow_reference(patterns, data));
    EXPECT_EQ(matches(patterns, data).size(), 3u);  // a\0 at 2, \0\0 at 5, a\0 at 8
}

TEST(PatternScanner, MatchRefersToItsRow) {
    auto built = PatternScanner::build(vesquor::all_malware_patterns());
    ASSERT_TRUE(built.ok());
    auto found = built.value().scan_all("..\x7f" "ELF\x02..#!/bin/bash"s);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].description(), "ELF executable header (Linux/Unix 64-bit)");
    EXPECT_EQ(found[0].score(), 3);
    EXPECT_EQ(found[1].description(), "Bash script shebang");
    EXPECT_EQ(found[1].score(), 2);
}

// Pieces smaller than the patterns, at every size, give the results of one scan.
TEST(PatternScanner, PiecesMatchTheSlowReference) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::string alphabet = round % 2 ? "ab"s : "a\0\xff"s;
        auto text = [&](size_t length) {
            std::string s;
            for (size_t i = 0; i < length; ++i) s += alphabet[random() % alphabet.size()];
            return s;
        };
        std::vector<std::string> patterns;
        for (size_t i = 0, n = 1 + random() % 6; i < n; ++i) patterns.push_back(text(1 + random() % 7));
        std::string data = text(random() % 200);
        auto expected = slow_reference(patterns, data);
        for (size_t piece : {1, 2, 3, 5, 8, 13, 1 << 18}) {
            ASSERT_EQ(matches(patterns, data, piece), expected) << "round " << round << " piece " << piece;
        }
    }
}

// The zero bytes counted during a scan are exactly those of the scanned range, whichever way each
// piece went: through the start filter's windows, scanned whole, or with no table at all.
TEST(PatternScanner, CountsZeroBytesOfTheRange) {
    std::mt19937 random(5);
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        bool zero_run = (i / 5000) % 3 == 0;
        data[i] = zero_run ? '\0' : static_cast<char>(random());
    }
    for (size_t i = 0; i < 2000; ++i) data.replace(random() % (data.size() - 10), 5, "\x7f" "ELF\x02");
    std::vector<std::vector<Pattern>> tables = {vesquor::all_malware_patterns(), rows_of({"a", "b", "c", std::string(1, '\0')}), {}};
    for (const auto& table : tables) {
        auto built = PatternScanner::build(table);
        ASSERT_TRUE(built.ok());
        for (auto [from, to] : {std::pair<size_t, size_t>{0, data.size()}, {1, 299999}, {4999, 5001}, {77, 77}}) {
            for (size_t piece : {size_t{1000}, size_t{4096}, PatternScanner::kPieceBytes}) {
                uint64_t zeros = 0;
                built.value().find_occurrences(data, from, to, [](const vesquor::Occurrence*, size_t) {}, piece, &zeros);
                auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
                ASSERT_EQ(zeros, vesquor::count_zero_bytes_scalar(bytes + from, to - from))
                    << "table " << table.size() << " range " << from << ".." << to << " piece " << piece;
            }
        }
    }
}
