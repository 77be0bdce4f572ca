// The signature table: every callable of the module, declared once.
#pragma once

#include "function.hpp"

namespace qv {

// The table entry whose qualified name ("parse_nccl_table",
// "NcclReport.to_dict") is `qualname`; SystemError when there is none.
const Callable& callable(const char* qualname);

// A new function object for the table entry `qualname`.
Ref function(const char* qualname);

}  // namespace qv
