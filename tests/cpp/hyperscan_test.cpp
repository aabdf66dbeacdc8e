// The matching library itself, without our engine around it: it must report every occurrence of
// every literal. Debian's build of the Vectorscan fork does not: for the rows "st" and "s", a
// lone "s" after 64 bytes that hold no candidate is missed, and so are other short literals after
// such runs. These cases pin the library the build links.
#include <hs.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int count_occurrences(const std::vector<std::string>& rows, const std::string& data) {
    std::vector<const char*> expressions;
    std::vector<size_t> lengths;
    std::vector<unsigned> flags(rows.size(), 0), ids;
    for (unsigned i = 0; i < rows.size(); ++i) {
        expressions.push_back(rows[i].data());
        lengths.push_back(rows[i].size());
        ids.push_back(i);
    }
    hs_database_t* database = nullptr;
    hs_compile_error_t* error = nullptr;
    EXPECT_EQ(hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                                   static_cast<unsigned>(rows.size()), HS_MODE_BLOCK, nullptr, &database, &error),
              HS_SUCCESS);
    hs_scratch_t* scratch = nullptr;
    EXPECT_EQ(hs_alloc_scratch(database, &scratch), HS_SUCCESS);
    int count = 0;
    hs_scan(database, data.data(), static_cast<unsigned>(data.size()), 0, scratch,
            [](unsigned, unsigned long long, unsigned long long, unsigned, void* context) {
                ++*static_cast<int*>(context);
                return 0;
            },
            &count);
    hs_free_scratch(scratch);
    hs_free_database(database);
    return count;
}

struct LoneLiteral {
    std::vector<std::string> rows;
    std::string needle;
};

const LoneLiteral LONE_LITERALS[] = {
    {{"st", "s"}, "s"},
    {{"xs", "s"}, "s"},
    {{"\x58\xC3", "\x5D\xC3"}, "\x58\xC3"},  // two gadget rows of the buffer-overflow catalogue
    {{"tt", "ut"}, "ut"},
};

}  // namespace

TEST(Hyperscan, FindsALoneLiteralAfterALongRunWithoutCandidates) {
    for (const LoneLiteral& c : LONE_LITERALS) {
        for (size_t before : {0, 63, 64, 65, 100, 127, 128, 300}) {
            for (size_t after : {0, 1, 3}) {
                std::string data = std::string(before, '.') + c.needle + std::string(after, '.');
                ASSERT_EQ(count_occurrences(c.rows, data), 1) << c.needle << " after " << before << " dots";
            }
        }
    }
}

TEST(Hyperscan, LiteralStartingWithNul) {
    EXPECT_EQ(count_occurrences({std::string("\0\xff", 2)}, std::string("a\0\xff", 3)), 1);
}
