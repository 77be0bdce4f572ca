// What every unit of the analysis module's binding shares: the nanobind
// headers (included here once), the one text conversion between str and C++
// text, and the field lists that give a bound struct both its attributes and
// its to_dict. Each unit binds itself in bind/<unit>.cpp with an init_<unit>
// declared below; module.cpp calls them in order.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/operators.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "../finding.hpp"

// Text, both ways, for every str parameter, field and result of the module
// (std::string and std::string_view; these casters stand in for nanobind's
// own, whose headers no unit includes). Python to C++: the str's UTF-8, read
// in place where CPython holds it; a lone surrogate (an undecodable byte kept
// by "surrogateescape", say) becomes U+FFFD, as undecodable bytes do when
// output is decoded with "replace". C++ to Python: UTF-8 decoded with
// "replace", so a character cut in two reads as U+FFFD instead of failing.
namespace quorvane::analysis::bind {

// The UTF-8 of `text` (a str) in `out`; `holder` keeps the converted copy
// alive when one had to be made. False, with no Python error set, for a
// non-str.
inline bool utf8_of(PyObject* text, std::string_view& out, nanobind::object& holder) noexcept {
    if (!PyUnicode_Check(text)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) {
        PyErr_Clear();
        // Surrogates come out as ED A0..BF xx, which no UTF-8 text holds;
        // each becomes EF BF BD, U+FFFD, of the same length.
        PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
        if (!bytes) {
            PyErr_Clear();
            return false;
        }
        char* d = PyBytes_AS_STRING(bytes);
        n = PyBytes_GET_SIZE(bytes);
        for (Py_ssize_t i = 0; i + 2 < n; ++i) {
            if (static_cast<unsigned char>(d[i]) == 0xED && (static_cast<unsigned char>(d[i + 1]) & 0xE0) == 0xA0) {
                d[i] = static_cast<char>(0xEF);
                d[i + 1] = static_cast<char>(0xBF);
                d[i + 2] = static_cast<char>(0xBD);
                i += 2;
            }
        }
        holder = nanobind::steal(bytes);
        p = d;
    }
    out = std::string_view(p, static_cast<std::size_t>(n));
    return true;
}

inline PyObject* str_of(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace quorvane::analysis::bind

NAMESPACE_BEGIN(NB_NAMESPACE)
NAMESPACE_BEGIN(detail)

template <> struct type_caster<std::string_view> {
    NB_TYPE_CASTER(std::string_view, const_name("str"))
    object holder;
    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        return quorvane::analysis::bind::utf8_of(src.ptr(), value, holder);
    }
    static handle from_cpp(std::string_view text, rv_policy, cleanup_list*) noexcept {
        return quorvane::analysis::bind::str_of(text);
    }
};

template <> struct type_caster<std::string> {
    NB_TYPE_CASTER(std::string, const_name("str"))
    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        object holder;
        std::string_view text;
        if (!quorvane::analysis::bind::utf8_of(src.ptr(), text, holder)) return false;
        value.assign(text);
        return true;
    }
    static handle from_cpp(const std::string& text, rv_policy, cleanup_list*) noexcept {
        return quorvane::analysis::bind::str_of(text);
    }
};

NAMESPACE_END(detail)
NAMESPACE_END(NB_NAMESPACE)

namespace quorvane::analysis::bind {

namespace nb = nanobind;
using namespace nb::literals;

void init_findings(nb::module_& m);
void init_trends(nb::module_& m);
void init_causes(nb::module_& m);
void init_caveats(nb::module_& m);
void init_hardware(nb::module_& m);
void init_lint(nb::module_& m);
void init_fleet(nb::module_& m);
void init_reader(nb::module_& m);
void init_topology(nb::module_& m);
void init_transport(nb::module_& m);

// The keys of a struct's dict, each with how it is written; filled once by
// the struct's Record (below) when the module is set up.
template <class T>
struct Fields {
    static inline std::vector<std::function<void(nb::dict&, const T&)>> writers;
    static inline bool known = false;
};

template <class T> struct is_optional : std::false_type {};
template <class T> struct is_optional<std::optional<T>> : std::true_type {};
template <class T> struct is_vector : std::false_type {};
template <class T, class A> struct is_vector<std::vector<T, A>> : std::true_type {};

template <class T> nb::object plain(const T& v);

// A struct with a field list as its plain dict.
template <class T>
nb::dict as_dict(const T& v) {
    nb::dict d;
    for (const auto& write : Fields<T>::writers) write(d, v);
    return d;
}

// A value as a record stores it: structs with a field list as dicts (lists of
// them as lists of dicts), a severity as its name, None for an empty optional,
// everything else as nanobind casts it.
template <class T>
nb::object plain(const T& v) {
    if constexpr (std::is_same_v<T, nb::object>) {
        return v;
    } else if constexpr (std::is_same_v<T, Severity>) {
        return nb::str(severity_name(v));
    } else if constexpr (is_optional<T>::value) {
        return v ? plain(*v) : nb::none();
    } else if constexpr (is_vector<T>::value) {
        using E = typename T::value_type;
        if constexpr (std::is_class_v<E> && !std::is_same_v<E, std::string>) {
            if (Fields<E>::known) {
                nb::list out;
                for (const E& e : v) out.append(as_dict(e));
                return out;
            }
        }
        return nb::cast(v);
    } else if constexpr (std::is_class_v<T> && !std::is_same_v<T, std::string>) {
        if (Fields<T>::known) return as_dict(v);
        return nb::cast(v);
    } else {
        return nb::cast(v);
    }
}

// One list of a bound struct's fields, in the record's order: each entry
// makes the attribute and the key of to_dict together. A field's key is its
// C++ name; where Python has long known the attribute by another name, the
// entry names both.
template <class T, class... Extra>
class Record {
public:
    using Class = nb::class_<T, Extra...>;
    using Writer = std::function<void(nb::dict&, const T&)>;
    explicit Record(Class& cls) : cls_(cls), out_(&Fields<T>::writers) {
        Fields<T>::known = true;
        Fields<T>::writers.clear();
    }

    // A read-only attribute and the key of the same name.
    template <class M, class... Doc>
    Record& ro(const char* name, M T::*p, const Doc&... doc) {
        cls_.def_ro(name, p, doc...);
        return key(name, p);
    }
    // A writable attribute and the key of the same name.
    template <class M, class... Doc>
    Record& rw(const char* name, M T::*p, const Doc&... doc) {
        cls_.def_rw(name, p, doc...);
        return key(name, p);
    }
    // A read-only attribute whose Python name differs from its key.
    template <class M>
    Record& ro_as(const char* attr, const char* name, M T::*p) {
        cls_.def_ro(attr, p);
        return key(name, p);
    }
    // A read-only attribute whose key holds `to_key` of the struct instead
    // (None for empty text, say).
    template <class M, class F, class... Doc>
    Record& ro_with(const char* name, M T::*p, F to_key, const Doc&... doc) {
        cls_.def_ro(name, p, doc...);
        return key(name, to_key);
    }
    // A value computed from the struct: a property and the key of the same name.
    template <class F, class... Doc>
    Record& prop(const char* name, F get, const Doc&... doc) {
        cls_.def_prop_ro(name, get, doc...);
        return key(name, get);
    }
    // A property whose key holds `to_key` of the struct instead.
    template <class F, class G, class... Doc>
    Record& prop_with(const char* name, F get, G to_key, const Doc&... doc) {
        cls_.def_prop_ro(name, get, doc...);
        return key(name, to_key);
    }
    // An attribute that the record leaves out.
    template <class M, class... Doc>
    Record& ro_only(const char* name, M T::*p, const Doc&... doc) {
        cls_.def_ro(name, p, doc...);
        return *this;
    }
    template <class M, class... Doc>
    Record& rw_only(const char* name, M T::*p, const Doc&... doc) {
        cls_.def_rw(name, p, doc...);
        return *this;
    }
    // A key with no attribute of its own: a member, or a function of the struct
    // giving the value (a plain value, or an nb::object written as it is).
    template <class M>
        requires std::is_member_object_pointer_v<M T::*>
    Record& key(const char* name, M T::*p) {
        out_->push_back([name, p](nb::dict& d, const T& v) { d[name] = plain(v.*p); });
        return *this;
    }
    template <class F>
        requires std::is_invocable_v<const F&, const T&>
    Record& key(const char* name, F get) {
        out_->push_back([name, get](nb::dict& d, const T& v) { d[name] = plain(get(v)); });
        return *this;
    }
    // Keys written only when `when` holds for the struct: `more` adds them.
    template <class P, class F>
    Record& keys_if(P when, F more) {
        std::vector<Writer> writers;
        Record sub(cls_, &writers);
        more(sub);
        out_->push_back([when, writers](nb::dict& d, const T& v) {
            if (!when(v)) return;
            for (const auto& w : writers) w(d, v);
        });
        return *this;
    }
    // The keys of a member struct's own field list, written into this dict.
    template <class M>
    Record& flatten(M T::*p) {
        out_->push_back([p](nb::dict& d, const T& v) {
            for (const auto& w : Fields<M>::writers) w(d, v.*p);
        });
        return *this;
    }
    // to_dict: every key, in order.
    template <class... Doc>
    Record& to_dict(const Doc&... doc) {
        cls_.def("to_dict", [](const T& v) { return as_dict(v); }, doc...);
        return *this;
    }

private:
    Record(Class& cls, std::vector<Writer>* out) : cls_(cls), out_(out) {}
    Class& cls_;
    std::vector<Writer>* out_;
};

}  // namespace quorvane::analysis::bind
