// What each binding file adds to the module. module.cpp calls these in the fixed order: every
// subject's functions first, then every subject's classes. Each returns -1 with an exception set
// on failure.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "model_integrity.hpp"
#include "pattern_matching.hpp"
#include "safetensors.hpp"

namespace vesquor::py {

int add_safetensors_functions(PyObject* module);
int add_safetensors_classes(PyObject* module);
int add_model_integrity_functions(PyObject* module);
int add_model_integrity_classes(PyObject* module);
int add_tool_calling_functions(PyObject* module);
int add_tool_calling_classes(PyObject* module);
int add_buffer_overflow_functions(PyObject* module);
int add_buffer_overflow_classes(PyObject* module);
int add_supply_chain_functions(PyObject* module);
int add_supply_chain_classes(PyObject* module);
int add_behavior_analysis_functions(PyObject* module);
int add_behavior_analysis_classes(PyObject* module);
int add_tokenizer_hygiene_functions(PyObject* module);
int add_tokenizer_hygiene_classes(PyObject* module);
int add_gguf_safety_functions(PyObject* module);
int add_gguf_safety_classes(PyObject* module);
int add_py_streaming_classes(PyObject* module);  // PyParallelStreamingScanner, PyPatternMatch

// A new SafeTensorsValidation holding `record`; nullptr with PanicException set on failure.
PyObject* new_safetensors_validation(SafeTensorsValidation record);

// A list of `prefix` + each finding. Equal findings share one str object, so a file dense with
// one signature costs a list slot per match, not a string per match.
PyObject* findings_list(const MalwareFindings& findings, const std::string& prefix);

// A new list of PyPatternMatch, one per match in order; equal matches share one object. Each
// object copies its row's label and weight, so it outlives the scanner. nullptr with
// PanicException set on failure.
PyObject* new_pattern_match_list(const std::vector<PatternMatch>& matches);

}  // namespace vesquor::py
