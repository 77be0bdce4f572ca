// The one function-object type behind every callable of the module, and the
// declarations that the signature table is made of.
#pragma once

#include <cstddef>
#include <vector>

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

// Bound, checked and converted arguments, one per parameter, in declaration
// order (the receiver first for methods).
using Args = PyObject* const*;
using Impl = Ref (*)(Args);

struct Callable {
    const char* name;
    const char* owner;  // class name for a method, nullptr for a function
    std::vector<Param> params;
    const char* returns;  // return annotation
    const char* doc;      // description after the signature line; may be empty
    Impl impl;
};

inline constexpr std::size_t max_params = 12;

// Makes the function object for `spec`; defaults are resolved now.
Ref make_function(const Callable& spec);

// Readies the function-object type; called once when the module executes.
void ready_function_type();

}  // namespace qv
