// validate_model_integrity, ModelIntegrityStreamingValidator and ModelIntegrityValidation.
#include <unordered_map>

#include "py.hpp"
#include "py_streaming.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

struct ModelIntegrityValidation {
    MalwareFindings findings;
};

PyTypeObject* MODEL_INTEGRITY_VALIDATION = nullptr;

PyObject* ModelIntegrityValidation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("ModelIntegrityValidation.__new__", {}, 0, true);
        if (!signature.parse_none(args, kwargs)) {
            return nullptr;
        }
        return new_instance(type, ModelIntegrityValidation{});
    });
}

PyObject* ModelIntegrityValidation_is_valid(PyObject* self, void*) {
    return guarded([&] { return new_bool(unbox<ModelIntegrityValidation>(self).findings.empty()); });
}

PyObject* ModelIntegrityValidation_warnings(PyObject* self, void*) {
    return guarded([&] {
        return findings_list(unbox<ModelIntegrityValidation>(self).findings, "Suspicious pattern detected: ");
    });
}

PyObject* ModelIntegrityValidation_suspicious_patterns(PyObject* self, void*) {
    return guarded([&] { return findings_list(unbox<ModelIntegrityValidation>(self).findings, ""); });
}

PyObject* ModelIntegrityValidation_repr(PyObject* self) {
    return guarded([&] {
        const MalwareFindings& findings = unbox<ModelIntegrityValidation>(self).findings;
        return new_str("ModelIntegrityValidation(valid=" + std::string(findings.empty() ? "true" : "false") +
                       ", warnings=" + std::to_string(findings.size()) + ")");
    });
}

PyGetSetDef MODEL_INTEGRITY_VALIDATION_GETSET[] = {
    {"is_valid", ModelIntegrityValidation_is_valid, nullptr, nullptr, nullptr},
    {"warnings", ModelIntegrityValidation_warnings, nullptr, nullptr, nullptr},
    {"suspicious_patterns", ModelIntegrityValidation_suspicious_patterns, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot MODEL_INTEGRITY_VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("ModelIntegrityValidation()\n--\n\nResult of model integrity validation")},
    {Py_tp_new, reinterpret_cast<void*>(ModelIntegrityValidation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ModelIntegrityValidation>)},
    {Py_tp_repr, reinterpret_cast<void*>(ModelIntegrityValidation_repr)},
    {Py_tp_getset, MODEL_INTEGRITY_VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec MODEL_INTEGRITY_VALIDATION_SPEC = {
    "vesquor._native.ModelIntegrityValidation",
    sizeof(Box<ModelIntegrityValidation>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    MODEL_INTEGRITY_VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// ModelIntegrityStreamingValidator: the raw matches of each chunk, without the padding check and
// without the report threshold of the one-shot check.

PyTypeObject* MODEL_INTEGRITY_STREAMING_VALIDATOR = nullptr;

PyObject* ModelIntegrityStreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("ModelIntegrityStreamingValidator.__new__", {"num_cores"}, 1, true);
        return malware_stream_new(type, args, kwargs, signature, "num_cores");
    });
}

PyObject* ModelIntegrityStreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("ModelIntegrityStreamingValidator.process_chunk", {"chunk"}, 1, true);
        return malware_stream_scan(self, args, kwargs, signature);
    });
}

PyObject* ModelIntegrityStreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("ModelIntegrityStreamingValidator.finalize", {}, 0, true);
        return malware_stream_finalize(self, args, kwargs, signature);
    });
}

PyMethodDef MODEL_INTEGRITY_STREAMING_METHODS[] = {
    {"process_chunk",
     VESQUOR_METHOD(ModelIntegrityStreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of data (SAME interface as SafeTensorsStreamingValidator)"},
    {"finalize", VESQUOR_METHOD(ModelIntegrityStreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize and get remaining matches (SAME interface as SafeTensorsStreamingValidator)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot MODEL_INTEGRITY_STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("ModelIntegrityStreamingValidator(num_cores)\n--\n\nStreaming validator for generic "
                                  "model integrity checks\n\nThis uses the SAME ParallelStreamingScanner "
                                  "infrastructure as SafeTensorsStreamingValidator")},
    {Py_tp_new, reinterpret_cast<void*>(ModelIntegrityStreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MalwareStream>)},
    {Py_tp_methods, MODEL_INTEGRITY_STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec MODEL_INTEGRITY_STREAMING_SPEC = {
    "vesquor._native.ModelIntegrityStreamingValidator",
    sizeof(Box<MalwareStream>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    MODEL_INTEGRITY_STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_model_integrity

PyObject* validate_model_integrity(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("validate_model_integrity", {"data"}, 1, false);
        PyObject* given[1];
        ByteView data;
        if (!signature.parse(args, kwargs, given) || !to_bytes(given[0], "data", data)) {
            return nullptr;
        }
        MalwareFindings findings;
        {
            GilRelease nogil;  // `data` stays alive in `args`; only C++ runs here
            findings = scan_for_malware_patterns(data);
        }
        return new_instance(MODEL_INTEGRITY_VALIDATION, ModelIntegrityValidation{std::move(findings)});
    });
}

PyMethodDef MODEL_INTEGRITY_FUNCTIONS[] = {
    {"validate_model_integrity", VESQUOR_METHOD(validate_model_integrity),
     "validate_model_integrity(data)\n--\n\nValidate complete model file for integrity issues (non-streaming)\n\n"
     "This performs malware pattern detection using the SHARED scanner"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* findings_list(const MalwareFindings& findings, const std::string& prefix) {
    Ref list = Ref::steal(new_list(findings.size()));
    if (!list) {
        return nullptr;
    }
    std::unordered_map<const Pattern*, PyObject*> made;  // borrowed from the list
    size_t index = 0;
    for (const Pattern* row : findings.matches) {
        auto [at, inserted] = made.try_emplace(row, nullptr);
        if (inserted) {
            at->second = new_str(prefix + row->label);
            if (at->second == nullptr) {
                return nullptr;
            }
        } else {
            Py_INCREF(at->second);
        }
        set_item(list.get(), index++, at->second);
    }
    if (!findings.padding.empty() && !set_item(list.get(), index, new_str(prefix + findings.padding))) {
        return nullptr;
    }
    return list.release();
}

int add_model_integrity_functions(PyObject* module) { return PyModule_AddFunctions(module, MODEL_INTEGRITY_FUNCTIONS); }

int add_model_integrity_classes(PyObject* module) {
    if (add_type(module, &MODEL_INTEGRITY_STREAMING_SPEC, &MODEL_INTEGRITY_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &MODEL_INTEGRITY_VALIDATION_SPEC, &MODEL_INTEGRITY_VALIDATION);
}

}  // namespace vesquor::py
