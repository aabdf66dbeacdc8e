#include "byte_count.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The vector paths against the plain loop, at every start alignment and at lengths around the
// vector widths and the 255-round flush of the byte counters.
TEST(CountZeroBytes, AgreesWithScalarLoop) {
    std::mt19937 random(11);
    std::vector<unsigned char> data(300000);
    for (auto& byte : data) byte = random() % 3 == 0 ? 0 : static_cast<unsigned char>(random());
    for (size_t offset = 0; offset < 64; ++offset) {
        for (size_t length : {0, 1, 31, 32, 33, 127, 128, 129, 4095, 32640, 32641, 130560, 130689, 299000}) {
            ASSERT_EQ(vesquor::count_zero_bytes(data.data() + offset, length),
                      vesquor::count_zero_bytes_scalar(data.data() + offset, length))
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(CountZeroBytes, AllZerosDoNotOverflowLanes) {
    std::vector<unsigned char> zeros(1 << 20, 0);
    EXPECT_EQ(vesquor::count_zero_bytes(zeros.data(), zeros.size()), zeros.size());
}
