#include "launching.hpp"

namespace qv::launching {

// The protocol's own run: arguments are checked by the caller's binding, then
// there is nothing to run.
Ref shell_runner_run(Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}

}  // namespace qv::launching
