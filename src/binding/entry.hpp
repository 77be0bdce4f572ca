// Where C++ exceptions end. Every entry point from the interpreter (the call
// trampoline, the module's create and exec steps, attribute getters) runs its
// body through `guarded`, which turns whatever was thrown into the Python
// exception that says what happened and returns the failure value.
#pragma once

#include <new>
#include <stdexcept>

#include "ref.hpp"

namespace qv {

template <typename R, typename F>
R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
    return failure;
}

}  // namespace qv
