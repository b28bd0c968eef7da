// Argument binding and its messages. Keywords are walked in their own
// order, whichever shape they come in, so both call entries raise the same
// errors.
#include "binding.hpp"

namespace fdef {
namespace {

// The keywords of a vectorcall: a tuple of names, the values after the
// positional arguments.
struct KeywordNames {
    PyObject* names;
    PyObject* const* values;
    Py_ssize_t size() const noexcept { return names ? PyTuple_GET_SIZE(names) : 0; }
    // Visits (key, value) pairs until the visitor returns false.
    template <class Visit>
    void each(Visit&& visit) const noexcept {
        for (Py_ssize_t i = 0, n = size(); i < n; ++i) {
            if (!visit(PyTuple_GET_ITEM(names, i), values[i])) {
                return;
            }
        }
    }
};

// The keywords of tp_call: a dict, possibly NULL, whose keys need not be str
// when it comes through the C API.
struct KeywordDict {
    PyObject* dict;
    Py_ssize_t size() const noexcept { return dict ? PyDict_GET_SIZE(dict) : 0; }
    template <class Visit>
    void each(Visit&& visit) const noexcept {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (dict != nullptr && PyDict_Next(dict, &pos, &key, &value)) {
            if (!visit(key, value)) {
                return;
            }
        }
    }
};

// Compares by content only: no __eq__ of a str subclass runs while binding.
bool names_param(PyObject* key, const char* param) noexcept {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, param) == 0;
}

template <class Keywords>
PyObject* find_keyword(const Keywords& kw, const char* param) noexcept {
    PyObject* found = nullptr;
    kw.each([&](PyObject* key, PyObject* value) {
        if (names_param(key, param)) {
            found = value;
            return false;
        }
        return true;
    });
    return found;
}

int count_error(const Signature& sig, bool too_many, Py_ssize_t given) noexcept {
    const bool exact = sig.required == sig.total;
    const Py_ssize_t count = too_many ? sig.total : sig.required;
    const char* qualifier = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, qualifier,
                 count, count == 1 ? "" : "s", given);
    return -1;
}

// The keyword that is not consumed by the steps before: binds a parameter
// not bound by position, or raises the error the first offending key
// deserves.
template <class Keywords>
int bind_rest(const Signature& sig, Py_ssize_t nargs, const Keywords& kw, PyObject** slots) noexcept {
    int rc = 0;
    kw.each([&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            rc = -1;
            return false;
        }
        for (Py_ssize_t i = 0; i < sig.total; ++i) {
            if (names_param(key, sig.params[i])) {
                if (i < nargs) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name,
                                 key);
                    rc = -1;
                    return false;
                }
                slots[i] = value;
                return true;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        rc = -1;
        return false;
    });
    return rc;
}

// Without keywords: by position, spawn_id defaulting to "".
int bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) noexcept {
    if (nargs < sig.required || nargs > sig.total) {
        return count_error(sig, nargs > sig.total, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    for (Py_ssize_t i = nargs; i < sig.total; ++i) {
        slots[i] = empty.get();
    }
    return 0;
}

// With keywords: required parameters first, in order, then spawn_id, then
// whatever keywords are left.
template <class Keywords>
int bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw, PyObject** slots) noexcept {
    const Py_ssize_t nkw = kw.size();
    if (nkw == 0) {
        return bind_positional(sig, args, nargs, slots);
    }
    if (nargs > sig.total) {
        return count_error(sig, true, nargs);
    }
    for (Py_ssize_t i = 0; i < sig.total; ++i) {
        slots[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t consumed = 0;
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        slots[i] = find_keyword(kw, sig.params[i]);
        if (slots[i] == nullptr) {
            return count_error(sig, false, i);
        }
        ++consumed;
    }
    const Py_ssize_t optional = sig.total - 1;
    if (sig.total > sig.required && nargs <= optional && consumed < nkw) {
        slots[optional] = find_keyword(kw, sig.params[optional]);
        consumed += slots[optional] != nullptr;
    }
    if (consumed < nkw && bind_rest(sig, nargs, kw, slots) < 0) {
        return -1;
    }
    for (Py_ssize_t i = sig.required; i < sig.total; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = empty.get();
        }
    }
    return 0;
}

}  // namespace

int bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) noexcept {
    return bind(sig, args, nargs, KeywordNames{kwnames, args + nargs}, slots);
}

int bind_dict(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs,
              PyObject** slots) noexcept {
    return bind(sig, args, nargs, KeywordDict{kwargs}, slots);
}

}  // namespace fdef
