// Running outside programs: the runner classes.
#pragma once

#include "../binding/function.hpp"

namespace qv::launching {

Ref shell_runner_run(Args args);
Ref local_shell_runner_run(Args args);

}  // namespace qv::launching
