// Model detection for the KVE-OS, GARU/FESK, vKORIN, PRAV and TOLM families.
// Every step is the call sequence Python code would make: each mention of
// `re` is a fresh lookup and each match accessor a fresh call, because a
// caller may put another regex engine (or a recording stand-in) in `re`.
#include "detectors.hpp"

#include <utility>

#include "function.hpp"
#include "matching.hpp"

namespace fdef {
namespace {

const Strings& S = state.s;

// re.search(pattern, version), `re` looked up at this moment.
Ref search(PyObject* globals, const Ref& pattern, PyObject* version) noexcept {
    Ref fn = re_attr(globals, S.search);
    return fn ? call(fn.get(), pattern.get(), version) : Ref();
}

// re.<fn>(pattern, <text()>, re.I), evaluated in Python's order: the
// function, then the text, then the flag.
template <class Text>
Ref call_with_flag_i(PyObject* globals, const Ref& fn_name, const Ref& pattern, Text&& text) noexcept {
    Ref fn = re_attr(globals, fn_name);
    Ref subject = fn ? text() : Ref();
    Ref flag = subject ? re_attr(globals, S.flag_I) : Ref();
    return flag ? call(fn.get(), pattern.get(), subject.get(), flag.get()) : Ref();
}

// mobj.group(n), a fresh call each time.
Ref group(const Ref& mobj, const Ref& n) noexcept {
    return call_method(state.group, mobj.get(), S.group.get(), n.get());
}

PyObject* new_ref(const Ref& value) noexcept { return compat::new_ref(value.get()); }

// The truth of a value, or of a failed step (-1).
int truth_of(const Ref& value) noexcept { return value ? truth(value) : -1; }

// groups[0].replace("-", ""): group 1 of the TOLM match, without hyphens.
PyObject* tolm_platform_from_groups(PyObject* groups) noexcept {
    Ref first = Ref::steal(PyObject_GetItem(groups, state.int0.get()));
    return first ? call_method(state.replace, first.get(), S.replace.get(), S.hyphen.get(), S.empty.get()).release()
                 : nullptr;
}

}  // namespace

PyObject* fetch_kveos_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    Ref platform = Ref::borrow(S.empty.get());
    Ref mobj = call_with_flag_i(globals, S.search, S.kveos_hardware, [&] { return Ref::borrow(version); });
    const int found = truth_of(mobj);
    if (found < 0) {
        return nullptr;
    }
    if (found) {
        Ref model = group(mobj, state.int1);
        const int is_virtual = model ? equals(model.get(), S.kveos_virtual_hw.get()) : -1;
        if (is_virtual != 0) {
            return is_virtual < 0 ? nullptr : new_ref(S.kveos_virtual);
        }
        // group(1) and group(2) and re.match("Chassis", group(2), re.I),
        // stopping at the first false one.
        int chassis = truth_of(group(mobj, state.int1));
        if (chassis > 0) {
            chassis = truth_of(group(mobj, state.int2));
        }
        if (chassis > 0) {
            chassis =
                truth_of(call_with_flag_i(globals, S.match, S.kveos_chassis, [&] { return group(mobj, state.int2); }));
        }
        if (chassis < 0) {
            return nullptr;
        }
        if (chassis) {
            Ref p = call_with_flag_i(globals, S.match, S.kveos_ostrel, [&] { return group(mobj, state.int1); });
            const int ostrel = truth_of(p);
            if (ostrel < 0) {
                return nullptr;
            }
            if (ostrel) {
                platform = group(p, state.int1);
                if (!platform) {
                    return nullptr;
                }
            }
        } else {
            const int has_word = truth_of(group(mobj, state.int2));
            if (has_word < 0) {
                return nullptr;
            }
            if (has_word) {
                platform = group(mobj, state.int2);
                if (!platform) {
                    return nullptr;
                }
            }
        }
    }
    const int demo_platform = equals(platform.get(), S.kveos_demo_platform.get());
    if (demo_platform < 0) {
        return nullptr;
    }
    if (demo_platform) {
        const int notice = truth_of(search(globals, S.kveos_demo_notice, version));
        if (notice < 0) {
            return nullptr;
        }
        if (notice) {
            platform = Ref::borrow(S.kveos_virtual.get());
        }
    }
    return platform.release();
}

PyObject* get_garu_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    const std::pair<const Ref*, const Ref*> steps[] = {
        {&S.garu_fesk_l2_marker, &S.garu_fesk_l2},
        {&S.garu_garu_marker, &S.garu_garu},
        {&S.garu_fesk_marker, &S.garu_fesk},
    };
    for (const auto& [marker, model] : steps) {
        const int found = truth_of(search(globals, *marker, version));
        if (found != 0) {
            return found < 0 ? nullptr : new_ref(*model);
        }
    }
    return new_ref(S.empty);
}

PyObject* get_vkorin_details(PyObject* globals, PyObject* const* args) noexcept {
    // The search result is not tested: a text without the banner ends in the
    // AttributeError of None.group, which callers use to tell the family.
    Ref mobj = search(globals, S.vkorin_banner, args[0]);
    if (!mobj) {
        return nullptr;
    }
    Ref word = group(mobj, state.int1);
    const int is_l2 = word ? equals(word.get(), S.vkorin_l2_word.get()) : -1;
    if (is_l2 != 0) {
        return is_l2 < 0 ? nullptr : new_ref(S.vkorin_l2);
    }
    word = group(mobj, state.int1);
    const int is_plain = word ? equals(word.get(), S.vkorin_plain.get()) : -1;
    if (is_plain != 0) {
        return is_plain < 0 ? nullptr : new_ref(S.vkorin_plain);
    }
    return new_ref(S.empty);
}

PyObject* get_prav_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    Ref pravobj = search(globals, S.prav_model, version);
    const int has_model = truth_of(pravobj);
    if (has_model != 0) {
        return has_model < 0 ? nullptr : group(pravobj, state.int1).release();
    }
    const int has_marker = truth_of(search(globals, S.prav_marker, version));
    if (has_marker < 0) {
        return nullptr;
    }
    // A text with neither a model code nor the marker is not a PRAV device:
    // the empty string, like every other detector that finds nothing.
    return new_ref(has_marker ? S.prav_family : S.empty);
}

namespace {

// The end of get_tolm_details once get_key_value has found `output` for
// some key: ret[1][1][0].replace("-", ""), where ret[1] is `output`.
PyObject* tolm_platform(PyObject* output) noexcept {
    Ref groups = Ref::steal(PyObject_GetItem(output, state.int1.get()));
    return groups ? tolm_platform_from_groups(groups.get()) : nullptr;
}

// What the module's own get_key_value does with the TOLM table, walked
// without making the table, its key list or the result lists: keys 1, 2, 3
// in order, invokeaction looked up anew for each and called with (version,
// pattern). The body of the module's own invokeaction runs directly.
PyObject* tolm_walk(PyObject* globals, PyObject* version) noexcept {
    Depth depth;  // the level get_key_value would have counted
    if (depth.failed()) {
        return nullptr;
    }
    for (const Ref* pattern : {&S.tolm_chassis, &S.tolm_processor, &S.tolm_third_line}) {
        Ref invoke = global(globals, S.invokeaction);
        if (!invoke) {
            return nullptr;
        }
        if (is_own_function(invoke.get(), invokeaction)) {
            Depth inner;
            if (inner.failed()) {
                return nullptr;
            }
            Ref whole, groups;
            const int found = search_pattern(globals, version, pattern->get(), whole, groups);
            if (found != 0) {
                return found < 0 ? nullptr : tolm_platform_from_groups(groups.get());
            }
            continue;
        }
        Ref output = call(invoke.get(), version, pattern->get());
        const int matched = truth_of(output);
        if (matched != 0) {
            return matched < 0 ? nullptr : tolm_platform(output.get());
        }
    }
    return print_line(S.msg_no_tolm.get()) ? new_ref(S.empty) : nullptr;
}

}  // namespace

PyObject* get_tolm_details(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* version = args[0];
    Ref lookup = global(globals, S.get_key_value);
    if (!lookup) {
        return nullptr;
    }
    if (is_own_function(lookup.get(), get_key_value)) {
        return tolm_walk(globals, version);
    }
    // The table is made anew for every call; it ranks the three patterns.
    Ref pattern = Ref::steal(PyDict_New());
    if (!pattern || PyDict_SetItem(pattern.get(), state.int1.get(), S.tolm_chassis.get()) < 0 ||
        PyDict_SetItem(pattern.get(), state.int2.get(), S.tolm_processor.get()) < 0 ||
        PyDict_SetItem(pattern.get(), state.int3.get(), S.tolm_third_line.get()) < 0) {
        return nullptr;
    }
    Ref ret = call(lookup.get(), version, pattern.get());
    const int matched = truth_of(ret);
    if (matched < 0) {
        return nullptr;
    }
    if (!matched) {
        return print_line(S.msg_no_tolm.get()) ? new_ref(S.empty) : nullptr;
    }
    // ret[1][1][0]: the match result list, its groups tuple, group 1.
    Ref result = Ref::steal(PyObject_GetItem(ret.get(), state.int1.get()));
    return result ? tolm_platform(result.get()) : nullptr;
}

}  // namespace fdef
