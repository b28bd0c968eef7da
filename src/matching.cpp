// invokeaction and get_key_value: the matching core the detectors and the
// callers' pattern tables run on.
#include "matching.hpp"

#include <cstring>

#include "function.hpp"

namespace fdef {
namespace {

PyObject* new_list(std::initializer_list<PyObject*> items) noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyList_SET_ITEM(list, i++, compat::new_ref(item));
    }
    return list;
}

PyObject* print_and_return_empty(PyObject* line) noexcept { return print_line(line) ? PyList_New(0) : nullptr; }

}  // namespace

int search_pattern(PyObject* globals, PyObject* input_value, PyObject* pattern, Ref& whole, Ref& groups) noexcept {
    Ref search = re_attr(globals, state.s.search);
    Ref mobj = search ? call(search.get(), pattern, input_value) : Ref();
    if (!mobj) {
        return -1;
    }
    const int found = truth(mobj);
    if (found <= 0) {
        return found;
    }
    whole = call_method(state.group, mobj.get(), state.s.group.get());
    groups = whole ? call_method(state.groups, mobj.get(), state.s.groups.get()) : Ref();
    return groups ? 1 : -1;
}

namespace {

// A pattern action: re.search(action, input_value), both positional.
PyObject* invoke_pattern(PyObject* globals, PyObject* input_value, PyObject* pattern) noexcept {
    Ref whole, groups;
    const int found = search_pattern(globals, input_value, pattern, whole, groups);
    if (found <= 0) {
        return found < 0 ? nullptr : PyList_New(0);
    }
    return new_list({whole.get(), groups.get()});
}

// A callable action: action(input_value[, spawn_id]); a false result is
// reported on standard output and counts as no match.
PyObject* invoke_callable(PyObject* input_value, PyObject* action, PyObject* spawn_id) noexcept {
    const int with_handle = PyObject_IsTrue(spawn_id);
    if (with_handle < 0) {
        return nullptr;
    }
    Ref ret = with_handle ? call(action, input_value, spawn_id) : call(action, input_value);
    if (!ret) {
        return nullptr;
    }
    const int matched = truth(ret);
    if (matched != 0) {
        return matched < 0 ? nullptr : new_list({ret.get()});
    }
    Ref text = Ref::steal(PyObject_Str(action));
    Ref line = text ? Ref::steal(PyUnicode_Concat(state.s.msg_false_result.get(), text.get())) : Ref();
    return line ? print_and_return_empty(line.get()) : nullptr;
}

}  // namespace

PyObject* invokeaction(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* input_value = args[0];
    PyObject* action = args[1];
    // str first: a callable str subclass is still a pattern.
    if (PyUnicode_Check(action)) {
        return invoke_pattern(globals, input_value, action);
    }
    if (PyCallable_Check(action)) {
        return invoke_callable(input_value, action, args[2]);
    }
    return print_and_return_empty(state.s.msg_bad_action.get());
}

namespace {

// dict_name[key], read at its turn. An exact dict is read directly; a
// missing key still goes through subscription, for its KeyError.
Ref table_item(PyObject* table, PyObject* key) noexcept {
    if (PyDict_CheckExact(table)) {
        PyObject* found = nullptr;
        if (compat::dict_get_item_ref(table, key, &found) != 0) {
            return Ref::steal(found);
        }
    }
    return Ref::steal(PyObject_GetItem(table, key));
}

// invokeaction(input_value, action) as the walk calls it, when the name is
// bound to the module's own invokeaction: its body runs directly, and a
// pattern that does not match makes no empty list. 1 with `output` set, 0
// for an empty result, -1 with an exception set.
int invoke_own(PyObject* globals, PyObject* input_value, PyObject* action, Ref& output) noexcept {
    Depth depth;
    if (depth.failed()) {
        return -1;
    }
    if (PyUnicode_Check(action)) {
        Ref whole, groups;
        const int found = search_pattern(globals, input_value, action, whole, groups);
        if (found <= 0) {
            return found;
        }
        output = Ref::steal(new_list({whole.get(), groups.get()}));
        return output ? 1 : -1;
    }
    PyObject* const args[] = {input_value, action, state.s.empty.get()};
    output = Ref::steal(invokeaction(globals, args));
    return output ? PyList_GET_SIZE(output.get()) != 0 : -1;
}

}  // namespace

namespace {

// Tries the keys in the order given, as get_key_value does once it has its
// sorted snapshot of the table's keys.
PyObject* walk(PyObject* globals, PyObject* input_value, PyObject* dict_name, PyObject* const* keys,
               Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = keys[i];
        // Read at its turn: a change an earlier action made is seen.
        Ref action = table_item(dict_name, key);
        Ref invoke = action ? global(globals, state.s.invokeaction) : Ref();
        if (!invoke) {
            return nullptr;
        }
        Ref output;
        int matched;
        if (is_own_function(invoke.get(), invokeaction)) {
            matched = invoke_own(globals, input_value, action.get(), output);
        } else {
            output = call(invoke.get(), input_value, action.get());
            matched = output ? truth(output) : -1;
        }
        if (matched != 0) {
            return matched < 0 ? nullptr : new_list({key, output.get()});
        }
    }
    return PyList_New(0);
}

// A table of at most this many entries, all keyed by exact str, has its
// key snapshot sorted on the stack: ordering exact str runs no Python code
// and PyUnicode_Compare orders them as list.sort does (by code point), and
// the keys of a dict are distinct, so stability plays no part.
constexpr Py_ssize_t small_table = 8;

// a < b for two exact str, by code point. Two one-byte (Latin-1) strings,
// the usual keys, compare as bytes, as list.sort's own fast path does.
bool str_less(PyObject* a, PyObject* b) noexcept {
    if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t len_a = PyUnicode_GET_LENGTH(a);
        const Py_ssize_t len_b = PyUnicode_GET_LENGTH(b);
        const int order = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b),
                                      static_cast<std::size_t>(len_a < len_b ? len_a : len_b));
        return order != 0 ? order < 0 : len_a < len_b;
    }
    return PyUnicode_Compare(a, b) < 0;
}

struct KeySnapshot {
    PyObject* keys[small_table];
    Py_ssize_t count = 0;
    KeySnapshot() noexcept = default;
    KeySnapshot(const KeySnapshot&) = delete;
    KeySnapshot& operator=(const KeySnapshot&) = delete;
    ~KeySnapshot() {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_DECREF(keys[i]);
        }
    }
    // False when the table does not qualify; nothing is then held.
    bool take(PyObject* dict) noexcept {
        if (PyDict_GET_SIZE(dict) > small_table) {
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        Py_ssize_t n = 0;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return false;
            }
            keys[n++] = key;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_INCREF(keys[i]);
        }
        count = n;
        for (Py_ssize_t i = 1; i < count; ++i) {
            PyObject* key_i = keys[i];
            Py_ssize_t j = i;
            for (; j > 0 && str_less(key_i, keys[j - 1]); --j) {
                keys[j] = keys[j - 1];
            }
            keys[j] = key_i;
        }
        return true;
    }
};

}  // namespace

PyObject* get_key_value(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* input_value = args[0];
    PyObject* dict_name = args[1];
    // The keys are snapshotted and sorted before any action runs; the
    // snapshot is private, so actions that change the table cannot disturb
    // the walk. Iterating an exact dict yields its keys, which PyDict_Keys
    // copies.
    if (PyDict_CheckExact(dict_name)) {
        KeySnapshot small;
        if (small.take(dict_name)) {
            return walk(globals, input_value, dict_name, small.keys, small.count);
        }
    }
    Ref keys = Ref::steal(PyDict_CheckExact(dict_name) ? PyDict_Keys(dict_name) : PySequence_List(dict_name));
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return nullptr;
    }
    // The list is private: its items stay put while actions run.
    return walk(globals, input_value, dict_name, &PyList_GET_ITEM(keys.get(), 0), PyList_GET_SIZE(keys.get()));
}

}  // namespace fdef
