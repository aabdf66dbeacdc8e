// PyParallelStreamingScanner and PyPatternMatch: the pattern engine over the malware catalogue,
// seen from Python directly, and the shared streaming code behind ModelIntegrityStreamingValidator.
#include "py_streaming.hpp"

#include <string>
#include <unordered_map>

#include "py.hpp"
#include "scanner.hpp"
#include "subjects.hpp"

namespace vesquor::py {

namespace {

PyTypeObject* PY_PATTERN_MATCH = nullptr;
PyTypeObject* PY_PARALLEL_STREAMING_SCANNER = nullptr;

// ---------------------------------------------------------------------------------------------
// PyPatternMatch

// A copy of the row, so that the object outlives the scanner that reported it.
struct PatternMatchRecord {
    std::string description;
    int32_t score;
};

PyObject* PatternMatch_description(PyObject* self, void*) {
    return guarded([&] { return new_str(unbox<PatternMatchRecord>(self).description); });
}

PyObject* PatternMatch_score(PyObject* self, void*) {
    return guarded([&] { return new_int(unbox<PatternMatchRecord>(self).score); });
}

PyGetSetDef PATTERN_MATCH_GETSET[] = {
    {"description", PatternMatch_description, nullptr, nullptr, nullptr},
    {"score", PatternMatch_score, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot PATTERN_MATCH_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("A PyO3-compatible wrapper for PatternMatch")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PatternMatchRecord>)},
    {Py_tp_getset, PATTERN_MATCH_GETSET},
    {0, nullptr},
};

PyType_Spec PATTERN_MATCH_SPEC = {
    "vesquor._native.PyPatternMatch", sizeof(Box<PatternMatchRecord>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, PATTERN_MATCH_SLOTS,
};

// ---------------------------------------------------------------------------------------------
// PyParallelStreamingScanner

PyObject* Scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("PyParallelStreamingScanner.__new__", {"num_groups"}, 1, true);
        return malware_stream_new(type, args, kwargs, signature, "num_groups");
    });
}

PyObject* Scanner_scan_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("PyParallelStreamingScanner.scan_chunk", {"chunk"}, 1, true);
        return malware_stream_scan(self, args, kwargs, signature);
    });
}

PyObject* Scanner_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature signature("PyParallelStreamingScanner.finalize", {}, 0, true);
        return malware_stream_finalize(self, args, kwargs, signature);
    });
}

// Empties the tails and the byte count, with the lock held: it touches no data. Nothing to do
// once the scanner is gone.
PyObject* Scanner_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("PyParallelStreamingScanner.reset", {}, 0, true);
        MalwareStream& state = unbox<MalwareStream>(self);
        if (!signature.parse_none(args, kwargs)) {
            return nullptr;
        }
        ExclusiveBorrow borrow = ExclusiveBorrow::try_take(state.borrow);
        if (!borrow) {
            return nullptr;
        }
        if (state.scanner) {
            state.scanner->reset();
        }
        Py_RETURN_NONE;
    });
}

PyObject* Scanner_bytes_processed(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const MalwareStream& state = unbox<MalwareStream>(self);
        if (!check_readable(state.borrow)) {
            return nullptr;
        }
        return new_uint(state.scanner ? state.scanner->bytes_processed() : 0);
    });
}

PyObject* Scanner_num_groups(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const MalwareStream& state = unbox<MalwareStream>(self);
        if (!check_readable(state.borrow)) {
            return nullptr;
        }
        return new_uint(state.scanner ? state.scanner->num_groups() : 0);
    });
}

PyMethodDef SCANNER_METHODS[] = {
    {"scan_chunk", VESQUOR_METHOD(Scanner_scan_chunk),
     "scan_chunk($self, chunk)\n--\n\nScan a chunk of data for patterns.\n\nAutomatically releases Python GIL during "
     "scanning for maximum performance."},
    {"finalize", VESQUOR_METHOD(Scanner_finalize), "finalize($self)\n--\n\nFinalize all pattern group scanners"},
    {"reset", VESQUOR_METHOD(Scanner_reset), "reset($self)\n--\n\nReset all scanners for reuse"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef SCANNER_GETSET[] = {
    {"bytes_processed", Scanner_bytes_processed, nullptr, "Get total bytes processed", nullptr},
    {"num_groups", Scanner_num_groups, nullptr, "Get number of pattern groups", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SCANNER_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PyParallelStreamingScanner(num_groups)\n--\n\n"
                    "Parallel streaming pattern scanner (Python wrapper)\n\n"
                    "Splits patterns into groups and processes each group on a separate thread.\n"
                    "Provides significant speedup for pattern sets with 15+ patterns.\n\n"
                    "Example:\n"
                    "    ```python\n"
                    "    import os\n"
                    "    from vesquor._native import PyParallelStreamingScanner\n\n"
                    "    num_cores = os.cpu_count()\n"
                    "    scanner = PyParallelStreamingScanner(num_cores)\n"
                    "    with open(\"model.bin\", \"rb\") as f:\n"
                    "        while chunk := f.read(1 << 20):\n"
                    "            report(scanner.scan_chunk(chunk))\n"
                    "    report(scanner.finalize())\n"
                    "    ```")},
    {Py_tp_new, reinterpret_cast<void*>(Scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MalwareStream>)},
    {Py_tp_methods, SCANNER_METHODS},
    {Py_tp_getset, SCANNER_GETSET},
    {0, nullptr},
};

PyType_Spec SCANNER_SPEC = {
    "vesquor._native.PyParallelStreamingScanner", sizeof(Box<MalwareStream>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SCANNER_SLOTS,
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The shared streaming code

PyObject* new_pattern_match_list(const std::vector<PatternMatch>& matches) {
    if (PY_PATTERN_MATCH == nullptr) {
        return raise_panic("PyPatternMatch is used before the module registered it");
    }
    Ref list = Ref::steal(new_list(matches.size()));
    if (!list) {
        return nullptr;
    }
    // Equal matches share one immutable object: a chunk dense with one signature costs a list
    // slot per match, not an object per match.
    std::unordered_map<const Pattern*, PyObject*> made;  // borrowed from the list
    for (size_t i = 0; i < matches.size(); ++i) {
        auto [at, inserted] = made.try_emplace(matches[i].row, nullptr);
        if (inserted) {
            at->second = new_instance(PY_PATTERN_MATCH,
                                      PatternMatchRecord{matches[i].description(), matches[i].score()});
            if (at->second == nullptr) {
                return nullptr;
            }
        } else {
            Py_INCREF(at->second);
        }
        set_item(list.get(), i, at->second);
    }
    return list.release();
}

PyObject* malware_stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& signature,
                             const char* count_name) {
    PyObject* given[1];
    uint64_t count = 0;
    if (!signature.parse(args, kwargs, given) || !to_count(given[0], count_name, count)) {
        return nullptr;
    }
    // The groups share the process-wide compiled catalogue (it is immutable); each stream has its
    // own tail and counter.
    Result<ParallelStreamingScanner> scanner = ParallelStreamingScanner::build(malware_scanner(), count);
    if (!scanner) {
        return raise_value_error(scanner.error());
    }
    return new_instance(type, MalwareStream{BorrowFlag{}, std::move(scanner).value()});
}

PyObject* malware_stream_scan(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature) {
    MalwareStream& state = unbox<MalwareStream>(self);
    ByteView chunk;
    ExclusiveBorrow borrow = parse_and_borrow(signature, args, kwargs, "chunk", chunk, state.borrow);
    if (!borrow) {
        return nullptr;
    }
    if (!state.scanner) {
        return raise_value_error("Scanner not initialized");
    }
    std::vector<PatternMatch> matches;
    {
        GilRelease nogil;  // the borrow keeps other calls off the scanner; `chunk` lives in `args`
        matches = state.scanner->scan_chunk(chunk);
    }
    return new_pattern_match_list(matches);
}

PyObject* malware_stream_finalize(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& signature) {
    MalwareStream& state = unbox<MalwareStream>(self);
    if (!signature.parse_none(args, kwargs)) {
        return nullptr;
    }
    ExclusiveBorrow borrow = ExclusiveBorrow::try_take(state.borrow);
    if (!borrow) {
        return nullptr;
    }
    if (!state.scanner) {
        return new_list(0);
    }
    // Given up before the flush: whatever happens next, the object is finished.
    std::optional<ParallelStreamingScanner> scanner = std::move(state.scanner);
    state.scanner.reset();
    std::vector<PatternMatch> matches;
    {
        GilRelease nogil;  // `scanner` is local; nothing else can reach it
        matches = scanner->finalize();
    }
    return new_pattern_match_list(matches);  // the matches copy their rows: the scanner may go
}

int add_py_streaming_classes(PyObject* module) {
    if (add_type(module, &SCANNER_SPEC, &PY_PARALLEL_STREAMING_SCANNER) != 0) {
        return -1;
    }
    return add_type(module, &PATTERN_MATCH_SPEC, &PY_PATTERN_MATCH);
}

}  // namespace vesquor::py
