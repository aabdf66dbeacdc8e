#include "start_filter.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "malware_patterns.hpp"

using vesquor::Pattern;
using vesquor::StartFilter;

// Every position where a row starts passes, and the windows cover the window of every passing
// position: the filter may admit too much, never too little.
TEST(StartFilter, WindowsCoverEveryPassingPosition) {
    std::vector<Pattern> rows = vesquor::all_malware_patterns();
    auto filter = StartFilter::build(rows);
    if (!filter) {
        GTEST_SKIP() << "no vector unit for the filter on this CPU";
    }
    EXPECT_LT(filter->pass_rate(), 1.0 / 4096);

    std::mt19937 random(3);
    std::string data(200000, '\0');
    for (char& c : data) c = static_cast<char>(random());
    for (size_t at = 0; at + 20 < data.size(); at += 1 + random() % 3000) {
        const std::string& pattern = rows[random() % rows.size()].pattern;
        data.replace(at, pattern.size(), pattern);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    for (const Pattern& row : rows) {
        ASSERT_TRUE(filter->passes(reinterpret_cast<const unsigned char*>(row.pattern.data()), row.pattern.size(), 0));
    }
    for (auto [begin, end] : {std::pair<size_t, size_t>{0, data.size()}, {13, 70001}, {199000, data.size()}}) {
        std::vector<std::pair<size_t, size_t>> windows;
        ASSERT_TRUE(filter->windows(bytes, data.size(), begin, end, 17, windows));
        for (size_t i = 1; i < windows.size(); ++i) {
            ASSERT_LT(windows[i - 1].second, windows[i].first);
        }
        size_t w = 0;
        for (size_t at = begin; at < end; ++at) {
            if (!filter->passes(bytes, data.size(), at)) continue;
            while (w < windows.size() && windows[w].second <= at) ++w;
            ASSERT_LT(w, windows.size()) << at;
            ASSERT_LE(windows[w].first, at);
            ASSERT_GE(windows[w].second, std::min(at + 17, end));
        }
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
    for (int i = 0; i < 256; i += 3) rows.push_back(Pattern{std::string(1, static_cast<char>(i)) + "z", "x", 1});
    EXPECT_FALSE(StartFilter::build(rows));
}
