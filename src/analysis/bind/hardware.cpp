// Hardware facts: link budgets and the values healthy hosts publish.
#include "bind.hpp"

#include "../hardware.hpp"

namespace quorvane::analysis::bind {

void init_hardware(nb::module_& m) {
    namespace qa = quorvane::analysis;
    nb::class_<qa::LinkBudget> budget(m, "LinkBudget",
                                      "The most all_reduce bus bandwidth (GB/s per GPU, one direction) the links allow.");
    Record(budget)
        .ro("gpu_type", &qa::LinkBudget::gpu_type)
        .ro("scope", &qa::LinkBudget::scope)
        .ro("gbps", &qa::LinkBudget::gbps)
        .ro("basis", &qa::LinkBudget::basis)
        .ro("source", &qa::LinkBudget::source)
        .to_dict();
    nb::class_<qa::TypicalBusbw> typical(m, "TypicalBusbw",
                                         "The all_reduce bus bandwidth healthy hosts published at one message size.");
    Record(typical)
        .ro("gpu_type", &qa::TypicalBusbw::gpu_type)
        .ro("scope", &qa::TypicalBusbw::scope)
        .ro("size_bytes", &qa::TypicalBusbw::size_bytes)
        .ro("low_gbps", &qa::TypicalBusbw::low_gbps)
        .ro("high_gbps", &qa::TypicalBusbw::high_gbps)
        .ro("gpus", &qa::TypicalBusbw::gpus)
        .ro("nodes", &qa::TypicalBusbw::nodes)
        .ro("source", &qa::TypicalBusbw::source)
        .to_dict();
    m.def("link_budgets", &qa::link_budgets, "Every link budget known, with its source.");
    m.def("typical_values", &qa::typical_values, "Every typical healthy all_reduce value known, with its source.");
    m.def("link_budget", &qa::link_budget, "gpu_type"_a, "scope"_a, "The link budget of a GPU type, or None.");
    m.def("typical_busbw", &qa::typical_busbw, "gpu_type"_a, "scope"_a, "size_bytes"_a,
          "What healthy hosts of a GPU type measure at one size (low, high, gpus, source), or None.");
    m.def("largest_measured_size", &qa::largest_measured_size, "begin"_a, "end"_a, "factor"_a,
          "The largest size a sweep from begin, multiplying by factor, measures without passing end.");
}

}  // namespace quorvane::analysis::bind
