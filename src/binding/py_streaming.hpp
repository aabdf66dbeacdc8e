// The streaming face of the malware catalogue, shared by PyParallelStreamingScanner and
// ModelIntegrityStreamingValidator: a parallel streaming scanner whose raw matches go out as
// PyPatternMatch objects, chunk by chunk, and which is given up by `finalize`.
#pragma once

#include <optional>

#include "py.hpp"
#include "streaming.hpp"

namespace vesquor::py {

struct MalwareStream {
    BorrowFlag borrow;
    std::optional<ParallelStreamingScanner> scanner;  // present from construction until finalize
};

// tp_new: parses the one count (named `count_name` in argument errors) and builds a scanner over
// the malware catalogue with that many groups: ValueError "num_groups must be at least 1" for 0;
// PanicException if the shared catalogue cannot be compiled (it always can).
PyObject* malware_stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& signature,
                             const char* count_name);

// scan_chunk(chunk) / process_chunk(chunk): the chunk's matches as a new list of PyPatternMatch,
// group by group, scanned with the lock released while holding the object exclusively. ValueError
// "Scanner not initialized" once `finalize` has given the scanner up.
PyObject* malware_stream_scan(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature);

// finalize(): takes the scanner out of the object, searches its carried tails once more (lock
// released) and returns those matches; the scanner is then dropped. An empty list when it is gone.
PyObject* malware_stream_finalize(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature);

}  // namespace vesquor::py
