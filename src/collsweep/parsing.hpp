// The nccl-tests table parser, executable-name labels and _to_int.
#pragma once

#include "../binding/function.hpp"

namespace qv::parsing {

extern const Signature collective_name_for_binary;
extern const Signature parse_nccl_table;
extern const Signature to_int;

// Import-time step: notes the row pattern and the row record that import
// made, so the parser can tell whether a caller has replaced them since.
void remember_import_objects(Borrowed module);

}  // namespace qv::parsing
