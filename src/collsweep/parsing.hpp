// The nccl-tests table parser, executable-name labels and _to_int.
#pragma once

#include "../binding/function.hpp"

namespace qv::parsing {

// Import-time step: notes the row pattern and the row record that import
// made, so the parser can tell whether a caller has replaced them since.
void remember_import_objects(Borrowed module);

Ref parse_nccl_table(Args args);
Ref collective_name_for_binary(Args args);
Ref to_int(Args args);

}  // namespace qv::parsing
