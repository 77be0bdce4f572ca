// Running outside programs: the runner classes, the search for the benchmark
// executables and the benchmark command lines.
#pragma once

#include "../binding/function.hpp"

namespace qv::launching {

extern const Signature resolve_binary;
extern const Signature build_binary_command;
extern const Signature select_launcher_mode;
extern const Signature build_multi_node_command;

// Import-time step: ShellRunner and LocalShellRunner.
void define_runner_classes(Borrowed module);

}  // namespace qv::launching
