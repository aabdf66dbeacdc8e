// The process-wide worker pool: oneTBB's, created on first use with one worker per logical
// processor. A positive integer in RAYON_NUM_THREADS caps its size (callers of earlier versions
// set it); anything else there is ignored.
#pragma once

#include <cstddef>

#include "function_ref.hpp"

namespace vesquor {

// How many threads the pool runs at most, the calling thread included.
size_t pool_concurrency();

// Runs body(i) for every i in [0, count) on the pool and returns when all are done. Each index is
// run exactly once; which thread runs it is unspecified.
void parallel_for_each_index(size_t count, FunctionRef<void(size_t)> body);

}  // namespace vesquor
