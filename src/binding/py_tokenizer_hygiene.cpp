// validate_tokenizer_hygiene, TokenizerHygieneStreamingValidator and TokenizerHygieneValidation.
//
// Unlike the other threat validators the constructor takes a pattern mode, chosen by the full
// Unicode lower-case of the text ("STRICT", "Config" and "full" select strict mode, anything else
// vocabulary-heavy mode), and finalize holds the object exclusively, as process_chunk does. There
// is no reset: one object serves one input.
#include "py.hpp"
#include "py_threat.hpp"
#include "subjects.hpp"
#include "tokenizer_hygiene.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* TOKENIZER_HYGIENE_VALIDATION = nullptr;
PyTypeObject* TOKENIZER_HYGIENE_STREAMING_VALIDATOR = nullptr;

struct TokenizerState {
    BorrowFlag borrow;
    ThreatStream stream;
    bool strict;
};

PyObject* new_validation(const CategorySets& sets, bool strict) {
    return new_instance(TOKENIZER_HYGIENE_VALIDATION, tokenizer_hygiene_result(sets, strict));
}

// The mode of a `pattern_mode` argument: vocabulary-heavy when it was not given. A non-str (None
// included) raises TypeError. The text is lowered by str.lower itself, called unbound, so a str
// subclass cannot answer with a lower() of its own.
bool to_strict_mode(PyObject* value, bool& strict) {
    strict = false;
    if (value == nullptr) {
        return true;
    }
    std::string text;
    if (!PyUnicode_Check(value)) {
        return to_str(value, "pattern_mode", text);  // raises the standard TypeError
    }
    Ref lowered =
        Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "(O)", value));
    if (!lowered || !to_str(lowered.get(), "pattern_mode", text)) {
        return false;  // a lone surrogate cannot be UTF-8: UnicodeEncodeError, as for any str argument
    }
    strict = tokenizer_mode_is_strict(text);
    return true;
}

// ---------------------------------------------------------------------------------------------
// TokenizerHygieneValidation

using R = TokenizerHygieneResult;

template <std::string R::*field>
PyObject* get_str(PyObject* self, void*) {
    return guarded([&] { return new_str(unbox<R>(self).*field); });
}

PyGetSetDef VALIDATION_GETSET[] = {
    {"code_injection_found", get_str_list<R, &R::code_injection_found>, nullptr, "Code injection patterns detected",
     nullptr},
    {"prompt_injection_found", get_str_list<R, &R::prompt_injection_found>, nullptr,
     "Prompt injection patterns detected", nullptr},
    {"network_file_found", get_str_list<R, &R::network_file_found>, nullptr, "Network/file access patterns detected",
     nullptr},
    {"shell_command_found", get_str_list<R, &R::shell_command_found>, nullptr,
     "Shell command patterns detected (compound patterns - HIGH severity)", nullptr},
    {"shell_command_single_word_found", get_str_list<R, &R::shell_command_single_word_found>, nullptr,
     "Shell command single-word patterns detected (LOW severity)\nOnly populated in strict mode", nullptr},
    {"hidden_tokens_found", get_str_list<R, &R::hidden_tokens_found>, nullptr, "Hidden/malicious tokens detected",
     nullptr},
    {"pattern_mode", get_str<&R::pattern_mode>, nullptr, "Pattern mode used for this validation", nullptr},
    {"total_matches", get_uint<R, &R::total_matches>, nullptr, "Total pattern matches found", nullptr},
    {"risk_score", get_float<R, &R::risk_score>, nullptr, "Overall risk score (0.0 to 1.0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot VALIDATION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Validation results for tokenizer hygiene analysis")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<R>)},
    {Py_tp_getset, VALIDATION_GETSET},
    {0, nullptr},
};

PyType_Spec VALIDATION_SPEC = {
    "vesquor._native.TokenizerHygieneValidation", sizeof(Box<R>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    VALIDATION_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// TokenizerHygieneStreamingValidator

PyObject* StreamingValidator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("TokenizerHygieneStreamingValidator.__new__", {"num_cores", "pattern_mode"},
                                         1, true);
        PyObject* given[2];
        uint64_t num_cores = 0;
        bool strict = false;
        if (!signature.parse(args, kwargs, given) || !to_count(given[0], "num_cores", num_cores) ||
            !to_strict_mode(given[1], strict)) {
            return nullptr;
        }
        Result<ThreatStream> stream = ThreatStream::build(tokenizer_hygiene_catalogue(strict), num_cores);
        if (!stream) {
            return raise_value_error(stream.error());
        }
        return new_instance(type, TokenizerState{BorrowFlag{}, std::move(stream).value(), strict});
    });
}

PyObject* StreamingValidator_process_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("TokenizerHygieneStreamingValidator.process_chunk", {"chunk"}, 1, true);
        TokenizerState& state = unbox<TokenizerState>(self);
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
    });
}

PyObject* StreamingValidator_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("TokenizerHygieneStreamingValidator.finalize", {}, 0, true);
        TokenizerState& state = unbox<TokenizerState>(self);
        if (!signature.parse_none(args, kwargs)) {
            return nullptr;
        }
        // Held exclusively: a finalize meeting a process_chunk of another thread is "Already borrowed".
        ExclusiveBorrow borrow = ExclusiveBorrow::try_take(state.borrow);
        if (!borrow) {
            return nullptr;
        }
        return new_validation(state.stream.sets(), state.strict);
    });
}

PyMethodDef STREAMING_METHODS[] = {
    {"process_chunk", VESQUOR_METHOD(StreamingValidator_process_chunk),
     "process_chunk($self, chunk)\n--\n\nProcess a chunk of tokenizer data\n\nThis method releases the Python GIL for "
     "maximum performance and runs\npattern matching in parallel across multiple CPU cores.\n\nArgs:\n    chunk: "
     "Bytes to scan for tokenizer hygiene issues"},
    {"finalize", VESQUOR_METHOD(StreamingValidator_finalize),
     "finalize($self)\n--\n\nFinalize scanning and get comprehensive results\n\nReturns:\n    "
     "TokenizerHygieneValidation with categorized findings"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot STREAMING_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("TokenizerHygieneStreamingValidator(num_cores, pattern_mode=\"vocab_heavy\")\n--\n\n"
                                  "High-performance streaming validator for tokenizer hygiene")},
    {Py_tp_new, reinterpret_cast<void*>(StreamingValidator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TokenizerState>)},
    {Py_tp_methods, STREAMING_METHODS},
    {0, nullptr},
};

PyType_Spec STREAMING_SPEC = {
    "vesquor._native.TokenizerHygieneStreamingValidator", sizeof(Box<TokenizerState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, STREAMING_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// validate_tokenizer_hygiene

PyObject* validate_tokenizer_hygiene(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("validate_tokenizer_hygiene", {"data", "num_cores", "pattern_mode"}, 2,
                                         false);
        PyObject* given[3];
        ByteView data;
        uint64_t num_cores = 0;
        bool strict = false;
        if (!signature.parse(args, kwargs, given) || !to_bytes(given[0], "data", data) ||
            !to_count(given[1], "num_cores", num_cores) || !to_strict_mode(given[2], strict)) {
            return nullptr;
        }
        Result<ThreatStream> stream = ThreatStream::build(tokenizer_hygiene_catalogue(strict), num_cores);
        if (!stream) {
            return raise_value_error(stream.error());
        }
        {
            GilRelease nogil;  // `data` stays alive in `args`
            stream.value().process_chunk(data);
        }
        return new_validation(stream.value().sets(), strict);
    });
}

PyMethodDef FUNCTIONS[] = {
    {"validate_tokenizer_hygiene", VESQUOR_METHOD(validate_tokenizer_hygiene),
     "validate_tokenizer_hygiene(data, num_cores, pattern_mode=\"vocab_heavy\")\n--\n\nValidate tokenizer data for "
     "hygiene issues (single-pass validation)\n\nThis is a convenience function for validating entire tokenizer files "
     "at once.\nFor large files, prefer using TokenizerHygieneStreamingValidator.\n\nArgs:\n    data: Tokenizer file "
     "data to validate\n    num_cores: Number of CPU cores to use for parallel processing\n    pattern_mode: Pattern "
     "mode - \"vocab_heavy\" for tokenizer.json/vocab files,\n                  \"strict\" for "
     "added_tokens.json/config files\n\nReturns:\n    TokenizerHygieneValidation with findings"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_tokenizer_hygiene_functions(PyObject* module) { return PyModule_AddFunctions(module, FUNCTIONS); }

int add_tokenizer_hygiene_classes(PyObject* module) {
    if (add_type(module, &STREAMING_SPEC, &TOKENIZER_HYGIENE_STREAMING_VALIDATOR) != 0) {
        return -1;
    }
    return add_type(module, &VALIDATION_SPEC, &TOKENIZER_HYGIENE_VALIDATION);
}

}  // namespace vesquor::py
