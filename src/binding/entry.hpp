// Where C++ exceptions end. Every entry point from the interpreter (the call
// trampoline, the module's create and exec steps, attribute getters) runs its
// body through `guarded`, which turns whatever was thrown into the Python
// exception that says what happened (by the table both modules share) and
// returns the failure value.
#pragma once

#include <exception>

#include "ref.hpp"
#include "../common/python_errors.hpp"

namespace qv {

template <typename R, typename F>
R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (...) {
        quorvane::common::set_python_error(std::current_exception());
    }
    return failure;
}

}  // namespace qv
