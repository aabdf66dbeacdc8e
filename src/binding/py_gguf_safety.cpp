// validate_gguf_safety, GGUFSafetyStreamingValidator and GGUFSafetyValidation. The input is an
// opaque byte stream; the streaming class has no reset: one object serves one input.
#include "gguf_safety.hpp"
#include "py.hpp"
#include "py_threat.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* GGUF_SAFETY_VALIDATION = nullptr;
PyTypeObject* GGUF_SAFETY_STREAMING_VALIDATOR = nullptr;

PyObject* new_validation(const CategorySets& sets) {
    return new_instance(GGUF_SAFETY_VALIDATION, gguf_safety_result(sets));
}

// ---------------------------------------------------------------------------------------------
// GGUFSafetyValidation

using R = GgufSafetyResult;

PyGetSetDef VALIDATION_GETSET[] = {
    {"suspicious_patterns_found", get_str_list<R, &R::suspicious_patterns_found>, nullptr,
     "Suspicious patterns found in tensor data", nullptr},
    {"executable_patterns_found", get_str_list<R, &R::executable_patterns_found>, nullptr, "Executable patterns found",
     nullptr},
    {"malicious_patterns_found", get_str_list<R, &R::malicious_patterns_found>, nullptr, "Malicious patterns found",
     nullptr},
    {"total_matches", get_uint<R, &R::total_matches>, nullptr, "Total pattern matches found", nullptr},
    {"risk_score", get_float<R, &R::risk_score>, nullptr, "Overall risk score (0.0 to 1.0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Validation results for GGUF safety analysis")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<R>)},
    {Py_tp_getset, VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec VALIDATION_SPEC = {
    "vesquor._native.GGUFSafetyValidation", sizeof(Box<R>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// GGUFSafetyStreamingValidator

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("GGUFSafetyStreamingValidator.__new__", {"num_cores"}, 1, true);
        return threat_new(type, args, kwargs, signature, gguf_safety_catalogue());
    });
}

PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("GGUFSafetyStreamingValidator.process_chunk", {"chunk"}, 1, true);
        return threat_process_chunk(self, args, kwargs, signature);
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("GGUFSafetyStreamingValidator.finalize", {}, 0, true);
        const ThreatState* state = threat_for_reading(self, args, kwargs, signature);
        return state == nullptr ? nullptr : new_validation(state->stream.sets());
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of GGUF tensor data\n\nThis method releases the Python GIL for "
     "maximum performance and runs\npattern matching in parallel across multiple CPU cores.\n\nArgs:\n    chunk: "
     "Bytes to scan for GGUF safety issues"},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize scanning and get comprehensive results\n\nReturns:\n    "
     "GGUFSafetyValidation with categorized findings"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("GGUFSafetyStreamingValidator(num_cores)\n--\n\nHigh-performance streaming "
                                  "validator for GGUF safety")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ThreatState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.GGUFSafetyStreamingValidator", sizeof(Box<ThreatState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_gguf_safety

PyObject* validate_gguf_safety(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("validate_gguf_safety", {"data", "num_cores"}, 2, false);
        return threat_one_shot(args, kwargs, signature, "num_cores", gguf_safety_catalogue(), new_validation);
    });
}

PyMethodDef FUNCTIONS[] = {
    {"validate_gguf_safety", VESQUOR_METHOD(validate_gguf_safety),
     "validate_gguf_safety(data, num_cores)\n--\n\nValidate GGUF tensor data for safety issues (single-pass "
     "validation)\n\nThis is a convenience function for validating entire GGUF files at once.\nFor large files, "
     "prefer using GGUFSafetyStreamingValidator.\n\nArgs:\n    data: GGUF file data to validate\n    "
     "num_cores: Number of CPU cores to use for parallel processing\n\nReturns:\n    GGUFSafetyValidation with "
     "findings"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_gguf_safety_functions(PyObject* module) { return PyModule_AddFunctions(module, FUNCTIONS); }

int add_gguf_safety_classes(PyObject* module) {
    if (add_type(module, &STREAMING_SPEC, &GGUF_SAFETY_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &VALIDATION_SPEC, &GGUF_SAFETY_VALIDATION);
}

}  // namespace vesquor::py
