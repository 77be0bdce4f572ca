// Running outside programs: the runner classes.
#pragma once

#include "../binding/function.hpp"

namespace qv::launching {

Ref shell_runner_run(Args args);
Ref select_launcher_mode(Args args);
Ref build_multi_node_command(Args args);

}  // namespace qv::launching
