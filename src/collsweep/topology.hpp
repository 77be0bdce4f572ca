// The NCCL topology dump parser: GPU/NIC inventory, NUMA placement and the
// GPU-to-NIC PCIe affinity.
#pragma once

#include "../binding/function.hpp"

namespace qv::topology {

extern const Signature shared_prefix_len;
extern const Signature parse_nccl_topo_xml;

// Import-time step: notes the prefix-length function that import created, so
// the parser can tell whether a caller has replaced it since.
void remember_prefix_function(Borrowed module);

}  // namespace qv::topology
