// The C++ exceptions that carry a meaning across into Python, in plain C++:
// code of either module throws them without knowing about Python.
#pragma once

#include <stdexcept>

namespace quorvane::common {

// A call made at the wrong moment (a step asked for before the one it needs
// was done): the caller's mistake, not bad data and not a fault of ours.
class OutOfOrder : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace quorvane::common
