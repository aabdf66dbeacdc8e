// validate_buffer_overflow, BufferOverflowStreamingValidator and BufferOverflowValidation.
#include "buffer_overflow.hpp"
#include "py.hpp"
#include "py_threat.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* BUFFER_OVERFLOW_VALIDATION = nullptr;
PyTypeObject* BUFFER_OVERFLOW_STREAMING_VALIDATOR = nullptr;

PyObject* new_validation(const CategorySets& sets) {
    return new_instance(BUFFER_OVERFLOW_VALIDATION, buffer_overflow_result(sets));
}

// ---------------------------------------------------------------------------------------------
// BufferOverflowValidation

using R = BufferOverflowResult;

PyGetSetDef VALIDATION_GETSET[] = {
    {"dangerous_functions_found", get_str_list<R, &R::dangerous_functions_found>, nullptr,
     "Unique dangerous functions detected", nullptr},
    {"rop_gadgets_found", get_str_list<R, &R::rop_gadgets_found>, nullptr, "ROP gadget patterns detected", nullptr},
    {"format_string_vulns_found", get_str_list<R, &R::format_string_vulns_found>, nullptr,
     "Format string vulnerabilities detected", nullptr},
    {"integer_overflow_patterns_found", get_str_list<R, &R::integer_overflow_patterns_found>, nullptr,
     "Integer overflow patterns detected", nullptr},
    {"total_matches", get_uint<R, &R::total_matches>, nullptr, "Total pattern matches found", nullptr},
    {"risk_score", get_float<R, &R::risk_score>, nullptr, "Overall risk score (0.0 to 1.0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Validation results for buffer overflow analysis")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<R>)},
    {Py_tp_getset, VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec VALIDATION_SPEC = {
    "vesquor._native.BufferOverflowValidation", sizeof(Box<R>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// BufferOverflowStreamingValidator

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("BufferOverflowStreamingValidator.__new__", {"num_cores"}, 1, true);
        return threat_new(type, args, kwargs, signature, buffer_overflow_catalogue());
    });
}

PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("BufferOverflowStreamingValidator.process_chunk", {"chunk"}, 1, true);
        return threat_process_chunk(self, args, kwargs, signature);
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("BufferOverflowStreamingValidator.finalize", {}, 0, true);
        const ThreatState* state = threat_for_reading(self, args, kwargs, signature);
        return state == nullptr ? nullptr : new_validation(state->stream.sets());
    });
}

PyObject* StreamingValidator_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("BufferOverflowStreamingValidator.reset", {}, 0, true);
        return threat_reset(self, args, kwargs, signature);
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of model data\n\nThis method releases the Python GIL for "
     "maximum performance and runs\npattern matching in parallel across multiple CPU cores.\n\nArgs:\n    chunk: "
     "Bytes to scan for buffer overflow patterns"},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize and get comprehensive results"},
    {"reset", VESQUOR_METHOD(StreamingValidator_reset), "reset($self)\n--\n\nReset validator state for reuse"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("BufferOverflowStreamingValidator(num_cores)\n--\n\nHigh-performance streaming "
                                  "validator for buffer overflow detection")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ThreatState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.BufferOverflowStreamingValidator", sizeof(Box<ThreatState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_buffer_overflow

PyObject* validate_buffer_overflow(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("validate_buffer_overflow", {"data", "num_threads"}, 2, false);
        return threat_one_shot(args, kwargs, signature, "num_threads", buffer_overflow_catalogue(), new_validation);
    });
}

PyMethodDef FUNCTIONS[] = {
    {"validate_buffer_overflow", VESQUOR_METHOD(validate_buffer_overflow),
     "validate_buffer_overflow(data, num_threads)\n--\n\nStandalone validation function for single-pass scanning"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_buffer_overflow_functions(PyObject* module) { return PyModule_AddFunctions(module, FUNCTIONS); }

int add_buffer_overflow_classes(PyObject* module) {
    if (add_type(module, &STREAMING_SPEC, &BUFFER_OVERFLOW_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &VALIDATION_SPEC, &BUFFER_OVERFLOW_VALIDATION);
}

}  // namespace vesquor::py
