// What each binding file adds to the module. module.cpp calls these in the fixed order: every
// subject's functions first, then every subject's classes. Each returns -1 with an exception set
// on failure.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "model_integrity.hpp"
#include "safetensors.hpp"

namespace vesquor::py {

int add_safetensors_functions(PyObject* module);
int add_safetensors_classes(PyObject* module);
int add_model_integrity_functions(PyObject* module);
int add_model_integrity_classes(PyObject* module);
int add_buffer_overflow_functions(PyObject* module);
int add_buffer_overflow_classes(PyObject* module);

// A new SafeTensorsValidation holding `record`; nullptr with PanicException set on failure.
PyObject* new_safetensors_validation(SafeTensorsValidation record);

// A list of `prefix` + each finding. Equal findings share one str object, so a file dense with
// one signature costs a list slot per match, not a string per match.
PyObject* findings_list(const MalwareFindings& findings, const std::string& prefix);

}  // namespace vesquor::py
