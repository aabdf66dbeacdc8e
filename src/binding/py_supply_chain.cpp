// validate_supply_chain, SupplyChainStreamingValidator and SupplyChainValidation.
#include "py.hpp"
#include "py_threat.hpp"
#include "subjects.hpp"
#include "supply_chain.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* SUPPLY_CHAIN_VALIDATION = nullptr;
PyTypeObject* SUPPLY_CHAIN_STREAMING_VALIDATOR = nullptr;

PyObject* new_validation(const CategorySets& sets) {
    return new_instance(SUPPLY_CHAIN_VALIDATION, supply_chain_result(sets));
}

// ---------------------------------------------------------------------------------------------
// SupplyChainValidation

using R = SupplyChainResult;

PyGetSetDef VALIDATION_GETSET[] = {
    {"malicious_functions_found", get_str_list<R, &R::malicious_functions_found>, nullptr,
     "Malicious functions detected", nullptr},
    {"data_exfiltration_found", get_str_list<R, &R::data_exfiltration_found>, nullptr,
     "Data exfiltration patterns detected", nullptr},
    {"tampering_indicators_found", get_str_list<R, &R::tampering_indicators_found>, nullptr,
     "Tampering indicators detected", nullptr},
    {"typosquatting_found", get_str_list<R, &R::typosquatting_found>, nullptr, "Typosquatting patterns detected",
     nullptr},
    {"suspicious_domains_found", get_str_list<R, &R::suspicious_domains_found>, nullptr, "Suspicious domains detected",
     nullptr},
    {"total_matches", get_uint<R, &R::total_matches>, nullptr, "Total pattern matches found", nullptr},
    {"risk_score", get_float<R, &R::risk_score>, nullptr, "Overall risk score (0.0 to 1.0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Validation results for supply chain security analysis")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<R>)},
    {Py_tp_getset, VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec VALIDATION_SPEC = {
    "vesquor._native.SupplyChainValidation", sizeof(Box<R>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// SupplyChainStreamingValidator

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("SupplyChainStreamingValidator.__new__", {"num_cores"}, 1, true);
        return threat_new(type, args, kwargs, signature, supply_chain_catalogue());
    });
}

PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("SupplyChainStreamingValidator.process_chunk", {"chunk"}, 1, true);
        return threat_process_chunk(self, args, kwargs, signature);
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("SupplyChainStreamingValidator.finalize", {}, 0, true);
        const ThreatState* state = threat_for_reading(self, args, kwargs, signature);
        return state == nullptr ? nullptr : new_validation(state->stream.sets());
    });
}

PyObject* StreamingValidator_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("SupplyChainStreamingValidator.reset", {}, 0, true);
        return threat_reset(self, args, kwargs, signature);
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of model data\n\nThis method releases the Python GIL for "
     "maximum performance and runs\npattern matching in parallel across multiple CPU cores.\n\nArgs:\n    chunk: "
     "Bytes to scan for supply chain security patterns"},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize and get comprehensive results"},
    {"reset", VESQUOR_METHOD(StreamingValidator_reset), "reset($self)\n--\n\nReset validator state for reuse"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("SupplyChainStreamingValidator(num_cores)\n--\n\nHigh-performance streaming validator "
                                  "for supply chain security")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ThreatState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.SupplyChainStreamingValidator", sizeof(Box<ThreatState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_supply_chain

PyObject* validate_supply_chain(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("validate_supply_chain", {"data", "num_threads"}, 2, false);
        return threat_one_shot(args, kwargs, signature, "num_threads", supply_chain_catalogue(), new_validation);
    });
}

PyMethodDef FUNCTIONS[] = {
    {"validate_supply_chain", VESQUOR_METHOD(validate_supply_chain),
     "validate_supply_chain(data, num_threads)\n--\n\nStandalone validation function for single-pass scanning"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_supply_chain_functions(PyObject* module) { return PyModule_AddFunctions(module, FUNCTIONS); }

int add_supply_chain_classes(PyObject* module) {
    if (add_type(module, &STREAMING_SPEC, &SUPPLY_CHAIN_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &VALIDATION_SPEC, &SUPPLY_CHAIN_VALIDATION);
}

}  // namespace vesquor::py
