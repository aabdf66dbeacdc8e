#include "py_threat.hpp"

namespace vesquor::py {

PyObject* threat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& signature,
                     const ThreatCatalogue& catalogue) {
    PyObject* given[1];
    uint64_t num_cores = 0;
    if (!signature.parse(args, kwargs, given) || !to_count(given[0], "num_cores", num_cores)) {
        return nullptr;
    }
    Result<ThreatStream> stream = ThreatStream::build(catalogue, num_cores);
    if (!stream) {
        return raise_value_error(stream.error());
    }
    return new_instance(type, ThreatState{BorrowFlag{}, std::move(stream).value()});
}

PyObject* threat_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature) {
    ThreatState& state = unbox<ThreatState>(self);
    ByteView chunk;
    ExclusiveBorrow borrow = parse_and_borrow(signature, args, kwargs, "chunk", chunk, state.borrow);
    if (!borrow) {
        return nullptr;
    }
    if (!state.stream.has_scanner()) {
        return raise_value_error("Scanner not initialized");
    }
    {
        GilRelease nogil;  // the borrow keeps other calls off the state; `chunk` lives in `args`
        state.stream.process_chunk(chunk);
    }
    Py_RETURN_NONE;
}

PyObject* threat_reset(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature) {
    ThreatState& state = unbox<ThreatState>(self);
    if (!signature.parse_none(args, kwargs)) {
        return nullptr;
    }
    ExclusiveBorrow borrow = ExclusiveBorrow::try_take(state.borrow);
    if (!borrow) {
        return nullptr;
    }
    state.stream.sets().clear();
    Py_RETURN_NONE;
}

const ThreatState* threat_for_reading(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature) {
    const ThreatState& state = unbox<ThreatState>(self);
    if (!signature.parse_none(args, kwargs) || !check_readable(state.borrow)) {
        return nullptr;
    }
    return &state;
}

}  // namespace vesquor::py
