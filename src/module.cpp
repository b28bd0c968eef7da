// The module entry, its definition record, the function table, and the
// create and execute phases.
#include "detectors.hpp"
#include "function.hpp"
#include "matching.hpp"
#include "state.hpp"

namespace fdef {
namespace {

const char module_doc[] =
    "In this module, we placed the function which can be used for fetching\n"
    "the model number for a device.\n"
    "This also contains functions which helps to get matching keys from patterns dict\n"
    "and for invoking the required function and for matching the regular expression.\n";

const char invokeaction_doc[] =
    "This function execute and function and match regular expression.\n"
    "       If a function is provided as 'action' then function is called with input_value as argument.\n"
    "       If a string is provided then 'action' will be used as a regex and matched with 'input_value'.\n"
    "       Input: command output and function or expression, optional spawn_id.\n"
    "       If spwan_id is provided then it will be provided as argument to function.\n"
    "       Output: A List. If action is astring, output will be match regex ['groups' , ('groups')]\n"
    "       If action is a function, output will be ['return value of the action']\n"
    "    ";

const char get_key_value_doc[] =
    "This function is used for getting the 'key' from the input dict 'dict_name',\n"
    "       from which the 'input_value' is matched.\n"
    "       Input: command output and dictionary name\n"
    "       Output: a list. ['matching key from dict' , 'output of the key's value']\n"
    "       If a str: ['key' , ['group' , ('groups')]]\n"
    "       If a function: ['key' , ['return value of function']]\n"
    "    ";

// The seven functions, in the order they are bound in the namespace.
const FunctionRow function_table[] = {
    {{"fetch_kveos_details", {"version", "spawn_id"}, 1, 2},
     "Function for getting model for KVEOS devices.",
     fetch_kveos_details},
    {{"get_garu_details", {"version", "spawn_id"}, 1, 2},
     "Function for getting model for GARU/FESK devices.",
     get_garu_details},
    {{"get_vkorin_details", {"version", "spawn_id"}, 1, 2},
     "Function for getting model for vKORIN devices.",
     get_vkorin_details},
    {{"get_prav_details", {"version", "spawn_id"}, 1, 2},
     "Function for getting model for PRAV devices.",
     get_prav_details},
    {{"get_tolm_details", {"version", "spawn_id"}, 1, 2},
     "Function for getting model for TOLM devices.",
     get_tolm_details},
    {{"invokeaction", {"input_value", "action", "spawn_id"}, 2, 3}, invokeaction_doc, invokeaction},
    {{"get_key_value", {"input_value", "dict_name"}, 2, 2}, get_key_value_doc, get_key_value},
};

// Copies spec.<attr> to module.<name>; a missing attribute is skipped, and
// with `skip_none` so is None.
int copy_spec_attr(PyObject* spec, PyObject* module, const char* attr, const char* name, bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyObject_SetAttrString(module, name, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    // The module-wide values are process-wide: a second interpreter must not
    // share them, nor the first one's module object.
    if (compat::current_interpreter() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "talvern.platformdetails.function_def cannot be imported in a sub-interpreter");
        return nullptr;
    }
    if (state.module != nullptr) {
        return compat::new_ref(state.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module || copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    state.module = module.get();
    return module.release();
}

int bind_all(PyObject* module) noexcept {
    if (state.start() < 0) {
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    Ref empty_fromlist = Ref::steal(PyTuple_New(0));
    Ref re = empty_fromlist ? Ref::steal(PyImport_ImportModuleLevelObject(re_name.get(), globals, nullptr,
                                                                          empty_fromlist.get(), 0))
                            : Ref();
    if (!re || PyDict_SetItem(globals, re_name.get(), re.get()) < 0) {
        return -1;
    }
    state.function_type = Ref::steal(make_function_type());
    if (!state.function_type) {
        return -1;
    }
    for (const FunctionRow& row : function_table) {
        Ref func = Ref::steal(make_function(row, module));
        if (!func || PyDict_SetItemString(globals, row.sig.name, func.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int module_exec(PyObject* module) noexcept {
    void* block = PyModule_GetState(module);
    if (state.ready && module == state.module) {
        // Create handed back the live module: the interpreter then dropped
        // its per-module state block, without freeing it, and made a new one
        // before calling here. Free the dropped one; nothing else is done.
        if (state.module_state_block != block) {
            PyMem_Free(state.module_state_block);
            state.module_state_block = block;
        }
        return 0;
    }
    state.module = module;
    if (bind_all(module) < 0) {
        // Forgotten, so that a later import runs both phases afresh.
        state.clear();
        return -1;
    }
    state.module_state_block = block;
    state.ready = true;
    return 0;
}

void module_free(void* module) noexcept {
    if (module == state.module) {
        state.clear();
    }
}

bool at_exit_registered = false;

// Runs at the very end of finalisation, when the interpreter's objects are
// gone; if the module was never freed, forget it without touching it, so
// that an embedding program that initialises again starts afresh. The
// interpreter drops its exit functions once run, so the next
// initialisation registers this again.
void forget_after_finalize() noexcept {
    state.abandon();
    at_exit_registered = false;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "function_def", module_doc, 0, nullptr, module_slots, nullptr, nullptr, module_free,
};

}  // namespace
}  // namespace fdef

FDEF_MODINIT_FUNC PyInit_function_def(void) {
    if (!fdef::at_exit_registered) {
        fdef::at_exit_registered = Py_AtExit(fdef::forget_after_finalize) == 0;
    }
    return PyModuleDef_Init(&fdef::module_def);
}
