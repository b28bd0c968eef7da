// invokeaction and get_key_value: the matching core the detectors and the
// callers' pattern tables run on.
#include "matching.hpp"

#include <initializer_list>

#include "calls.hpp"

namespace fdef {
namespace {

const Constant invokeaction_name{"invokeaction"};
const Constant false_result_prefix{"Return value from funcation "};
const Constant bad_action_line{"The action should be expression or a function"};

// A walk whose actions are all C callables runs no bytecode, where the
// interpreter would notice a signal: check this often instead.
constexpr Py_ssize_t signal_check_interval = 4096;

PyObject* new_list(std::initializer_list<PyObject*> items) noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyList_SET_ITEM(list, i++, Py_NewRef(item));
    }
    return list;
}

PyObject* print_and_return_empty(PyObject* line) noexcept { return print_line(line) ? PyList_New(0) : nullptr; }

// A pattern action: re.search(action, input_value), both positional, and on
// a match [match.group(), match.groups()].
PyObject* invoke_pattern(PyObject* globals, PyObject* input_value, PyObject* pattern) noexcept {
    Ref search = re_attr(globals, search_name);
    Ref mobj = search ? call(search.get(), pattern, input_value) : Ref();
    const int found = truth(mobj);
    if (found <= 0) {
        return found < 0 ? nullptr : PyList_New(0);
    }
    Ref whole = call_method(mobj.get(), group_name);
    Ref groups = whole ? call_method(mobj.get(), groups_name) : Ref();
    return groups ? new_list({whole.get(), groups.get()}) : nullptr;
}

// A callable action: action(input_value[, spawn_id]); a false result is
// reported on standard output and counts as no match.
PyObject* invoke_callable(PyObject* input_value, PyObject* action, PyObject* spawn_id) noexcept {
    const int with_handle = PyObject_IsTrue(spawn_id);
    if (with_handle < 0) {
        return nullptr;
    }
    Ref ret = with_handle ? call(action, input_value, spawn_id) : call(action, input_value);
    const int matched = truth(ret);
    if (matched != 0) {
        return matched < 0 ? nullptr : new_list({ret.get()});
    }
    Ref text = Ref::steal(PyObject_Str(action));
    Ref line = text ? Ref::steal(PyUnicode_Concat(false_result_prefix.get(), text.get())) : Ref();
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
    return print_and_return_empty(bad_action_line.get());
}

PyObject* get_key_value(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* input_value = args[0];
    PyObject* dict_name = args[1];
    // The keys are snapshotted and sorted before any action runs; the list
    // is private, so actions that change the table cannot disturb the walk.
    Ref keys = Ref::steal(PySequence_List(dict_name));
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return nullptr;
    }
    // The garbage collector can still hand the list to an action: its size
    // is read at every turn and the key is held while the action runs.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        if (i % signal_check_interval == signal_check_interval - 1 && PyErr_CheckSignals() < 0) {
            return nullptr;
        }
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        // Read at its turn, so a change an earlier action made is seen.
        Ref action = Ref::steal(PyObject_GetItem(dict_name, key.get()));
        Ref invoke = action ? global(globals, invokeaction_name) : Ref();
        Ref output = invoke ? call(invoke.get(), input_value, action.get()) : Ref();
        const int matched = truth(output);
        if (matched != 0) {
            return matched < 0 ? nullptr : new_list({key.get(), output.get()});
        }
    }
    return PyList_New(0);
}

}  // namespace fdef
