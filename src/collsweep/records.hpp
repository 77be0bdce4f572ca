// Record types, module constants and the report dictionary.
#pragma once

#include <initializer_list>

#include "../binding/function.hpp"

namespace qv::records {

// Import-time steps, in the module's attribute order.
void define_constants(Borrowed module);
void define_threshold_tables(Borrowed module);
void define_result_records(Borrowed module);  // NcclResult, Threshold, NcclReport
void define_row_patterns(Borrowed module);
void define_launcher_config(Borrowed module);
void define_shell_result(Borrowed module);

void set_attr(Borrowed module, const char* name, Borrowed value);

// type(name, (base,), namespace) with the module's name, a documentation
// string (none when null) and the given methods as function objects.
Ref make_class(const char* name, Borrowed base, const char* doc, std::initializer_list<const Signature*> methods);

}  // namespace qv::records
