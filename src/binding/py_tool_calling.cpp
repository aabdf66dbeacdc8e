// validate_tool_calling, ToolCallingStreamingValidator and ToolCallingValidation.
#include <string>
#include <vector>

#include "py.hpp"
#include "py_threat.hpp"
#include "subjects.hpp"
#include "tool_calling.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* TOOL_CALLING_VALIDATION = nullptr;
PyTypeObject* TOOL_CALLING_STREAMING_VALIDATOR = nullptr;

PyObject* new_validation(const CategorySets& sets) {
    return new_instance(TOOL_CALLING_VALIDATION, tool_calling_result(sets));
}

// A list of the names of `entries` (indices into the category's names). Each distinct name is one
// str object shared by all its slots, so a chunk dense with one name costs a slot per match.
PyObject* names_list(const std::vector<uint32_t>& entries, size_t category) {
    const std::vector<std::string>& names = tool_calling_catalogue().entries(category);
    Ref list = Ref::steal(new_list(entries.size()));
    if (!list) {
        return nullptr;
    }
    std::vector<Ref> made(names.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        Ref& name = made[entries[i]];
        if (!name) {
            name = Ref::steal(new_str(names[entries[i]]));
            if (!name) {
                return nullptr;
            }
        }
        Py_INCREF(name.get());
        set_item(list.get(), i, name.get());
    }
    return list.release();
}

// {"dangerous_tools": [...], "suspicious_parameters": [...]}, keys in that order.
PyObject* chunk_dict(const ToolCallingChunk& found) {
    Ref dangerous = Ref::steal(names_list(found.dangerous, kToolDangerous));
    if (!dangerous) {
        return nullptr;
    }
    Ref suspicious = Ref::steal(names_list(found.suspicious, kToolSuspicious));
    if (!suspicious) {
        return nullptr;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItemString(dict.get(), "dangerous_tools", dangerous.get()) != 0 ||
        PyDict_SetItemString(dict.get(), "suspicious_parameters", suspicious.get()) != 0) {
        return panic_from_pending();
    }
    return dict.release();
}

// ---------------------------------------------------------------------------------------------
// ToolCallingValidation

using R = ToolCallingResult;

PyObject* Validation_risk_score(PyObject* self, void*) {
    return guarded([&] { return new_int(unbox<R>(self).risk_score); });
}

PyObject* Validation_repr(PyObject* self) {
    return guarded([&] {
        const R& result = unbox<R>(self);
        return new_str("ToolCallingValidation(dangerous_tools=" + std::to_string(result.dangerous_tools_found.size()) +
                       ", suspicious_params=" + std::to_string(result.suspicious_parameters_found.size()) +
                       ", risk_score=" + std::to_string(result.risk_score) + ")");
    });
}

// The attributes carry empty docstrings.
PyGetSetDef VALIDATION_GETSET[] = {
    {"dangerous_tools_found", get_str_list<R, &R::dangerous_tools_found>, nullptr, "", nullptr},
    {"suspicious_parameters_found", get_str_list<R, &R::suspicious_parameters_found>, nullptr, "", nullptr},
    {"total_matches", get_uint<R, &R::total_matches>, nullptr, "", nullptr},
    {"risk_score", Validation_risk_score, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Tool calling validation result")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<R>)},
    {Py_tp_repr, reinterpret_cast<void*>(Validation_repr)},
    {Py_tp_getset, VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec VALIDATION_SPEC = {
    "vesquor._native.ToolCallingValidation", sizeof(Box<R>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// ToolCallingStreamingValidator

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("ToolCallingStreamingValidator.__new__", {"num_cores"}, 1, true);
        return threat_new(type, args, kwargs, signature, tool_calling_catalogue());
    });
}

// Scans with the lock released while holding the object exclusively, then returns the chunk's own
// matches. The sets and the count are updated before the dict is built, so a failure to build it
// still leaves the chunk counted.
PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("ToolCallingStreamingValidator.process_chunk", {"chunk"}, 1, true);
        ThreatState& state = unbox<ThreatState>(self);
        ByteView chunk;
        ExclusiveBorrow borrow = parse_and_borrow(signature, args, kwargs, "chunk", chunk, state.borrow);
        if (!borrow) {
            return nullptr;
        }
        if (!state.stream.has_scanner()) {
            return raise_value_error("Scanner not initialized");
        }
        ToolCallingChunk found;
        {
            GilRelease nogil;  // the borrow keeps other calls off the state; `chunk` lives in `args`
            found = scan_tool_calling_chunk(state.stream, chunk);
        }
        return chunk_dict(found);
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("ToolCallingStreamingValidator.finalize", {}, 0, true);
        const ThreatState* state = threat_for_reading(self, args, kwargs, signature);
        return state == nullptr ? nullptr : new_validation(state->stream.sets());
    });
}

PyObject* StreamingValidator_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("ToolCallingStreamingValidator.reset", {}, 0, true);
        return threat_reset(self, args, kwargs, signature);
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of model data\n\nThis method releases the Python GIL for "
     "maximum performance and runs\npattern matching in parallel across multiple CPU cores.\n\nSingle-pass scanning "
     "finds all patterns simultaneously (Aho-Corasick algorithm).\nCategorization is done based on pattern name "
     "prefix (dangerous:/suspicious:/schema:).\n\nArgs:\n    chunk: Bytes to scan for tool calling patterns\n\n"
     "Returns:\n    Dictionary with categorized matches found in this chunk"},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize validation and get comprehensive results\n\nReturns:\n    "
     "ToolCallingValidation with all accumulated findings"},
    {"reset", VESQUOR_METHOD(StreamingValidator_reset), "reset($self)\n--\n\nReset the validator to process a new model"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("ToolCallingStreamingValidator(num_cores)\n--\n\nStreaming validator for tool calling "
                                  "patterns\n\nSimplified design using a single scanner (like SafeTensors):\n- One "
                                  "Aho-Corasick automaton for all patterns\n- Single pass through data\n- "
                                  "Categorization done in Python based on pattern name prefix")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ThreatState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.ToolCallingStreamingValidator", sizeof(Box<ThreatState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_tool_calling

// A stream with `num_cores` groups (1 when not given), one chunk whose per-chunk lists are not
// needed, then the result.
PyObject* validate_tool_calling(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("validate_tool_calling", {"data", "num_cores"}, 1, false);
        PyObject* given[2];
        ByteView data;
        uint64_t num_cores = 1;
        if (!signature.parse(args, kwargs, given) || !to_bytes(given[0], "data", data) ||
            (given[1] != nullptr && !to_count(given[1], "num_cores", num_cores))) {
            return nullptr;
        }
        Result<ThreatStream> stream = ThreatStream::build(tool_calling_catalogue(), num_cores);
        if (!stream) {
            return raise_value_error(stream.error());
        }
        {
            GilRelease nogil;  // `data` stays alive in `args`
            stream.value().process_chunk(data);
        }
        return new_validation(stream.value().sets());
    });
}

PyMethodDef FUNCTIONS[] = {
    {"validate_tool_calling", VESQUOR_METHOD(validate_tool_calling),
     "validate_tool_calling(data, num_cores=1)\n--\n\nQuick validation function for non-streaming use cases\n\nThis "
     "is useful for small files or when you have the entire model in memory.\nFor large models, use "
     "ToolCallingStreamingValidator instead.\n\nArgs:\n    data: Complete model data to scan\n    num_cores: Number "
     "of CPU cores to use (default: 1)\n\nReturns:\n    ToolCallingValidation with all findings"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_tool_calling_functions(PyObject* module) { return PyModule_AddFunctions(module, FUNCTIONS); }

int add_tool_calling_classes(PyObject* module) {
    if (add_type(module, &STREAMING_SPEC, &TOOL_CALLING_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &VALIDATION_SPEC, &TOOL_CALLING_VALIDATION);
}

}  // namespace vesquor::py
