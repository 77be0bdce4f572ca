// The one function-object type behind every callable of a module, and the
// signature rows that callables are declared with.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "ref.hpp"

namespace qv {

// How a parameter's argument is checked (and converted) before the call.
enum class Check {
    Any,       // unchecked
    Text,      // exactly str
    OptText,   // None or exactly str
    List,      // exactly list
    Int,       // int; other numbers converted with int()
    OptFloat,  // None or float; other numbers converted with float()
};

enum class Pass { PositionalOrKeyword, KeywordOnly };

struct Default {
    enum Kind { Required, None, Text, Int, Attribute } kind = Required;
    const char* text = nullptr;  // the str value, or the module attribute's name
    long long number = 0;
};

inline constexpr Default required{};
inline constexpr Default default_none{Default::None};
constexpr Default default_text(const char* text) { return {Default::Text, text, 0}; }
constexpr Default default_int(long long n) { return {Default::Int, nullptr, n}; }
// The value a module attribute has when the function is created (import).
constexpr Default default_attribute(const char* name) { return {Default::Attribute, name, 0}; }

struct Param {
    const char* name;
    Check check = Check::Any;
    Pass pass = Pass::PositionalOrKeyword;
    Default def = required;
    const char* annotation = nullptr;  // nullptr: no annotation (self)
};

// The parameters of a callable that takes none.
inline constexpr std::array<Param, 0> no_params{};

// The receiver of a method.
inline constexpr Param self_param{"self"};

constexpr Param positional(const char* name, Check check, const char* annotation) {
    return {name, check, Pass::PositionalOrKeyword, required, annotation};
}
constexpr Param keyword(const char* name, Check check, const char* annotation, Default def = required) {
    return {name, check, Pass::KeywordOnly, def, annotation};
}

inline constexpr std::size_t max_params = 12;

// Bound, checked and converted arguments, one per parameter, in declaration
// order (the receiver first for methods); held by the caller and the binder
// for the whole call.
using Slots = PyObject* const*;
using Impl = Ref (*)(Slots);

// One callable: everything its function object, its binding and checking,
// its docstring and its type stub are derived from.
struct Signature {
    const char* name;
    const char* owner;  // class name for a method, nullptr for a function
    std::span<const Param> params;
    const char* returns;  // return annotation
    const char* doc;      // description after the signature line; may be empty
    Impl impl;
};

// A parameter's name as a template argument.
template <std::size_t N>
struct ParamName {
    char text[N];
    constexpr ParamName(const char (&s)[N]) {  // NOLINT: implicit by design
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

constexpr std::size_t index_of(std::span<const Param> params, std::string_view name) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (std::string_view(params[i].name) == name) return i;
    }
    throw "no parameter of that name";  // fails the build where it is asked for
}

// The arguments of one call, read by parameter name; a name that the row does
// not declare does not compile.
template <const auto& Params>
class Arguments {
public:
    explicit Arguments(Slots slots) : slots_(slots) {}
    template <ParamName Name>
    Borrowed get() const {
        constexpr std::size_t i = index_of(Params, Name.text);
        return slots_[i];
    }

private:
    Slots slots_;
};

template <const auto& Params, Ref (*F)(const Arguments<Params>&)>
Ref call_by_name(Slots slots) {
    return F(Arguments<Params>(slots));
}

// A signature row whose implementation reads its arguments by name.
template <const auto& Params, Ref (*F)(const Arguments<Params>&)>
constexpr Signature signature(const char* name, const char* owner, const char* returns, const char* doc) {
    static_assert(std::size(Params) <= max_params);
    return {name, owner, Params, returns, doc, call_by_name<Params, F>};
}

// Readies the function-object type, named `type_name` (a static string).
void ready_function_type(const char* type_name);

// Makes the function object for `sig`, recording `module_name` as its
// module; defaults are resolved now, through the module's namespace.
Ref make_function(const Signature& sig, const char* module_name);

}  // namespace qv
