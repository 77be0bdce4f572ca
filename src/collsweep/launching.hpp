// Running outside programs: the runner classes, the search for the benchmark
// executables and the single-host benchmark command line.
#pragma once

#include "../binding/function.hpp"

namespace qv::launching {

Ref shell_runner_run(Args args);
Ref local_shell_runner_run(Args args);
Ref resolve_binary(Args args);
Ref build_binary_command(Args args);

}  // namespace qv::launching
