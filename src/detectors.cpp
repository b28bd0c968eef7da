// Model detection for the KVE-OS, GARU/FESK, vKORIN, PRAV and TOLM families.
// Every step is the call sequence Python code would make: each mention of
// `re` is a fresh lookup and each match accessor a fresh call, because a
// caller may put another regex engine (or a recording stand-in) in `re`.
#include "detectors.hpp"

#include "calls.hpp"

namespace fdef {
namespace {

const Constant match_name{"match"};
const Constant flag_name{"I"};
const Constant two{2L};

// re.search(pattern, version).
Ref search(PyObject* globals, const Constant& pattern, PyObject* version) noexcept {
    Ref fn = re_attr(globals, search_name);
    return fn ? call(fn.get(), pattern.get(), version) : Ref();
}

// re.<fn>(pattern, <text()>, re.I), evaluated in Python's order: the
// function, then the text, then the flag.
template <class MakeText>
Ref call_with_flag_i(PyObject* globals, const Constant& fn_name, const Constant& pattern, MakeText&& text) noexcept {
    Ref fn = re_attr(globals, fn_name);
    Ref subject = fn ? text() : Ref();
    Ref flag = subject ? re_attr(globals, flag_name) : Ref();
    return flag ? call(fn.get(), pattern.get(), subject.get(), flag.get()) : Ref();
}

// mobj.group(n), a fresh call each time.
Ref group(const Ref& mobj, const Constant& n) noexcept { return call_method(mobj.get(), group_name, n.get()); }

PyObject* new_ref(const Constant& value) noexcept { return Py_NewRef(value.get()); }

}  // namespace

// ---- KVE-OS ------------------------------------------------------------------

namespace {
const Constant kveos_hardware{"Hardware\\s*\n\\s*\\w+\\s+([A-Za-z0-9_-]+)\\s+(\\w+)"};
const Constant kveos_virtual_model{"KVE-OSv"};
const Constant kveos_virtual{"KVEOSv"};
const Constant kveos_chassis{"Chassis"};
const Constant kveos_ostrel{"^Ostrel(\\d+)$"};
const Constant kveos_demo_platform{"P4416"};
const Constant kveos_demo_notice{"Corvath is a demo version of the Ostrel Operating System"};

// The platform named by a hardware match: the digits of an Ostrel chassis,
// or else the third word; "" when neither applies. -1 on error.
int kveos_platform(PyObject* globals, const Ref& mobj, Ref& platform) noexcept {
    // group(1) and group(2) and re.match("Chassis", group(2), re.I),
    // stopping at the first false one.
    int chassis = truth(group(mobj, one));
    if (chassis > 0) {
        chassis = truth(group(mobj, two));
    }
    if (chassis > 0) {
        chassis = truth(call_with_flag_i(globals, match_name, kveos_chassis, [&] { return group(mobj, two); }));
    }
    if (chassis < 0) {
        return -1;
    }
    if (chassis) {
        Ref p = call_with_flag_i(globals, match_name, kveos_ostrel, [&] { return group(mobj, one); });
        const int ostrel = truth(p);
        if (ostrel > 0) {
            platform = group(p, one);
        }
        return ostrel < 0 || (ostrel > 0 && !platform) ? -1 : 0;
    }
    const int has_word = truth(group(mobj, two));
    if (has_word > 0) {
        platform = group(mobj, two);
    }
    return has_word < 0 || (has_word > 0 && !platform) ? -1 : 0;
}

}  // namespace

PyObject* fetch_kveos_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    Ref platform = Ref::borrow(empty.get());
    Ref mobj = call_with_flag_i(globals, search_name, kveos_hardware, [&] { return Ref::borrow(version); });
    const int found = truth(mobj);
    if (found < 0) {
        return nullptr;
    }
    if (found) {
        const int is_virtual = equals(group(mobj, one), kveos_virtual_model);
        if (is_virtual != 0) {
            return is_virtual < 0 ? nullptr : new_ref(kveos_virtual);
        }
        if (kveos_platform(globals, mobj, platform) < 0) {
            return nullptr;
        }
    }
    const int demo_platform = equals(platform, kveos_demo_platform);
    if (demo_platform <= 0) {
        return demo_platform < 0 ? nullptr : platform.release();
    }
    const int notice = truth(search(globals, kveos_demo_notice, version));
    if (notice != 0) {
        return notice < 0 ? nullptr : new_ref(kveos_virtual);
    }
    return platform.release();
}

// ---- GARU/FESK ---------------------------------------------------------------

namespace {
const Constant garu_fesk_l2_marker{"LINUX_L2"};
const Constant garu_fesk_l2{"FESK-L2"};
const Constant garu_garu_marker{"Solaris Unix"};
const Constant garu_garu{"GARU"};
const Constant garu_fesk_marker{"Linux Unix"};
const Constant garu_fesk{"FESK"};
}  // namespace

PyObject* get_garu_details(PyObject* globals, PyObject* const* args) noexcept {
    struct Step {
        const Constant& marker;
        const Constant& model;
    };
    const Step steps[] = {
        {garu_fesk_l2_marker, garu_fesk_l2},
        {garu_garu_marker, garu_garu},
        {garu_fesk_marker, garu_fesk},
    };
    for (const Step& step : steps) {
        const int found = truth(search(globals, step.marker, args[0]));
        if (found != 0) {
            return found < 0 ? nullptr : new_ref(step.model);
        }
    }
    return new_ref(empty);
}

// ---- vKORIN ------------------------------------------------------------------

namespace {
const Constant vkorin_banner{"Vantrel KORIN Software,\\s+(KORINv|vkorin_l2)\\s+Software"};
const Constant vkorin_l2_word{"vkorin_l2"};
const Constant vkorin_l2{"KORINvL2"};
const Constant vkorin_plain{"KORINv"};
}  // namespace

PyObject* get_vkorin_details(PyObject* globals, PyObject* const* args) noexcept {
    // The search result is not tested: a text without the banner ends in the
    // AttributeError of None.group, which callers use to tell the family.
    Ref mobj = search(globals, vkorin_banner, args[0]);
    if (!mobj) {
        return nullptr;
    }
    const int is_l2 = equals(group(mobj, one), vkorin_l2_word);
    if (is_l2 != 0) {
        return is_l2 < 0 ? nullptr : new_ref(vkorin_l2);
    }
    const int is_plain = equals(group(mobj, one), vkorin_plain);
    if (is_plain != 0) {
        return is_plain < 0 ? nullptr : new_ref(vkorin_plain);
    }
    return new_ref(empty);
}

// ---- PRAV --------------------------------------------------------------------

namespace {
const Constant prav_model{"[Vv]antrel (PRAV-[0-9]+)"};
const Constant prav_marker{"KORIN DALM Admin"};
const Constant prav_family{"PRAV"};
}  // namespace

PyObject* get_prav_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    Ref pravobj = search(globals, prav_model, version);
    const int has_model = truth(pravobj);
    if (has_model != 0) {
        return has_model < 0 ? nullptr : group(pravobj, one).release();
    }
    const int has_marker = truth(search(globals, prav_marker, version));
    if (has_marker < 0) {
        return nullptr;
    }
    // A text with neither a model code nor the marker is not a PRAV device:
    // the empty string, like every other detector that finds nothing.
    return new_ref(has_marker ? prav_family : empty);
}

// ---- TOLM --------------------------------------------------------------------

namespace {
const Constant get_key_value_name{"get_key_value"};
const Constant tolm_chassis{"(TOLM[-]?[0-9]+).*Chassis"};
const Constant tolm_processor{"[Vv]antrel (.+) \\(.*\\) processor"};
const Constant tolm_third_line{"^.+ \\(.+\\) processor.*\n.*\n(.*)\n"};
const Constant tolm_unknown_line{"Unable to get platform for TOLM"};
const Constant zero{0L};
const Constant three{3L};
const Constant hyphen{"-"};
const Constant replace_name{"replace"};

// ret[1][1][0]: item 1 of ret (the match result list), its item 1 (the
// groups tuple), its item 0 (group 1).
Ref first_group(PyObject* ret) noexcept {
    Ref item = Ref::borrow(ret);
    for (const Constant* index : {&one, &one, &zero}) {
        item = Ref::steal(PyObject_GetItem(item.get(), index->get()));
        if (!item) {
            break;
        }
    }
    return item;
}

}  // namespace

PyObject* get_tolm_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    // The table is made anew for every call; its keys rank the patterns.
    Ref pattern = Ref::steal(PyDict_New());
    if (!pattern || PyDict_SetItem(pattern.get(), one.get(), tolm_chassis.get()) < 0 ||
        PyDict_SetItem(pattern.get(), two.get(), tolm_processor.get()) < 0 ||
        PyDict_SetItem(pattern.get(), three.get(), tolm_third_line.get()) < 0) {
        return nullptr;
    }
    Ref lookup = global(globals, get_key_value_name);
    Ref ret = lookup ? call(lookup.get(), version, pattern.get()) : Ref();
    const int matched = truth(ret);
    if (matched == 0) {
        return print_line(tolm_unknown_line.get()) ? new_ref(empty) : nullptr;
    }
    Ref model = matched > 0 ? first_group(ret.get()) : Ref();
    return model ? call_method(model.get(), replace_name, hyphen.get(), empty.get()).release() : nullptr;
}

}  // namespace fdef
