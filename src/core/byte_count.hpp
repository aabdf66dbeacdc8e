// Counting zero bytes at memory speed. The widest vector unit of the running CPU is picked at run
// time (AVX2, else SSE2, else plain C++), so release builds stay portable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesquor {

// The number of bytes equal to 0x00 in [data, data + size).
uint64_t count_zero_bytes(const unsigned char* data, size_t size);

// The portable loop, for tests that check the vector paths against it.
uint64_t count_zero_bytes_scalar(const unsigned char* data, size_t size);

}  // namespace vesquor
