// _vesquor_testing: reaches the engine with arbitrary pattern tables, for the differential tests
// against a reference implementation. Built only with VESQUOR_BUILD_TESTING and installed beside
// the package in test environments; it is not part of vesquor._native.
#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>
#include <vector>

#include "pattern_matching.hpp"
#include "start_filter.hpp"
#include "streaming.hpp"
#include "worker_pool.hpp"
#include "py.hpp"

namespace vesquor::py {

namespace {

// Reads a list of bytes objects into rows labelled "row <i>" with weight i.
bool to_rows(PyObject* list, std::vector<Pattern>& rows) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "patterns must be a list of bytes");
        return false;
    }
    Py_ssize_t count = PyList_Size(list);
    for (Py_ssize_t i = 0; i < count; ++i) {
        ByteView bytes;
        if (!to_bytes(PyList_GetItem(list, i), "patterns", bytes)) {
            return false;
        }
        rows.push_back(Pattern{std::string(bytes), "row " + std::to_string(i), static_cast<int32_t>(i)});
    }
    return true;
}

// scan_all(patterns, data, piece_bytes=0, start_filter=1): the standard non-overlapping matches as
// (id, start, end) tuples, in order; start_filter=0 leaves the start filter out. A non-zero `piece_bytes` makes Hyperscan scan in pieces of that size.
PyObject* scan_all(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("scan_all", {"patterns", "data", "piece_bytes", "start_filter"}, 2, false);
        PyObject* given[4];
        std::vector<Pattern> rows;
        ByteView data;
        uint64_t piece_bytes = 0, start_filter = 1;
        if (!signature.parse(args, kwargs, given) || !to_rows(given[0], rows) || !to_bytes(given[1], "data", data) ||
            (given[2] != nullptr && !to_count(given[2], "piece_bytes", piece_bytes)) ||
            (given[3] != nullptr && !to_count(given[3], "start_filter", start_filter))) {
            return nullptr;
        }
        Result<PatternScanner> built = PatternScanner::build(std::move(rows), start_filter != 0);
        if (!built) {
            return raise_value_error(built.error());
        }
        const PatternScanner& scanner = built.value();
        std::vector<std::pair<uint32_t, uint64_t>> matches;  // (id, end)
        {
            GilRelease nogil;
            scanner.scan(
                data, [&](const PatternMatch& match, uint64_t end) { matches.emplace_back(match.id, end); },
                piece_bytes == 0 ? PatternScanner::kPieceBytes : static_cast<size_t>(piece_bytes));
        }
        Ref list = Ref::steal(new_list(matches.size()));
        if (!list) {
            return nullptr;
        }
        for (size_t i = 0; i < matches.size(); ++i) {
            auto [id, end] = matches[i];
            PyObject* item = Py_BuildValue("(IKK)", id, static_cast<unsigned long long>(end - scanner.length(id)),
                                           static_cast<unsigned long long>(end));
            if (!set_item(list.get(), i, item == nullptr ? panic_from_pending() : item)) {
                return nullptr;
            }
        }
        return list.release();
    });
}

// throw_native(kind): throws a C++ exception inside the error boundary; "bad_alloc" or any other
// text (a std::runtime_error with that message).
PyObject* throw_native(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("throw_native", {"kind"}, 1, false);
        PyObject* given[1];
        std::string kind;
        if (!signature.parse(args, kwargs, given) || !to_str(given[0], "kind", kind)) {
            return nullptr;
        }
        if (kind == "bad_alloc") {
            throw std::bad_alloc();
        }
        throw std::runtime_error(kind);
    });
}

// start_filter(patterns): how scans over this table skip data, as (form, share of typical data
// passing), form "nibbles" or "bytes"; None without a start filter.
PyObject* start_filter(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("start_filter", {"patterns"}, 1, false);
        PyObject* given[1];
        std::vector<Pattern> rows;
        if (!signature.parse(args, kwargs, given) || !to_rows(given[0], rows)) {
            return nullptr;
        }
        Result<PatternScanner> built = PatternScanner::build(std::move(rows));
        if (!built) {
            return raise_value_error(built.error());
        }
        const StartFilter* filter = built.value().start_filter();
        if (filter == nullptr) {
            Py_RETURN_NONE;
        }
        return Py_BuildValue("(sd)", filter->form() == StartFilter::Form::bytes ? "bytes" : "nibbles",
                             filter->pass_rate());
    });
}

// stream(patterns, num_groups, steps, segment_bytes=0, dense=0, counted=0): runs a
// ParallelStreamingScanner through `steps`, each a bytes chunk, "finalize" or "reset", and returns
// per step the matched ids in the scanner's order (None for "reset"), then bytes_processed. A
// non-zero `segment_bytes` makes chunks of four segments or more take the parallel path and sets
// the stretches after which the automata may take over or hand back. `dense` picks when they do:
// 0 by density, 1 never, 2 always, 3 at every stretch. With `counted`, matches go to a counting
// sink and each step's ids come sorted, each repeated as often as it matched.
PyObject* stream(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature(
            "stream", {"patterns", "num_groups", "steps", "segment_bytes", "dense", "counted"}, 3, false);
        PyObject* given[6];
        std::vector<Pattern> rows;
        uint64_t num_groups = 0, segment_bytes = 0, dense = 0, counted = 0;
        if (!signature.parse(args, kwargs, given) || !to_rows(given[0], rows) ||
            !to_count(given[1], "num_groups", num_groups) ||
            (given[3] != nullptr && !to_count(given[3], "segment_bytes", segment_bytes)) ||
            (given[4] != nullptr && !to_count(given[4], "dense", dense)) ||
            (given[5] != nullptr && !to_count(given[5], "counted", counted))) {
            return nullptr;
        }
        if (dense > 3) {
            PyErr_SetString(PyExc_ValueError, "dense is 0, 1, 2 or 3");
            return nullptr;
        }
        Result<ParallelStreamingScanner> built = ParallelStreamingScanner::build(std::move(rows), num_groups);
        if (!built) {
            return raise_value_error(built.error());
        }
        ParallelStreamingScanner& scanner = built.value();
        if (segment_bytes != 0) {
            scanner.segment_bytes = static_cast<size_t>(segment_bytes);
            scanner.parallel_from_bytes = static_cast<size_t>(4 * segment_bytes);
        }
        using Policy = ParallelStreamingScanner::DensePolicy;
        scanner.dense_policy = std::array{Policy::automatic, Policy::never, Policy::always, Policy::alternate}[dense];
        // A counting sink: matches of a step as a sorted list of ids.
        auto counted_matches = [&](auto&& scan) {
            std::vector<PatternMatch> out;
            scan([&](const PatternMatch& match, uint64_t times) { out.insert(out.end(), times, match); });
            std::sort(out.begin(), out.end(), [](const PatternMatch& a, const PatternMatch& b) { return a.id < b.id; });
            return out;
        };
        Ref steps = Ref::steal(PySequence_List(given[2]));
        if (!steps) {
            return nullptr;
        }
        Py_ssize_t count = PyList_Size(steps.get());
        Ref out = Ref::steal(new_list(static_cast<size_t>(count) + 1));
        if (!out) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* step = PyList_GetItem(steps.get(), i);
            std::vector<PatternMatch> matches;
            if (PyBytes_Check(step)) {
                ByteView chunk;
                if (!to_bytes(step, "steps", chunk)) return nullptr;
                GilRelease nogil;
                matches = counted ? counted_matches([&](auto&& sink) { scanner.scan_chunk(chunk, sink); })
                                  : scanner.scan_chunk(chunk);
            } else {
                std::string what;
                if (!to_str(step, "steps", what)) return nullptr;
                if (what == "reset") {
                    scanner.reset();
                    set_item(out.get(), static_cast<size_t>(i), Py_NewRef(Py_None));
                    continue;
                }
                if (what != "finalize") {
                    PyErr_SetString(PyExc_ValueError, "a step is bytes, \"finalize\" or \"reset\"");
                    return nullptr;
                }
                GilRelease nogil;
                matches = counted ? counted_matches([&](auto&& sink) { scanner.finalize(sink); }) : scanner.finalize();
            }
            Ref ids = Ref::steal(new_list(matches.size()));
            if (!ids) return nullptr;
            for (size_t m = 0; m < matches.size(); ++m) {
                if (!set_item(ids.get(), m, new_uint(matches[m].id))) return nullptr;
            }
            set_item(out.get(), static_cast<size_t>(i), ids.release());
        }
        if (!set_item(out.get(), static_cast<size_t>(count), new_uint(scanner.bytes_processed()))) {
            return nullptr;
        }
        return out.release();
    });
}

// pool_concurrency(): the most threads the worker pool runs, the calling thread included.
PyObject* pool_concurrency(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature signature("pool_concurrency", {}, 0, false);
        if (!signature.parse_none(args, kwargs)) {
            return nullptr;
        }
        return new_uint(vesquor::pool_concurrency());
    });
}

PyMethodDef TESTING_FUNCTIONS[] = {
    {"pool_concurrency", VESQUOR_METHOD(pool_concurrency), "pool_concurrency()\n--\n\nThe most threads the worker pool runs."},
    {"stream", VESQUOR_METHOD(stream),
     "stream(patterns, num_groups, steps, segment_bytes=0, dense=0, counted=0)\n--\n\nRuns a streaming scanner through "
     "`steps`."},
    {"start_filter", VESQUOR_METHOD(start_filter),
     "start_filter(patterns)\n--\n\nHow scans over this table skip data: (form, pass rate), or None."},
    {"throw_native", VESQUOR_METHOD(throw_native), "throw_native(kind)\n--\n\nThrows a C++ exception inside the error boundary."},
    {"scan_all", VESQUOR_METHOD(scan_all),
     "scan_all(patterns, data, piece_bytes=0, start_filter=1)\n--\n\nIds of the standard non-overlapping matches of `patterns` in "
     "`data`."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef TESTING_MODULE = {
    PyModuleDef_HEAD_INIT, "_vesquor_testing", "Test-only access to the vesquor engine.", -1, TESTING_FUNCTIONS,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vesquor::py

extern "C" PyMODINIT_FUNC PyInit__vesquor_testing() {
    return vesquor::py::guarded([] { return PyModule_Create(&vesquor::py::TESTING_MODULE); });
}
