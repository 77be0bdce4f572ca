// Where a C++ exception becomes a Python exception, for both extension
// modules: one table, so that the same failure reads the same from either.
//
//   std::bad_alloc, std::length_error  MemoryError (a container that cannot grow)
//   std::out_of_range                  IndexError
//   std::overflow_error, range_error   OverflowError
//   std::invalid_argument              ValueError
//   common::OutOfOrder                 RuntimeError
//   any other std::exception           SystemError "internal error: <what>"
//   anything else                      SystemError "internal error: unknown C++ exception"
//
// A Python exception already set travels on untouched; each module catches its
// own carrier of one before it asks this table.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "errors.hpp"

namespace quorvane::common {

inline void set_python_error(const std::exception_ptr& thrown) noexcept {
    try {
        std::rethrow_exception(thrown);
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
    } catch (const OutOfOrder& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

}  // namespace quorvane::common
