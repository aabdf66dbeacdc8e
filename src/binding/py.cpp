#include "py.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vesquor::py {

// ---------------------------------------------------------------------------------------------
// Errors

namespace {

std::string pending_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), traceback_ref = Ref::steal(traceback);
    if (!value_ref) {
        return "unknown error";
    }
    Ref text = Ref::steal(PyObject_Str(value_ref.get()));
    if (!text) {
        PyErr_Clear();
        return "unprintable error";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unprintable error";
    }
    return std::string(utf8, static_cast<size_t>(size));
}

std::string type_qualname(PyObject* object) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return utf8;
}

PyObject* raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
    // Created once and kept for the life of the process, so callers catch it by its name
    // whichever call raised it.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when native code fails in a way the interpreter cannot see: the "
        "scan was not completed.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return nullptr;  // the creation failure is the pending exception
    }
    return raise(type, std::string(message));
}

PyObject* raise_value_error(const std::string& message) { return raise(PyExc_ValueError, message); }

PyObject* panic_from_pending() {
    if (!PyErr_Occurred()) {
        return raise_panic("the interpreter failed to create an object");
    }
    return raise_panic(pending_text());
}

// ---------------------------------------------------------------------------------------------
// Borrowing

ExclusiveBorrow ExclusiveBorrow::try_take(BorrowFlag& flag) {
    if (flag.state != 0) {
        raise(PyExc_RuntimeError, "Already borrowed");
        return ExclusiveBorrow(nullptr);
    }
    flag.state = -1;
    return ExclusiveBorrow(&flag);
}

bool check_readable(const BorrowFlag& flag) {
    if (flag.state == -1) {
        raise(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Arguments

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c': the interpreter's list of missing names.
std::string quoted_names(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        out += "'" + std::string(names[i]) + "'";
    }
    return out;
}

}  // namespace

bool Signature::parse(PyObject* args, PyObject* kwargs, PyObject** out) const {
    const size_t count = names_.size();
    const size_t given = args == nullptr ? 0 : static_cast<size_t>(PyTuple_Size(args));
    for (size_t i = 0; i < count; ++i) {
        out[i] = i < given ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
    }

    // Keywords first, as the interpreter checks them: unknown names, then names already given.
    if (kwargs != nullptr) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                raise(PyExc_TypeError, name() + " keywords must be strings");
                return false;
            }
            const char* key_utf8 = PyUnicode_AsUTF8AndSize(key, nullptr);
            if (key_utf8 == nullptr) {
                return false;
            }
            size_t index = count;
            for (size_t i = 0; i < count; ++i) {
                if (std::string_view(names_[i]) == key_utf8) {
                    index = i;
                    break;
                }
            }
            if (index == count) {
                raise(PyExc_TypeError, name() + " got an unexpected keyword argument '" + key_utf8 + "'");
                return false;
            }
            if (index < given) {
                raise(PyExc_TypeError, name() + " got multiple values for argument '" + key_utf8 + "'");
                return false;
            }
            out[index] = value;
        }
    }

    const size_t self = bound_ ? 1 : 0;
    if (given > count) {
        size_t total = count + self;
        std::string takes = required_ == count ? std::to_string(total)
                                               : "from " + std::to_string(required_ + self) + " to " +
                                                     std::to_string(total);
        bool plural = required_ != count || total != 1;
        raise(PyExc_TypeError, name() + " takes " + takes + " positional argument" + (plural ? "s" : "") + " but " +
                                   std::to_string(given + self) + (given + self == 1 ? " was" : " were") + " given");
        return false;
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < required_; ++i) {
        if (out[i] == nullptr) {
            missing.push_back(names_[i]);
        }
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, name() + " missing " + std::to_string(missing.size()) + " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + quoted_names(missing));
        return false;
    }
    return true;
}

bool to_bytes(PyObject* value, const char* name, ByteView& out) {
    if (!PyBytes_Check(value)) {
        raise(PyExc_TypeError, std::string("argument '") + name + "': '" + type_qualname(value) +
                                   "' object cannot be converted to 'PyBytes'");
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value, &data, &size) != 0) {
        return false;
    }
    out = ByteView(data, static_cast<size_t>(size));
    return true;
}

bool to_count(PyObject* value, const char* name, uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            raise(PyExc_TypeError, std::string("argument '") + name + "': " + pending_text());
        }
        return false;
    }
    unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;  // OverflowError, unchanged
    }
    out = converted;
    return true;
}

bool to_str(PyObject* value, const char* name, std::string& out) {
    if (!PyUnicode_Check(value)) {
        raise(PyExc_TypeError, std::string("argument '") + name + "': '" + type_qualname(value) +
                                   "' object cannot be converted to 'PyString'");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return false;  // a lone surrogate: the interpreter's UnicodeEncodeError
    }
    out.assign(utf8, static_cast<size_t>(size));
    return true;
}

ExclusiveBorrow parse_and_borrow(const Signature& signature, PyObject* args, PyObject* kwargs, const char* name,
                                 ByteView& out, BorrowFlag& flag) {
    PyObject* given[1];
    if (!signature.parse(args, kwargs, given) || !to_bytes(given[0], name, out)) {
        return ExclusiveBorrow(nullptr);
    }
    return ExclusiveBorrow::try_take(flag);
}

// ---------------------------------------------------------------------------------------------
// Values

namespace {

PyObject* checked(PyObject* created) { return created != nullptr ? created : panic_from_pending(); }

}  // namespace

PyObject* new_bool(bool value) { return checked(PyBool_FromLong(value ? 1 : 0)); }
PyObject* new_int(int64_t value) { return checked(PyLong_FromLongLong(value)); }
PyObject* new_uint(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyObject* new_float(double value) { return checked(PyFloat_FromDouble(value)); }
PyObject* new_str(std::string_view utf8) {
    return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
PyObject* new_list(size_t size) { return checked(PyList_New(static_cast<Py_ssize_t>(size))); }

bool set_item(PyObject* list, size_t index, PyObject* item) {
    if (item == nullptr) {
        return false;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(index), item);  // steals `item`
    return true;
}

PyObject* new_str_list(const std::vector<std::string>& items) {
    Ref list = Ref::steal(new_list(items.size()));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (!set_item(list.get(), i, new_str(items[i]))) {
            return nullptr;
        }
    }
    return list.release();
}

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[400];
    auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    if (error != std::errc()) {
        return "NaN";
    }
    return std::string(text, end);
}

// ---------------------------------------------------------------------------------------------
// Types

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        return nullptr;
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 == nullptr) {
        return nullptr;
    }
    return raise(PyExc_TypeError, std::string("No constructor defined for ") + utf8);
}

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot) {
    if (*slot == nullptr) {
        *slot = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
        if (*slot == nullptr) {
            return -1;
        }
    }
    std::string_view qualified = spec->name;
    std::string short_name(qualified.substr(qualified.rfind('.') + 1));
    PyObject* type = reinterpret_cast<PyObject*>(*slot);
    return PyModule_AddObjectRef(module, short_name.c_str(), type);
}

}  // namespace vesquor::py
