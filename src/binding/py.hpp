// The thin layer between the core and the interpreter: owned references, the one argument parser,
// the one error boundary, and the guards for the interpreter lock and for borrowing an object.
// Everything here targets the Limited API of 3.11, so one build loads on every later interpreter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bytes.hpp"

namespace vesquor::py {

// ---------------------------------------------------------------------------------------------
// References

// An owned (strong) reference, released on destruction.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = other.release();
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Errors

// The exception that native failures surface as: a BaseException subclass named
// pyo3_runtime.PanicException, created once per process.
PyObject* panic_exception_type();

// Raises PanicException(message). Returns nullptr for `return raise_panic(...)`.
PyObject* raise_panic(std::string_view message);

// The one mapping of a core error message to a Python exception: ValueError(message).
PyObject* raise_value_error(const std::string& message);

// Turns the pending exception (a failure of the interpreter to create an object, such as
// MemoryError) into PanicException, keeping its text.
PyObject* panic_from_pending();

// The error boundary of every entry point: any C++ exception, std::bad_alloc included, becomes
// PanicException; nothing native unwinds into the interpreter.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    constexpr R failure = [] {
        if constexpr (std::is_pointer_v<R>) {
            return R{nullptr};
        } else {
            return R{-1};
        }
    }();
    try {
        return body();
    } catch (const std::bad_alloc&) {
        raise_panic("memory allocation failed");
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown native exception");
    }
    return failure;
}

// ---------------------------------------------------------------------------------------------
// The interpreter lock

// Releases the lock for its lifetime. Inside, only C++ runs: no PyObject, no PyMem_*.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------------------------------------
// Borrowing a streaming object

// Every streaming object carries one of these. A changing call holds it exclusively for its whole
// duration, the time without the interpreter lock included; the counter is only touched with the
// lock held, so a plain integer suffices.
struct BorrowFlag {
    int state = 0;  // 0 free, -1 held by a changing call
};

class Signature;  // under Arguments, below

// Held by a method that changes the object. `try_take` raises RuntimeError "Already borrowed" and
// returns an empty guard when another call holds the object.
class ExclusiveBorrow {
public:
    static ExclusiveBorrow try_take(BorrowFlag& flag);
    // Makes the empty guard itself when the arguments are refused.
    friend ExclusiveBorrow parse_and_borrow(const Signature& signature, PyObject* args, PyObject* kwargs,
                                            const char* name, ByteView& out, BorrowFlag& flag);
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) flag_->state = 0;
    }
    explicit operator bool() const { return flag_ != nullptr; }

private:
    explicit ExclusiveBorrow(BorrowFlag* flag) : flag_(flag) {}
    BorrowFlag* flag_;
};

// For property reads: false, with RuntimeError "Already mutably borrowed" set, while a changing
// call holds the object.
bool check_readable(const BorrowFlag& flag);

// ---------------------------------------------------------------------------------------------
// Arguments

// The parameters of one function, method or constructor, with the wording the interpreter uses
// for Python functions when a call does not fit them. `display` is "name", "Class.method" or
// "Class.__new__"; for methods and constructors the counts in messages include self (or cls), as
// they do for a Python method.
class Signature {
public:
    Signature(const char* display, std::initializer_list<const char*> names, size_t required, bool bound)
        : display_(display), names_(names), required_(required), bound_(bound) {}

    // Fills `out[i]` with a borrowed reference for parameter i, or nullptr when it was not given
    // (only possible for parameters with a default). Returns false with TypeError set.
    bool parse(PyObject* args, PyObject* kwargs, PyObject** out) const;

    // For methods that take no arguments at all.
    bool parse_none(PyObject* args, PyObject* kwargs) const { return parse(args, kwargs, nullptr); }

private:
    std::string name() const { return std::string(display_) + "()"; }

    const char* display_;
    std::vector<const char*> names_;
    size_t required_;
    bool bound_;
};

// bytes or a subclass, read in place; the view is valid while the caller holds the object.
// Otherwise TypeError "argument 'chunk': 'bytearray' object cannot be converted to 'PyBytes'".
bool to_bytes(PyObject* value, const char* name, ByteView& out);

// An unsigned 64-bit count through the integer-index protocol. A non-integer raises TypeError
// "argument 'num_cores': " + the interpreter's text; a negative or too large integer raises the
// interpreter's OverflowError unchanged.
bool to_count(PyObject* value, const char* name, uint64_t& out);

// A str, as UTF-8. Otherwise TypeError "argument 'pattern_mode': 'int' object cannot be converted
// to 'PyString'".
bool to_str(PyObject* value, const char* name, std::string& out);

// The start of a changing method whose one parameter, `name`, is bytes: parses the call, reads the
// argument in place into `out`, then takes the borrow on `flag`. On failure, an empty guard with
// the exception set, in this order of checks: the call's TypeError, the argument's TypeError,
// RuntimeError "Already borrowed". The object's own state is the caller's to check, guard held.
// `signature` has exactly one parameter: the call is parsed into one slot.
ExclusiveBorrow parse_and_borrow(const Signature& signature, PyObject* args, PyObject* kwargs, const char* name,
                                 ByteView& out, BorrowFlag& flag);

// ---------------------------------------------------------------------------------------------
// Values: every conversion failure of the interpreter becomes PanicException.

PyObject* new_bool(bool value);
PyObject* new_int(int64_t value);
PyObject* new_uint(uint64_t value);
PyObject* new_float(double value);
PyObject* new_str(std::string_view utf8);
PyObject* new_list(size_t size);
// Stores `item` (stolen) at `index` of a list made by new_list; false with PanicException set
// when `item` is null.
bool set_item(PyObject* list, size_t index, PyObject* item);
PyObject* new_str_list(const std::vector<std::string>& items);

// The shortest text that reads back as `value`, without exponent and without a trailing ".0":
// 1.0 is "1", 0.25 is "0.25".
std::string format_float(double value);

// ---------------------------------------------------------------------------------------------
// Objects that hold a C++ value

// The layout of every class of the module: the object header, then one C++ value.
template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* self) {
    return reinterpret_cast<Box<T>*>(self)->value;
}

// Allocates an instance of `type` holding `value`, bypassing the class's constructor (result
// classes have none). Returns nullptr with PanicException set when the interpreter cannot.
template <class T>
PyObject* new_instance(PyTypeObject* type, T value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        return panic_from_pending();
    }
    new (&unbox<T>(self)) T(std::move(value));
    return self;
}

// tp_dealloc of a Box<T>: destroys the value, frees the object, drops the reference that a heap
// type's instance holds to its type.
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    unbox<T>(self).~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The function slot and the flags of a PyMethodDef entry whose function takes (self, args,
// kwargs): every entry of the module is one, so that one parser (Signature) sees every call.
inline PyCFunction keywords_slot(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
#define VESQUOR_METHOD(function) ::vesquor::py::keywords_slot(function), METH_VARARGS | METH_KEYWORDS

// tp_new of a class that Python cannot construct: TypeError "No constructor defined for X".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates the type from `spec` once per process (kept in `*slot`) and binds it in `module` under
// its own name. Returns -1 with an exception set on failure.
int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot);

}  // namespace vesquor::py
