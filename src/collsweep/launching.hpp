// Running outside programs: the runner classes, the search for the benchmark
// executables and the benchmark command lines.
#pragma once

#include "../binding/function.hpp"

namespace qv::launching {

Ref shell_runner_run(Args args);
Ref local_shell_runner_run(Args args);
Ref resolve_binary(Args args);
Ref build_binary_command(Args args);
Ref select_launcher_mode(Args args);
Ref build_multi_node_command(Args args);

}  // namespace qv::launching
