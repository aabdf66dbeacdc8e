// validate_behavior_analysis, BehaviorAnalysisStreamingValidator and BehaviorAnalysisValidation.
// The streaming class has no reset: one object serves one input.
#include "behavior_analysis.hpp"
#include "py.hpp"
#include "py_threat.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* BEHAVIOR_ANALYSIS_VALIDATION = nullptr;
PyTypeObject* BEHAVIOR_ANALYSIS_STREAMING_VALIDATOR = nullptr;

PyObject* new_validation(const CategorySets& sets) {
    return new_instance(BEHAVIOR_ANALYSIS_VALIDATION, behavior_analysis_result(sets));
}

// ---------------------------------------------------------------------------------------------
// BehaviorAnalysisValidation

using R = BehaviorAnalysisResult;

PyGetSetDef VALIDATION_GETSET[] = {
    {"backdoor_triggers_found", get_str_list<R, &R::backdoor_triggers_found>, nullptr,
     "Backdoor trigger patterns detected", nullptr},
    {"tool_hijacking_found", get_str_list<R, &R::tool_hijacking_found>, nullptr, "Tool hijacking patterns detected",
     nullptr},
    {"data_exfiltration_found", get_str_list<R, &R::data_exfiltration_found>, nullptr,
     "Data exfiltration patterns detected", nullptr},
    {"system_override_found", get_str_list<R, &R::system_override_found>, nullptr,
     "System override patterns detected", nullptr},
    {"privilege_escalation_found", get_str_list<R, &R::privilege_escalation_found>, nullptr,
     "Privilege escalation patterns detected", nullptr},
    {"total_matches", get_uint<R, &R::total_matches>, nullptr, "Total pattern matches found", nullptr},
    {"risk_score", get_float<R, &R::risk_score>, nullptr, "Overall risk score (0.0 to 1.0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Validation results for behavioral backdoor analysis")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<R>)},
    {Py_tp_getset, VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec VALIDATION_SPEC = {
    "vesquor._native.BehaviorAnalysisValidation", sizeof(Box<R>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// BehaviorAnalysisStreamingValidator

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("BehaviorAnalysisStreamingValidator.__new__", {"num_cores"}, 1, true);
        return threat_new(type, args, kwargs, signature, behavior_analysis_catalogue());
    });
}

PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("BehaviorAnalysisStreamingValidator.process_chunk", {"chunk"}, 1, true);
        return threat_process_chunk(self, args, kwargs, signature);
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("BehaviorAnalysisStreamingValidator.finalize", {}, 0, true);
        const ThreatState* state = threat_for_reading(self, args, kwargs, signature);
        return state == nullptr ? nullptr : new_validation(state->stream.sets());
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of model data\n\nThis method releases the Python GIL for "
     "maximum performance and runs\npattern matching in parallel across multiple CPU cores.\n\nArgs:\n    chunk: "
     "Bytes to scan for behavioral backdoor patterns"},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize scanning and get comprehensive results\n\nReturns:\n    "
     "BehaviorAnalysisValidation with categorized findings"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("BehaviorAnalysisStreamingValidator(num_cores)\n--\n\nHigh-performance streaming "
                                  "validator for behavioral backdoor detection")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ThreatState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.BehaviorAnalysisStreamingValidator", sizeof(Box<ThreatState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_behavior_analysis

PyObject* validate_behavior_analysis(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("validate_behavior_analysis", {"data", "num_cores"}, 2, false);
        return threat_one_shot(args, kwargs, signature, "num_cores", behavior_analysis_catalogue(), new_validation);
    });
}

PyMethodDef FUNCTIONS[] = {
    {"validate_behavior_analysis", VESQUOR_METHOD(validate_behavior_analysis),
     "validate_behavior_analysis(data, num_cores)\n--\n\nValidate model data for behavioral backdoors (single-pass "
     "validation)\n\nThis is a convenience function for validating entire model files at once.\nFor large files, "
     "prefer using BehaviorAnalysisStreamingValidator.\n\nArgs:\n    data: Model file data to validate\n    "
     "num_cores: Number of CPU cores to use for parallel processing\n\nReturns:\n    BehaviorAnalysisValidation with "
     "findings"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_behavior_analysis_functions(PyObject* module) { return PyModule_AddFunctions(module, FUNCTIONS); }

int add_behavior_analysis_classes(PyObject* module) {
    if (add_type(module, &STREAMING_SPEC, &BEHAVIOR_ANALYSIS_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &VALIDATION_SPEC, &BEHAVIOR_ANALYSIS_VALIDATION);
}

}  // namespace vesquor::py
