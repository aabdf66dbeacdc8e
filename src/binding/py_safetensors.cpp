// validate_safetensors, parse_safetensors_header, is_safetensors and their result classes
// SafeTensorsValidation and TensorInfo.
#include "py.hpp"
#include "safetensors.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

const std::string kDataPrefix = "Suspicious pattern in tensor data: ";

PyTypeObject* SAFETENSORS_VALIDATION = nullptr;
PyTypeObject* TENSOR_INFO = nullptr;
PyTypeObject* SAFETENSORS_STREAMING_VALIDATOR = nullptr;

// ---------------------------------------------------------------------------------------------
// SafeTensorsValidation

const SafeTensorsValidation& record_of(PyObject* self) { return unbox<SafeTensorsValidation>(self); }

// Appends each of `texts`, with `prefix`, to `list`.
bool append_texts(PyObject* list, const std::vector<std::string>& texts, const std::string& prefix) {
    for (const std::string& text : texts) {
        Ref item = Ref::steal(new_str(prefix + text));
        if (!item) {
            return false;
        }
        if (PyList_Append(list, item.get()) != 0) {
            panic_from_pending();
            return false;
        }
    }
    return true;
}

// The data findings, then the data patterns, each with `prefix`, after the items of `head`.
PyObject* with_data_findings(Ref head, const SafeTensorsValidation& record, const std::string& prefix) {
    if (!head) {
        return nullptr;
    }
    if (!record.data_findings.empty()) {
        Ref findings = Ref::steal(findings_list(record.data_findings, prefix));
        if (!findings) {
            return nullptr;
        }
        Py_ssize_t end = PyList_Size(head.get());
        if (PyList_SetSlice(head.get(), end, end, findings.get()) != 0) {
            return panic_from_pending();
        }
    }
    if (!append_texts(head.get(), record.data_patterns, prefix)) {
        return nullptr;
    }
    return head.release();
}

PyObject* SafeTensorsValidation_is_valid(PyObject* self, void*) {
    return guarded([&] { return new_bool(record_of(self).is_valid()); });
}

PyObject* SafeTensorsValidation_warnings(PyObject* self, void*) {
    return guarded([&] {
        const SafeTensorsValidation& record = record_of(self);
        return with_data_findings(Ref::steal(new_str_list(record.warnings)), record, kDataPrefix);
    });
}

PyObject* SafeTensorsValidation_metadata(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const SafeTensorsValidation& record = record_of(self);
        if (!record.metadata) {
            Py_INCREF(Py_None);
            return Py_None;
        }
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) {
            return panic_from_pending();
        }
        for (const auto& [key, value] : *record.metadata) {
            Ref key_object = Ref::steal(new_str(key));
            Ref value_object = Ref::steal(new_str(value));
            if (!key_object || !value_object) {
                return nullptr;
            }
            if (PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) != 0) {
                return panic_from_pending();
            }
        }
        return dict.release();
    });
}

PyObject* SafeTensorsValidation_total_size(PyObject* self, void*) {
    return guarded([&] { return new_uint(record_of(self).total_size); });
}

PyObject* SafeTensorsValidation_header_size(PyObject* self, void*) {
    return guarded([&] { return new_uint(record_of(self).header_size); });
}

PyObject* SafeTensorsValidation_tensor_count(PyObject* self, void*) {
    return guarded([&] { return new_uint(record_of(self).tensor_count); });
}

PyObject* SafeTensorsValidation_suspicious_data_patterns(PyObject* self, void*) {
    return guarded([&] { return with_data_findings(Ref::steal(new_list(0)), record_of(self), ""); });
}

PyObject* SafeTensorsValidation_tensor_names(PyObject* self, void*) {
    return guarded([&] { return new_str_list(record_of(self).tensor_names); });
}

PyObject* SafeTensorsValidation_suspicious_tensor_names(PyObject* self, void*) {
    return guarded([&] { return new_str_list(record_of(self).suspicious_tensor_names); });
}

PyObject* SafeTensorsValidation_repr(PyObject* self) {
    return guarded([&] {
        const SafeTensorsValidation& record = record_of(self);
        const size_t warnings = record.warnings.size() + record.data_findings.size() + record.data_patterns.size();
        return new_str("SafeTensorsValidation(valid=" + std::string(record.is_valid() ? "true" : "false") +
                       ", tensors=" + std::to_string(record.tensor_count) +
                       ", size=" + std::to_string(record.total_size) + ", warnings=" + std::to_string(warnings) + ")");
    });
}

PyGetSetDef SAFETENSORS_VALIDATION_GETSET[] = {
    {"is_valid", SafeTensorsValidation_is_valid, nullptr, nullptr, nullptr},
    {"warnings", SafeTensorsValidation_warnings, nullptr, nullptr, nullptr},
    {"metadata", SafeTensorsValidation_metadata, nullptr, nullptr, nullptr},
    {"total_size", SafeTensorsValidation_total_size, nullptr, nullptr, nullptr},
    {"header_size", SafeTensorsValidation_header_size, nullptr, nullptr, nullptr},
    {"tensor_count", SafeTensorsValidation_tensor_count, nullptr, nullptr, nullptr},
    {"suspicious_data_patterns", SafeTensorsValidation_suspicious_data_patterns, nullptr, nullptr, nullptr},
    {"tensor_names", SafeTensorsValidation_tensor_names, nullptr, nullptr, nullptr},
    {"suspicious_tensor_names", SafeTensorsValidation_suspicious_tensor_names, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SAFETENSORS_VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("SafeTensors validation result")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SafeTensorsValidation>)},
    {Py_tp_repr, reinterpret_cast<void*>(SafeTensorsValidation_repr)},
    {Py_tp_getset, SAFETENSORS_VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec SAFETENSORS_VALIDATION_SPEC = {
    "vesquor._native.SafeTensorsValidation",
    sizeof(Box<SafeTensorsValidation>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SAFETENSORS_VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// TensorInfo

const TensorInfo& info_of(PyObject* self) { return unbox<TensorInfo>(self); }

PyObject* TensorInfo_name(PyObject* self, void*) {
    return guarded([&] { return new_str(info_of(self).name); });
}

PyObject* TensorInfo_dtype(PyObject* self, void*) {
    return guarded([&] { return new_str(info_of(self).dtype); });
}

PyObject* TensorInfo_shape(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::vector<uint64_t>& shape = info_of(self).shape;
        Ref list = Ref::steal(new_list(shape.size()));
        if (!list) {
            return nullptr;
        }
        for (size_t i = 0; i < shape.size(); ++i) {
            if (!set_item(list.get(), i, new_uint(shape[i]))) {
                return nullptr;
            }
        }
        return list.release();
    });
}

PyObject* TensorInfo_data_offsets(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const TensorInfo& info = info_of(self);
        Ref start = Ref::steal(new_uint(info.start));
        Ref end = Ref::steal(new_uint(info.end));
        if (!start || !end) {
            return nullptr;
        }
        PyObject* pair = PyTuple_Pack(2, start.get(), end.get());
        return pair != nullptr ? pair : panic_from_pending();
    });
}

PyGetSetDef TENSOR_INFO_GETSET[] = {
    {"name", TensorInfo_name, nullptr, nullptr, nullptr},
    {"dtype", TensorInfo_dtype, nullptr, nullptr, nullptr},
    {"shape", TensorInfo_shape, nullptr, nullptr, nullptr},
    {"data_offsets", TensorInfo_data_offsets, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot TENSOR_INFO_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Tensor information from SafeTensors header")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TensorInfo>)},
    {Py_tp_getset, TENSOR_INFO_GETSET},
    {0, nullptr},
};

PyType_Spec TENSOR_INFO_SPEC = {
    "vesquor._native.TensorInfo",
    sizeof(Box<TensorInfo>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    TENSOR_INFO_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// Functions

// The `data` argument of each function; false with TypeError set.
bool data_argument(const Signature& signature, PyObject* args, PyObject* kwargs, ByteView& data) {
    PyObject* given[1];
    return signature.parse(args, kwargs, given) && to_bytes(given[0], "data", data);
}

PyObject* validate_safetensors(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("validate_safetensors", {"data"}, 1, false);
        ByteView data;
        if (!data_argument(signature, args, kwargs, data)) {
            return nullptr;
        }
        SafeTensorsValidation record;
        {
            GilRelease nogil;  // `data` stays alive in `args`; only C++ runs here
            record = vesquor::validate_safetensors(data);
        }
        return new_safetensors_validation(std::move(record));
    });
}

PyObject* parse_safetensors_header(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("parse_safetensors_header", {"data"}, 1, false);
        ByteView data;
        if (!data_argument(signature, args, kwargs, data)) {
            return nullptr;
        }
        std::vector<TensorInfo> infos;
        {
            GilRelease nogil;  // `data` stays alive in `args`; only C++ runs here
            infos = vesquor::parse_safetensors_header(data);
        }
        Ref list = Ref::steal(new_list(infos.size()));
        if (!list) {
            return nullptr;
        }
        for (size_t i = 0; i < infos.size(); ++i) {
            if (!set_item(list.get(), i, new_instance(TENSOR_INFO, std::move(infos[i])))) {
                return nullptr;
            }
        }
        return list.release();
    });
}

PyObject* is_safetensors(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("is_safetensors", {"data"}, 1, false);
        ByteView data;
        if (!data_argument(signature, args, kwargs, data)) {
            return nullptr;
        }
        bool answer = false;
        {
            GilRelease nogil;  // `data` stays alive in `args`; only C++ runs here
            answer = vesquor::is_safetensors(data);
        }
        return new_bool(answer);
    });
}

PyMethodDef SAFETENSORS_FUNCTIONS[] = {
    {"validate_safetensors", VESQUOR_METHOD(validate_safetensors),
     "validate_safetensors(data)\n--\n\n"
     "Parse and validate a SafeTensors file with comprehensive security checks (non-streaming)\n"
     "\n"
     "This function performs:\n"
     "1. Structure validation (header parsing, JSON validation)\n"
     "2. Tensor name security checks (suspicious patterns)\n"
     "3. Data offset validation\n"
     "4. Tensor data scanning for malicious patterns (executables, scripts, etc.)\n"
     "5. Metadata validation"},
    {"parse_safetensors_header", VESQUOR_METHOD(parse_safetensors_header),
     "parse_safetensors_header(data)\n--\n\nParse SafeTensors header and extract tensor information"},
    {"is_safetensors", VESQUOR_METHOD(is_safetensors),
     "is_safetensors(data)\n--\n\n"
     "Fast check if a file is SafeTensors format (just reads first 8 bytes + small header)"},
    {nullptr, nullptr, 0, nullptr},
};


// ---------------------------------------------------------------------------------------------
// SafeTensorsStreamingValidator

struct StreamState {
    BorrowFlag borrow;
    SafeTensorsStream stream;
};

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("SafeTensorsStreamingValidator.__new__", {"num_cores"}, 1, true);
        PyObject* given[1];
        uint64_t num_cores = 0;
        if (!signature.parse(args, kwargs, given) || !to_count(given[0], "num_cores", num_cores)) {
            return nullptr;
        }
        Result<SafeTensorsStream> stream = SafeTensorsStream::build(num_cores);
        if (!stream) {
            return raise_value_error(stream.error());
        }
        return new_instance(type, StreamState{BorrowFlag{}, std::move(stream).value()});
    });
}

PyObject* StreamingValidator_validate_header(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("SafeTensorsStreamingValidator.validate_header", {"header_data"}, 1, true);
        StreamState& state = unbox<StreamState>(self);
        ByteView header;
        ExclusiveBorrow borrow = parse_and_borrow(signature, args, kwargs, "header_data", header, state.borrow);
        if (!borrow) {
            return nullptr;
        }
        bool valid = false;
        {
            GilRelease nogil;  // a header can be 100 MB of JSON; the borrow keeps others off
            valid = state.stream.validate_header(header);
        }
        return new_bool(valid);
    });
}

PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("SafeTensorsStreamingValidator.process_chunk", {"chunk"}, 1, true);
        StreamState& state = unbox<StreamState>(self);
        ByteView chunk;
        ExclusiveBorrow borrow = parse_and_borrow(signature, args, kwargs, "chunk", chunk, state.borrow);
        if (!borrow) {
            return nullptr;
        }
        if (!state.stream.has_header()) {
            return raise_value_error("Must call validate_header() before process_chunk()");
        }
        std::vector<PatternMatch> matches;
        {
            GilRelease nogil;
            matches = state.stream.scanner().scan_chunk(chunk);
        }
        Ref list = Ref::steal(new_list(matches.size()));
        if (!list) {
            return nullptr;
        }
        for (size_t i = 0; i < matches.size(); ++i) {
            if (!set_item(list.get(), i, new_str(matches[i].description()))) {
                return nullptr;
            }
        }
        return list.release();
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("SafeTensorsStreamingValidator.finalize", {}, 0, true);
        StreamState& state = unbox<StreamState>(self);
        if (!signature.parse_none(args, kwargs)) {
            return nullptr;
        }
        ExclusiveBorrow borrow = ExclusiveBorrow::try_take(state.borrow);
        if (!borrow) {
            return nullptr;
        }
        std::optional<SafeTensorsValidation> record = state.stream.take_header();
        if (!record) {
            return raise_value_error("Must call validate_header() before finalize()");
        }
        std::vector<PatternMatch> flushed;
        {
            GilRelease nogil;
            flushed = state.stream.scanner().finalize();
            SafeTensorsStream::finish(*record, flushed);
        }
        return new_instance(SAFETENSORS_VALIDATION, std::move(*record));
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"validate_header", VESQUOR_METHOD(StreamingValidator_validate_header),
     "validate_header($self, header_data)\n--\n\nValidate the SafeTensors header (call this with header data first)"},
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of tensor data (call after validate_header)\n\nReleases GIL "
     "during processing for maximum performance."},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize validation and get results"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("SafeTensorsStreamingValidator(num_cores)\n--\n\nSafeTensors streaming validator\n\n"
                                  "This class allows streaming validation of large SafeTensors files by processing\n"
                                  "chunks sequentially while maintaining state for pattern detection across boundaries.")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StreamState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.SafeTensorsStreamingValidator", sizeof(Box<StreamState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

}  // namespace

PyObject* new_safetensors_validation(SafeTensorsValidation record) {
    return new_instance(SAFETENSORS_VALIDATION, std::move(record));
}

int add_safetensors_functions(PyObject* module) { return PyModule_AddFunctions(module, SAFETENSORS_FUNCTIONS); }

int add_safetensors_classes(PyObject* module) {
    if (add_type(module, &SAFETENSORS_VALIDATION_SPEC, &SAFETENSORS_VALIDATION) != 0) {
        return -1;
    }
    if (add_type(module, &TENSOR_INFO_SPEC, &TENSOR_INFO) != 0) {
        return -1;
    }
    return add_type(module, &STREAMING_SPEC, &SAFETENSORS_STREAMING_VALIDATOR);
}

}  // namespace vesquor::py
