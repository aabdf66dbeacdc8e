// The module's entry point: it only registers. Functions come first, in the order of the module's
// function table, then the classes, then __version__; the first step that fails stops the import
// with its error.
#include "py.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

PyModuleDef NATIVE_MODULE = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native scanning engine of vesquor: format checks and threat-pattern validators for model files.",
    // Single-phase initialisation. A size of 0 (not -1) makes the interpreter call this entry point
    // again on a later import instead of copying the module, so that import gets the same module
    // and one in a sub-interpreter is refused.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* MODULE = nullptr;  // the module made by the first import, kept for later ones

// The main interpreter's id. The module's state (its types, the shared scanner) is per process,
// so a sub-interpreter, whose objects must not mix with the main one's, is refused.
constexpr int64_t kMainInterpreterId = 0;

using Step = int (*)(PyObject*);

constexpr Step REGISTRATION[] = {
    add_safetensors_functions,
    add_model_integrity_functions,
    add_tool_calling_functions,
    add_buffer_overflow_functions,
    add_supply_chain_functions,
    add_behavior_analysis_functions,
    add_tokenizer_hygiene_functions,
    add_gguf_safety_functions,
    add_safetensors_classes,  // SafeTensorsValidation, TensorInfo; SafeTensorsStreamingValidator follows them
    add_model_integrity_classes,  // ModelIntegrityStreamingValidator, ModelIntegrityValidation
    add_tool_calling_classes,
    add_buffer_overflow_classes,
    add_supply_chain_classes,
    add_behavior_analysis_classes,
    add_tokenizer_hygiene_classes,
    add_gguf_safety_classes,
    add_py_streaming_classes,
};

PyObject* create_module() {
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != kMainInterpreterId) {
        PyErr_SetString(PyExc_ImportError, "vesquor._native cannot be imported in a sub-interpreter");
        return nullptr;
    }
    if (MODULE != nullptr) {
        Py_INCREF(MODULE);
        return MODULE;
    }
    Ref module = Ref::steal(PyModule_Create(&NATIVE_MODULE));
    if (!module) {
        return nullptr;
    }
    for (Step step : REGISTRATION) {
        if (step(module.get()) != 0) {
            return nullptr;
        }
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", "0.1.0") != 0) {
        return nullptr;
    }
    MODULE = module.get();
    Py_INCREF(MODULE);
    return module.release();
}

}  // namespace

}  // namespace vesquor::py

extern "C" PyMODINIT_FUNC PyInit__native() {
    return vesquor::py::guarded([] { return vesquor::py::create_module(); });
}
