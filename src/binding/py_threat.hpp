// The Python face shared by the threat validators: a streaming class holding a ThreatStream,
// its process_chunk and reset, the one-shot function, and getters for result records.
#pragma once

#include <string>
#include <vector>

#include "py.hpp"
#include "threat_catalogue.hpp"

namespace vesquor::py {

struct ThreatState {
    BorrowFlag borrow;
    ThreatStream stream;
};

// tp_new: parses `(num_cores)` and builds the stream; ValueError with the engine's message.
PyObject* threat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& signature,
                     const ThreatCatalogue& catalogue);

// process_chunk(chunk): scans with the lock released, holding the object exclusively; returns
// None, or raises ValueError "Scanner not initialized" when the scanner is gone.
PyObject* threat_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature);

// reset(): empties the sets and the count; the scanner keeps its carried tail.
PyObject* threat_reset(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature);

// For finalize(): the state for reading, or nullptr with RuntimeError "Already mutably borrowed"
// (or the argument error) set.
const ThreatState* threat_for_reading(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature);

// The one-shot function: a stream with `count` groups, one chunk, then `finish(sets)` makes the
// result object.
template <class Finish>
PyObject* threat_one_shot(PyObject* args, PyObject* kwargs, const Signature& signature, const char* count_name,
                          const ThreatCatalogue& catalogue, Finish&& finish) {
    PyObject* given[2];
    ByteView data;
    uint64_t count = 0;
    if (!signature.parse(args, kwargs, given) || !to_bytes(given[0], "data", data) ||
        !to_count(given[1], count_name, count)) {
        return nullptr;
    }
    Result<ThreatStream> stream = ThreatStream::build(catalogue, count);
    if (!stream) {
        return raise_value_error(stream.error());
    }
    {
        GilRelease nogil;  // `data` stays alive in `args`
        stream.value().process_chunk(data);
    }
    return finish(stream.value().sets());
}

// Getters of a result record R held in a Box<R>.
template <class R, std::vector<std::string> R::*field>
PyObject* get_str_list(PyObject* self, void*) {
    return guarded([&] { return new_str_list(unbox<R>(self).*field); });
}
template <class R, uint64_t R::*field>
PyObject* get_uint(PyObject* self, void*) {
    return guarded([&] { return new_uint(unbox<R>(self).*field); });
}
template <class R, double R::*field>
PyObject* get_float(PyObject* self, void*) {
    return guarded([&] { return new_float(unbox<R>(self).*field); });
}

}  // namespace vesquor::py
