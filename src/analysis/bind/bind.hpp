// What every unit of the analysis module's binding shares: the nanobind
// headers (included here once), the text conversion of str parameters, and
// the field lists that give a bound struct both its attributes and its
// to_dict. Each unit binds itself in bind/<unit>.cpp with an init_<unit>
// declared below; module.cpp calls them in order.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/operators.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
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

// The text of a str as UTF-8, without copying where CPython already holds it;
// text with lone surrogates (undecodable bytes kept by "surrogateescape") is
// read with replacement characters instead of failing.
struct Utf8 {
    explicit Utf8(nb::handle text) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
        if (!p) {
            PyErr_Clear();
            holder = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace"));
            if (!holder.is_valid()) throw nb::python_error();
            p = PyBytes_AS_STRING(holder.ptr());
            n = PyBytes_GET_SIZE(holder.ptr());
        }
        view = std::string_view(p, static_cast<size_t>(n));
    }
    nb::object holder;
    std::string_view view;
};

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
