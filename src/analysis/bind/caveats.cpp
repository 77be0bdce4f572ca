// Caveats: what a reader must know about a result even when it passes.
#include "bind.hpp"

#include "../caveats.hpp"
#include "../hardware.hpp"

namespace quorvane::analysis::bind {

void init_caveats(nb::module_& m) {
    namespace qa = quorvane::analysis;
    nb::class_<qa::Caveat> caveat(m, "Caveat", "What a reader must know about a result even when it passes.");
    Record(caveat)
        .ro("code", &qa::Caveat::code)
        .ro("message", &qa::Caveat::message)
        .to_dict("The caveat as the record's dict: code, message.");
    caveat.def(nb::self == nb::self)
        .def("__repr__", [](const qa::Caveat& c) { return "Caveat(" + c.code + ": " + c.message + ")"; });

    m.def("caveats", [](std::string gpu_type, std::string scope, int num_nodes, int gpus_per_node,
                        std::string launcher, std::optional<std::map<std::string, std::string>> environment,
                        std::vector<std::string> forwarded, std::vector<std::pair<std::string, std::string>> ranks,
                        bool emulated) {
              qa::RunShape shape;
              shape.gpu_type = std::move(gpu_type);
              shape.scope = std::move(scope);
              shape.num_nodes = num_nodes;
              shape.gpus_per_node = gpus_per_node;
              shape.launcher = std::move(launcher);
              shape.environment_known = environment.has_value();
              if (environment) shape.environment.assign(environment->begin(), environment->end());
              shape.forwarded = std::move(forwarded);
              shape.ranks = std::move(ranks);
              shape.emulated = emulated;
              return qa::caveats_for(shape);
          },
          "gpu_type"_a, "scope"_a, "num_nodes"_a, "gpus_per_node"_a, nb::kw_only(), "launcher"_a = "",
          "environment"_a = nb::none(), "forwarded"_a = std::vector<std::string>{},
          "ranks"_a = std::vector<std::pair<std::string, std::string>>{}, "emulated"_a = false,
          "Caveats of a run: two hosts without NCCL_ALGO=RING, NCCL_* settings mpirun does not forward "
          "(environment: the caller's NCCL_* variables, None when unknown as for a saved output; forwarded: "
          "the names the launcher passes on), and the output's # Rank lines (ranks: (host, device) pairs) "
          "against the GPU type, ranks and hosts asked for.");
    m.def("gpu_type_of_device", &qa::gpu_type_of_device, "device"_a,
          "The GPU type a # Rank line's device name denotes ('NVIDIA H100 80GB HBM3' -> 'H100_SXM'), or None.");
}

}  // namespace quorvane::analysis::bind
