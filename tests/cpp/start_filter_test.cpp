#include "start_filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "behavior_analysis.hpp"
#include "buffer_overflow.hpp"
#include "gguf_safety.hpp"
#include "malware_patterns.hpp"
#include "supply_chain.hpp"
#include "tokenizer_hygiene.hpp"
#include "tool_calling.hpp"

using vesquor::Pattern;
using vesquor::StartFilter;

std::string random_text(std::mt19937& random, size_t size) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    return data;
}

// A table some of whose anchors lie in a run of zero bytes, so that such runs are not skipped.
std::vector<Pattern> with_rows_of_zeros(std::vector<Pattern> rows) {
    rows.push_back(Pattern{std::string(6, '\0'), "x", 1});
    rows.push_back(Pattern{std::string("\0\x01", 2), "x", 1});
    return rows;
}

// Hundreds of rows of arbitrary bytes: buckets merged from hundreds of anchors.
std::vector<Pattern> random_rows(size_t count) {
    std::mt19937 random(11);
    std::vector<Pattern> rows;
    for (size_t i = 0; i < count; ++i) rows.push_back(Pattern{random_text(random, 3 + random() % 10), "x", 1});
    return rows;
}

std::vector<std::vector<Pattern>> catalogues() {
    return {vesquor::all_malware_patterns(),
            vesquor::buffer_overflow_catalogue().patterns(),
            vesquor::behavior_analysis_catalogue().patterns(),
            vesquor::gguf_safety_catalogue().patterns(),
            vesquor::supply_chain_catalogue().patterns(),
            vesquor::tool_calling_catalogue().patterns(),
            vesquor::tokenizer_hygiene_catalogue(false).patterns(),
            vesquor::tokenizer_hygiene_catalogue(true).patterns(),
            with_rows_of_zeros(vesquor::tokenizer_hygiene_catalogue(true).patterns()),
            random_rows(300)};
}

// Every occurrence of a row lies inside a window: the filter may admit too much, never too little.
void expect_windows_hold_every_occurrence(const std::vector<Pattern>& rows, const StartFilter& filter) {
    if (filter.form() == StartFilter::Form::bytes) {
        EXPECT_LT(filter.pass_rate(), 1.0 / 256);
    }
    std::mt19937 random(3);
    std::string data = random_text(random, 200000);
    for (size_t at = 0; at + 400 < data.size(); at += 1000 + random() % 4000) {
        std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(at), random() % 400, '\0');  // as in padding
    }
    for (size_t at = 0; at + 30 < data.size(); at += 1 + random() % 3000) {
        const std::string& pattern = rows[random() % rows.size()].pattern;
        data.replace(at, pattern.size(), pattern);
    }
    // Rows ending exactly where the ranges below end, anchors running up to the data's end.
    for (size_t end : {size_t{70001}, data.size()}) {
        const std::string& pattern = rows[random() % rows.size()].pattern;
        data.replace(end - pattern.size(), pattern.size(), pattern);
    }
    std::vector<std::pair<size_t, size_t>> planted;  // [start, end) of every occurrence
    for (const Pattern& row : rows) {
        for (size_t at = data.find(row.pattern); at != std::string::npos; at = data.find(row.pattern, at + 1)) {
            planted.emplace_back(at, at + row.pattern.size());
        }
    }
    size_t longest = 0;
    for (const Pattern& row : rows) longest = std::max(longest, row.pattern.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    for (auto [begin, end] : {std::pair<size_t, size_t>{0, data.size()}, {13, 70001}, {199000, data.size()}}) {
        std::vector<std::pair<size_t, size_t>> windows;
        ASSERT_TRUE(filter.windows(bytes, data.size(), begin, end, longest, windows));
        for (size_t i = 1; i < windows.size(); ++i) {
            ASSERT_LT(windows[i - 1].second, windows[i].first);
        }
        for (auto [start, stop] : planted) {
            if (start < begin || stop > end) continue;
            bool held = false;
            for (auto [a, b] : windows) held = held || (a <= start && stop <= b);
            ASSERT_TRUE(held) << "occurrence at " << start << " of " << rows.size() << "-row table, "
                              << (filter.form() == StartFilter::Form::bytes ? "byte" : "pair") << " test";
        }
    }
}

// The catalogues between them get both forms of the test, with eight and sixteen buckets; the
// pair test alone is what CPUs without byte permutes get.
TEST(StartFilter, WindowsHoldEveryOccurrence) {
    if (!StartFilter::build(vesquor::all_malware_patterns())) {
        GTEST_SKIP() << "no vector unit for the filter on this CPU";
    }
    for (bool byte_form : {true, false}) {
        for (const std::vector<Pattern>& rows : catalogues()) {
            if (auto filter = StartFilter::build(rows, byte_form)) {  // none: too many pairs for the pair test
                expect_windows_hold_every_occurrence(rows, *filter);
            }
        }
    }
}

// The tokenizer tables' 90 and 112 rows, many of them plain words, still skip nearly all of an
// English vocabulary: with four exact bytes per anchor and sixteen buckets, a window per 4 KiB
// at most.
TEST(StartFilter, EnglishVocabularySkippedByTokenizerTables) {
    std::string text;
    const char* words[] = {"the", "thing", "chin", "ched", "channel", "station", "mention", "ring", "string",
                           "other", "inner", "ounce", "real", "rental", "each", "reached", "longer", "strong"};
    std::mt19937 random(5);
    for (size_t id = 0; text.size() < 1000000; ++id) {
        text += "\"\u0120";
        text += words[random() % std::size(words)];
        text += words[random() % std::size(words)];
        text += "\": " + std::to_string(id) + ", ";
    }
    for (bool strict : {false, true}) {
        auto filter = StartFilter::build(vesquor::tokenizer_hygiene_catalogue(strict).patterns());
        if (!filter || filter->form() != StartFilter::Form::bytes) {
            GTEST_SKIP() << "no byte permutes on this CPU";
        }
        std::vector<std::pair<size_t, size_t>> windows;
        ASSERT_TRUE(filter->windows(reinterpret_cast<const unsigned char*>(text.data()), text.size(), 0, text.size(),
                                    24, windows));
        EXPECT_LT(windows.size(), text.size() / 4096) << (strict ? "strict" : "vocabulary-heavy");
    }
}

// Anchors avoid common text: a table of C library names followed by NUL skips JSON entirely.
TEST(StartFilter, TextHoldsNoAnchorOfNulTerminatedNames) {
    std::string text;
    while (text.size() < 100000) text += "{\"strcpy\": \"memcpy printf sizeof size count len\", \"id\": 12},\n";
    for (bool byte_form : {true, false}) {
        auto filter = StartFilter::build(vesquor::buffer_overflow_catalogue().patterns(), byte_form);
        ASSERT_TRUE(filter);
        std::vector<std::pair<size_t, size_t>> windows;
        ASSERT_TRUE(filter->windows(reinterpret_cast<const unsigned char*>(text.data()), text.size(), 0, text.size(),
                                    12, windows));
        EXPECT_TRUE(windows.empty()) << (byte_form ? "byte test allowed" : "pair test only");
    }
}

// Candidates close together merge into one window; many far-apart ones make the caller scan the
// whole range instead of paying a call per window.
TEST(StartFilter, CloseCandidatesMergeAndSpreadOnesFallBack) {
    auto filter = StartFilter::build({Pattern{"#!", "x", 1}});
    ASSERT_TRUE(filter);
    auto windows_of = [&](size_t every, std::vector<std::pair<size_t, size_t>>& windows) {
        std::string data;
        while (data.size() < 100000) data += "#!" + std::string(every - 2, '.');
        return filter->windows(reinterpret_cast<const unsigned char*>(data.data()), data.size(), 0, data.size(), 2,
                               windows);
    };
    std::vector<std::pair<size_t, size_t>> windows;
    ASSERT_TRUE(windows_of(5, windows));
    EXPECT_EQ(windows.size(), 1u);
    EXPECT_FALSE(windows_of(300, windows));
    ASSERT_TRUE(windows_of(5000, windows));
    EXPECT_EQ(windows.size(), 20u);
}

TEST(StartFilter, VariedFirstBytesGetNoFilter) {
    std::vector<Pattern> rows;
    for (int i = 0; i < 256; i += 3) rows.push_back(Pattern{std::string(1, static_cast<char>(i)), "x", 1});
    EXPECT_FALSE(StartFilter::build(rows));
}
