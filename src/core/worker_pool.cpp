#include "worker_pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vesquor {

namespace {

// A positive decimal integer, or 0 for anything else (unset, empty, signs, junk, overflow).
size_t thread_cap_from_environment() {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    size_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value > 1'000'000) {
            return 0;
        }
        value = value * 10 + static_cast<size_t>(*c - '0');
    }
    return value;
}

tbb::task_arena& pool() {
    static tbb::task_arena arena = [] {
        size_t cap = thread_cap_from_environment();
        int available = tbb::info::default_concurrency();
        int threads = cap > 0 && cap < static_cast<size_t>(available) ? static_cast<int>(cap) : available;
        return tbb::task_arena(threads);
    }();
    return arena;
}

}  // namespace

size_t pool_concurrency() { return static_cast<size_t>(pool().max_concurrency()); }

void parallel_for_each_index(size_t count, FunctionRef<void(size_t)> body) {
    if (count == 1) {
        body(0);
        return;
    }
    pool().execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, count, 1), [&](const tbb::blocked_range<size_t>& range) {
            for (size_t i = range.begin(); i != range.end(); ++i) {
                body(i);
            }
        });
    });
}

}  // namespace vesquor
