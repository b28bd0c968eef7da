// The module-wide values and their lifecycle.
#include "state.hpp"

namespace fdef {
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
        c->value_ = Ref::steal(c->text_ != nullptr ? PyUnicode_InternFromString(c->text_) : PyLong_FromLong(c->number_));
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
    ready = false;
    module_state_block = nullptr;
    function_entry = nullptr;
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

}  // namespace fdef
