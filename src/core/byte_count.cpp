#include "byte_count.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define VESQUOR_X86 1
#endif

namespace vesquor {

uint64_t count_zero_bytes_scalar(const unsigned char* data, size_t size) {
    uint64_t count = 0;
    for (size_t i = 0; i < size; ++i) {
        count += data[i] == 0;
    }
    return count;
}

#ifdef VESQUOR_X86
namespace {

// Each compare yields 0xFF per zero byte; subtracting it adds 1 to a byte lane. A lane counts to
// at most 255, so every 255 rounds the lanes are summed into 64-bit totals with SAD.
__attribute__((target("avx2"))) uint64_t count_zero_bytes_avx2(const unsigned char* data, size_t size) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i total = zero;
    size_t i = 0;
    constexpr size_t kStep = 4 * 32;
    while (size - i >= kStep) {
        size_t rounds = (size - i) / kStep;
        if (rounds > 255) rounds = 255;
        __m256i a = zero, b = zero, c = zero, d = zero;
        for (size_t r = 0; r < rounds; ++r, i += kStep) {
            const auto* p = reinterpret_cast<const __m256i*>(data + i);
            a = _mm256_sub_epi8(a, _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 0), zero));
            b = _mm256_sub_epi8(b, _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), zero));
            c = _mm256_sub_epi8(c, _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 2), zero));
            d = _mm256_sub_epi8(d, _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 3), zero));
        }
        total = _mm256_add_epi64(total, _mm256_sad_epu8(a, zero));
        total = _mm256_add_epi64(total, _mm256_sad_epu8(b, zero));
        total = _mm256_add_epi64(total, _mm256_sad_epu8(c, zero));
        total = _mm256_add_epi64(total, _mm256_sad_epu8(d, zero));
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + count_zero_bytes_scalar(data + i, size - i);
}

uint64_t count_zero_bytes_sse2(const unsigned char* data, size_t size) {
    const __m128i zero = _mm_setzero_si128();
    __m128i total = zero;
    size_t i = 0;
    constexpr size_t kStep = 4 * 16;
    while (size - i >= kStep) {
        size_t rounds = (size - i) / kStep;
        if (rounds > 255) rounds = 255;
        __m128i a = zero, b = zero, c = zero, d = zero;
        for (size_t r = 0; r < rounds; ++r, i += kStep) {
            const auto* p = reinterpret_cast<const __m128i*>(data + i);
            a = _mm_sub_epi8(a, _mm_cmpeq_epi8(_mm_loadu_si128(p + 0), zero));
            b = _mm_sub_epi8(b, _mm_cmpeq_epi8(_mm_loadu_si128(p + 1), zero));
            c = _mm_sub_epi8(c, _mm_cmpeq_epi8(_mm_loadu_si128(p + 2), zero));
            d = _mm_sub_epi8(d, _mm_cmpeq_epi8(_mm_loadu_si128(p + 3), zero));
        }
        total = _mm_add_epi64(total, _mm_sad_epu8(a, zero));
        total = _mm_add_epi64(total, _mm_sad_epu8(b, zero));
        total = _mm_add_epi64(total, _mm_sad_epu8(c, zero));
        total = _mm_add_epi64(total, _mm_sad_epu8(d, zero));
    }
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), total);
    return lanes[0] + lanes[1] + count_zero_bytes_scalar(data + i, size - i);
}

using CountFn = uint64_t (*)(const unsigned char*, size_t);

CountFn pick_count_fn() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? count_zero_bytes_avx2 : count_zero_bytes_sse2;
}

}  // namespace

uint64_t count_zero_bytes(const unsigned char* data, size_t size) {
    static const CountFn count = pick_count_fn();
    return count(data, size);
}
#else
uint64_t count_zero_bytes(const unsigned char* data, size_t size) { return count_zero_bytes_scalar(data, size); }
#endif

}  // namespace vesquor
