// Record types, module constants and the report dictionary.
#pragma once

#include "../binding/function.hpp"

namespace qv::records {

// Import-time steps, in the module's attribute order.
void define_constants(Borrowed module);
void define_threshold_tables(Borrowed module);
void define_result_records(Borrowed module);  // NcclResult, Threshold, NcclReport
void define_row_patterns(Borrowed module);
void define_launcher_config(Borrowed module);
void define_shell_result(Borrowed module);
void define_runner_classes(Borrowed module);  // ShellRunner, LocalShellRunner

// Methods of the records.
Ref result_to_dict(Args args);
Ref report_to_dict(Args args);
Ref report_headline(Args args);

}  // namespace qv::records
