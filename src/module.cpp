// The module: its entry, definition record and function table, the values
// it holds for the process, and its lifecycle.
#include "detectors.hpp"
#include "function.hpp"
#include "matching.hpp"
#include "state.hpp"

namespace fdef {

// ---- the module-wide values --------------------------------------------------

namespace {

// Every Constant defined anywhere in the module, linked by the
// definitions' own constructors before the module is first imported.
const Constant* all_constants = nullptr;

const Constant print_name{"print"};

}  // namespace

Constant::Constant(const char* text, long number) noexcept : text_(text), number_(number), next_(all_constants) {
    all_constants = this;
}

const Constant empty{""};
const Constant re_name{"re"};
const Constant search_name{"search"};
const Constant group_name{"group"};
const Constant groups_name{"groups"};
const Constant one{1L};

State state;

int State::start() noexcept {
    for (const Constant* c = all_constants; c != nullptr; c = c->next_) {
        c->value_ =
            Ref::steal(c->text_ != nullptr ? PyUnicode_InternFromString(c->text_) : PyLong_FromLong(c->number_));
        if (!c->value_) {
            return -1;
        }
    }
    // print and the fallback of late-bound names come from the builtins
    // module itself, whatever builtins the importing frame runs with.
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) {
        return -1;
    }
    builtins = Ref::borrow(PyModule_GetDict(builtins_module.get()));
    print = builtins ? lookup_name(builtins.get(), builtins.get(), print_name.get()) : Ref();
    if (!print) {
        return -1;
    }
    defaults = Ref::steal(PyTuple_Pack(1, empty.get()));
    return defaults ? 0 : -1;
}

void State::forget(bool release) noexcept {
    module = nullptr;
    module_state_block = nullptr;
    auto drop = [release](Ref& ref) {
        if (release) {
            ref.reset();
        } else {
            ref.abandon();
        }
    };
    for (Ref* ref : {&function_type, &builtins, &print, &defaults}) {
        drop(*ref);
    }
    for (const Constant* c = all_constants; c != nullptr; c = c->next_) {
        drop(c->value_);
    }
}

// ---- the definition record and the function table ----------------------------

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

}  // namespace

// ---- the lifecycle -----------------------------------------------------------
//
// The values above are process-wide, and CPython's multi-phase import and
// its finalisation meet them in these ways:
// - Create runs at every import of the file, also after the module was
//   removed from sys.modules. While an initialised module exists, create
//   hands it back, so that the process has one.
// - Exec follows every create. For a module handed back, CPython has
//   dropped the module's per-module state block (size 0, yet allocated)
//   without freeing it, and made a new one: exec frees the dropped block
//   and does nothing else.
// - A failed exec forgets everything, so that a later import runs both
//   phases afresh.
// - A sub-interpreter would share the values of the main one: create
//   refuses it with ImportError (the Py_mod_multiple_interpreters slot of
//   3.12 is not there before).
// - CPython calls m_free when it frees the module (unreferenced after
//   leaving sys.modules, or at finalisation): everything is released.
// - Finalisation may also end with the module never freed, its objects
//   gone with the interpreter. An exit function (Py_AtExit), which runs
//   after that, forgets everything without touching it, so that an
//   embedding program that initialises again starts afresh. CPython empties
//   its list of exit functions once it has run them, so it is registered
//   again in each initialisation that executes the module.
// - A free-threaded CPython turns the GIL on (with a RuntimeWarning) to
//   import a module that needs it. This one does, for the values above and
//   for every object it touches, and declares so (Py_mod_gil) rather than
//   leaving it to the slot's default.
// Three values carry this: state.module (the initialised module), the
// state block CPython gave it, and whether the exit function is registered.

namespace {

bool at_exit_registered = false;

void forget_after_finalize() noexcept {
    state.forget(false);
    at_exit_registered = false;
}

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
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "talvern.platformdetails.function_def cannot be imported in a sub-interpreter");
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module || copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
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
    if (module == state.module) {
        // Create handed back the initialised module: free the state block
        // CPython dropped, if it made a new one.
        if (state.module_state_block != block) {
            PyMem_Free(state.module_state_block);
            state.module_state_block = block;
        }
        return 0;
    }
    if (bind_all(module) < 0) {
        state.forget(true);
        return -1;
    }
    if (!at_exit_registered) {
        at_exit_registered = Py_AtExit(forget_after_finalize) == 0;
    }
    state.module = module;
    state.module_state_block = block;
    return 0;
}

void module_free(void* module) noexcept {
    if (module == state.module) {
        state.forget(true);
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    FDEF_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "function_def", module_doc, 0, nullptr, module_slots, nullptr, nullptr, module_free,
};

}  // namespace
}  // namespace fdef

FDEF_MODINIT_FUNC PyInit_function_def(void) { return PyModuleDef_Init(&fdef::module_def); }
