#include "worker_pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <unistd.h>

#include <cstdlib>

namespace vesquor {

namespace {

// A positive decimal integer (an optional "+" before the digits), or 0 for anything else: unset,
// empty, "0", a minus sign, spaces, junk, or more than a million.
size_t thread_cap_from_environment() {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (text == nullptr) {
        return 0;
    }
    if (*text == '+') {
        ++text;
    }
    if (*text == '\0') {
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

struct Pool {
    tbb::task_arena* arena;
    pid_t owner;  // the process that started the pool's threads
};

// The arena is never destroyed: a process forked from one that scanned inherits the pool's state
// but not its threads, and tearing it down there (at exit) could wait for them forever.
const Pool& pool() {
    static const Pool POOL = [] {
        size_t cap = thread_cap_from_environment();
        int available = tbb::info::default_concurrency();
        int threads = cap > 0 && cap < static_cast<size_t>(available) ? static_cast<int>(cap) : available;
        return Pool{new tbb::task_arena(threads), getpid()};
    }();
    return POOL;
}

// A forked child has only the thread that forked: its copy of the pool must not be used.
bool pool_usable() { return pool().owner == getpid(); }

}  // namespace

size_t pool_concurrency() { return pool_usable() ? static_cast<size_t>(pool().arena->max_concurrency()) : 1; }

void parallel_for_each_index(size_t count, FunctionRef<void(size_t)> body) {
    if (count == 1 || !pool_usable()) {
        for (size_t i = 0; i < count; ++i) {
            body(i);
        }
        return;
    }
    pool().arena->execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, count, 1), [&](const tbb::blocked_range<size_t>& range) {
            for (size_t i = range.begin(); i != range.end(); ++i) {
                body(i);
            }
        });
    });
}

}  // namespace vesquor
