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

// What the walk learns from one call of invokeaction: 1 with `output` (a
// new reference) for a match, 0 for an empty result, -1 with an exception
// set. Returned by value, so that no address of the walk's frame escapes:
// that frame is repeated for every level of tables whose actions call
// get_key_value again, and must stay small.
struct Invoked {
    int matched;
    PyObject* output;
};

// invokeaction(input_value, action) as the walk calls it, when the name is
// bound to the module's own invokeaction: its body runs directly, and a
// pattern that does not match makes no empty list.
__attribute__((noinline)) Invoked invoke_own(PyObject* globals, PyObject* input_value, PyObject* action) noexcept {
    Depth depth;
    if (depth.failed()) {
        return {-1, nullptr};
    }
    if (PyUnicode_Check(action)) {
        Ref whole, groups;
        const int found = search_pattern(globals, input_value, action, whole, groups);
        if (found <= 0) {
            return {found, nullptr};
        }
        PyObject* output = new_list({whole.get(), groups.get()});
        return {output ? 1 : -1, output};
    }
    PyObject* const args[] = {input_value, action, state.s.empty.get()};
    PyObject* output = invokeaction(globals, args);
    if (output == nullptr || PyList_GET_SIZE(output) != 0) {
        return {output ? 1 : -1, output};
    }
    Py_DECREF(output);
    return {0, nullptr};
}

// The same for any other invokeaction: called, and its result tested.
Invoked invoke_other(PyObject* invoke, PyObject* input_value, PyObject* action) noexcept {
    Ref output = call(invoke, input_value, action);
    const int matched = output ? truth(output) : -1;
    return {matched, matched > 0 ? output.release() : nullptr};
}

// The key snapshot of a table of at most this many entries, all exact str,
// is sorted here by insertion: ordering exact str runs no Python code, and
// str_less orders them by code point as list.sort does; the keys of a dict
// are distinct, so stability plays no part. It spares list.sort's set-up.
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

// Sorts the private key list as list.sort would.
int sort_keys(PyObject* list) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(list);
    PyObject** keys = reinterpret_cast<PyListObject*>(list)->ob_item;
    if (count > small_table) {
        return PyList_Sort(list);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(keys[i])) {
            return PyList_Sort(list);
        }
    }
    for (Py_ssize_t i = 1; i < count; ++i) {
        PyObject* key = keys[i];
        Py_ssize_t j = i;
        for (; j > 0 && str_less(key, keys[j - 1]); --j) {
            keys[j] = keys[j - 1];
        }
        keys[j] = key;
    }
    return 0;
}

}  // namespace

PyObject* get_key_value(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* input_value = args[0];
    PyObject* dict_name = args[1];
    // The keys are snapshotted and sorted before any action runs; the list
    // is private, so actions that change the table cannot disturb the walk.
    // Iterating an exact dict yields its keys, which PyDict_Keys copies.
    const bool exact = PyDict_CheckExact(dict_name);
    Ref keys = Ref::steal(exact ? PyDict_Keys(dict_name) : PySequence_List(dict_name));
    if (!keys || (exact ? sort_keys(keys.get()) : PyList_Sort(keys.get())) < 0) {
        return nullptr;
    }
    // The garbage collector can still hand the list to an action: its size
    // is read at every turn and the key is held while the action runs.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        // Read at its turn: a change an earlier action made is seen.
        Ref action = table_item(dict_name, key.get());
        Ref invoke = action ? global(globals, state.s.invokeaction) : Ref();
        if (!invoke) {
            return nullptr;
        }
        const Invoked step = is_own_function(invoke.get(), invokeaction)
                                 ? invoke_own(globals, input_value, action.get())
                                 : invoke_other(invoke.get(), input_value, action.get());
        if (step.matched != 0) {
            Ref output = Ref::steal(step.output);
            return step.matched < 0 ? nullptr : new_list({key.get(), output.get()});
        }
    }
    return PyList_New(0);
}

}  // namespace fdef
