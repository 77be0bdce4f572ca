#include "topology.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../binding/lookup.hpp"
#include "../common/pci_tree.hpp"
#include "names.hpp"

namespace qv::topology {

namespace {

using lookup::lookup;
namespace pci = quorvane::pci;

// The prefix-length function that import created. While the module still
// holds it, its calls are side-effect free and the affinity can be computed
// without them. Held for the life of the process.
PyObject* import_prefix_function = nullptr;

// The most list items (chain links, or NIC names in the affinity lists) one
// call builds: the PCI tree core's limit. A real host has a few dozen; a
// hostile document can ask for a number quadratic in its size, which is
// refused up front.
constexpr std::size_t max_list_items = pci::max_affinity_items;

[[noreturn]] void refuse_size(const char* what) {
    PyErr_Format(PyExc_MemoryError, "topology too large: %s would hold more than %zu items", what, max_list_items);
    raise();
}

// The root element, or nothing when the parser rejects the text as malformed.
Ref parse_document(Borrowed text) {
    Ref fromstring = getattr(lookup(names::ET), names::fromstring);
    Ref root = Ref::steal_or_null(PyObject_CallOneArg(fromstring.get(), text.get()));
    if (root) return root;
    // except ET.ParseError
    HeldError exc;
    Ref et = lookup::find(names::ET);
    Ref parse_error = et ? Ref::steal_or_null(PyObject_GetAttr(et.get(), names::ParseError.get())) : Ref();
    if (!parse_error) exc.raise_in_handler();
    if (exc.matches(parse_error)) return Ref();
    exc.raise_again();
}

enum class Kind : std::uint8_t { Other, Gpu, Net, Pci, Cpu, Nvlink };

bool tag_is(Borrowed tag, const Name& name) {
    if (PyUnicode_CheckExact(tag.get())) return PyUnicode_Compare(tag.get(), name.get()) == 0;
    return compare(tag, name, Py_EQ);
}

Kind kind_of(Borrowed element) {
    Ref tag = getattr(element, names::tag);
    if (tag_is(tag, names::pci)) return Kind::Pci;
    if (tag_is(tag, names::gpu)) return Kind::Gpu;
    if (tag_is(tag, names::net)) return Kind::Net;
    if (tag_is(tag, names::cpu)) return Kind::Cpu;
    if (tag_is(tag, names::nvlink)) return Kind::Nvlink;
    return Kind::Other;
}

Ref attribute(Borrowed element, const Name& name) { return call_method(element, names::get, name); }
Ref attribute_or_empty(Borrowed element, const Name& name) { return call_method(element, names::get, name, names::empty); }
Ref to_int(Borrowed raw) { return call(lookup(names::to_int), raw); }
Ref is_one(Borrowed raw) { return Ref::steal(PyBool_FromLong(compare(raw, names::one, Py_EQ))); }

// Host comparison operators, which (unlike the Bool variant) never take
// identity for equality.
bool holds(Borrowed a, Borrowed b, int op) { return truthy(Ref::steal(PyObject_RichCompare(a.get(), b.get(), op))); }

// Every distinct PCI ancestor chain, stored once as a path in a tree of bus
// ids: node 0 is the empty chain, and each other node is its parent's chain
// followed by one bus id. Chains that are equal as texts are the same node, so
// two chains share exactly the prefix that ends at the deepest node both pass
// through, and a device's chain costs one node reference however deep it sits.
class ChainTree {
public:
    static constexpr std::uint32_t empty = 0;

    ChainTree() { nodes_.push_back({empty, 0, Ref()}); }

    // The chain `chain` followed by `busid`.
    std::uint32_t extend(std::uint32_t chain, Borrowed busid) {
        if (!PyUnicode_CheckExact(busid.get())) {
            // Only exact texts are merged; anything else keeps its own node.
            all_text_ = false;
            return add(chain, busid);
        }
        auto found = index_.find(Key{chain, busid.get()});
        if (found != index_.end()) return found->second;
        std::uint32_t node = add(chain, busid);
        index_.emplace(Key{chain, busid.get()}, node);
        return node;
    }

    std::size_t size() const { return nodes_.size(); }
    // Per node, its parent: the tree as the PCI tree core reads it.
    const std::vector<std::uint32_t>& parents() const { return parents_; }
    std::size_t length(std::uint32_t node) const { return nodes_[node].length; }
    // True when every bus id is an exact str, so equal chains share a node.
    bool all_text() const { return all_text_; }

    // The innermost bus id of the chain; "" for the empty chain.
    Ref innermost(std::uint32_t node) const {
        return node == empty ? Ref::borrow(names::empty) : nodes_[node].busid;
    }

    // The chain as a new list, root first.
    Ref as_list(std::uint32_t node) const {
        std::vector<PyObject*> ids;
        for (; node != empty; node = nodes_[node].parent) ids.push_back(nodes_[node].busid.get());
        Ref list = new_list(static_cast<Py_ssize_t>(ids.size()));
        Py_ssize_t i = 0;
        for (auto it = ids.rbegin(); it != ids.rend(); ++it) PyList_SET_ITEM(list.get(), i++, Py_NewRef(*it));
        return list;
    }

private:
    struct Node {
        std::uint32_t parent;
        std::uint32_t length;  // of the chain
        Ref busid;
    };
    struct Key {
        std::uint32_t parent;
        PyObject* busid;  // kept alive by the node it names
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept {
            auto h = static_cast<std::size_t>(PyObject_Hash(k.busid));  // exact str: cannot fail
            return h ^ (k.parent + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
        }
    };
    struct KeyEq {
        bool operator()(const Key& a, const Key& b) const noexcept {
            return a.parent == b.parent && (a.busid == b.busid || PyUnicode_Compare(a.busid, b.busid) == 0);
        }
    };

    std::uint32_t add(std::uint32_t chain, Borrowed busid) {
        nodes_.push_back({chain, nodes_[chain].length + 1, Ref::borrow(busid)});
        parents_.push_back(chain);
        return static_cast<std::uint32_t>(nodes_.size() - 1);
    }

    std::vector<Node> nodes_;
    std::vector<std::uint32_t> parents_{empty};
    std::unordered_map<Key, std::uint32_t, KeyHash, KeyEq> index_;
    bool all_text_ = true;
};

constexpr std::int64_t none = -1;

struct Gpu {
    Ref element;
    std::uint32_t chain;
    std::int64_t cpu;  // index into Tree::cpus, or none
    std::vector<Ref> nvlinks;
};

struct Nic {
    Ref element;
    std::uint32_t chain;
    std::int64_t cpu;
};

// What the parser needs of the element tree, gathered in one pass.
struct Tree {
    ChainTree chains;
    std::vector<Gpu> gpus;
    std::vector<Nic> nics;
    std::vector<Ref> cpus;
};

// Walks the tree once, in document order, with an explicit stack (the
// nesting depth is the document's to choose). Each element hands its
// children their PCI chain and their nearest enclosing cpu, so no device ever
// has to look back up the tree.
Tree gather(Borrowed root) {
    Tree tree;
    struct Frame {
        Ref children;
        std::uint32_t chain;  // chain of the children
        std::int64_t cpu;     // nearest cpu of the children
        std::int64_t gpu;     // the element's index as a GPU, or none
    };
    std::vector<Frame> stack;

    auto enter = [&](Borrowed element, std::uint32_t chain, std::int64_t cpu, std::int64_t parent_gpu) {
        std::uint32_t inner_chain = chain;
        std::int64_t inner_cpu = cpu;
        std::int64_t gpu = none;
        switch (kind_of(element)) {
            case Kind::Gpu:
                gpu = static_cast<std::int64_t>(tree.gpus.size());
                tree.gpus.push_back({Ref::borrow(element), chain, cpu, {}});
                break;
            case Kind::Net: tree.nics.push_back({Ref::borrow(element), chain, cpu}); break;
            case Kind::Nvlink:
                if (parent_gpu != none) {
                    tree.gpus[static_cast<std::size_t>(parent_gpu)].nvlinks.push_back(Ref::borrow(element));
                }
                break;
            case Kind::Pci: {
                Ref busid = attribute(element, names::busid);
                if (truthy(busid)) inner_chain = tree.chains.extend(chain, busid);
                break;
            }
            case Kind::Cpu:
                inner_cpu = static_cast<std::int64_t>(tree.cpus.size());
                tree.cpus.push_back(Ref::borrow(element));
                break;
            case Kind::Other: break;
        }
        stack.push_back({Ref::steal(PyObject_GetIter(element.get())), inner_chain, inner_cpu, gpu});
    };

    enter(root, ChainTree::empty, none, none);
    while (!stack.empty()) {
        Ref child = Ref::steal_or_null(PyIter_Next(stack.back().children.get()));
        if (!child) {
            if (PyErr_Occurred()) raise();
            stack.pop_back();
            continue;
        }
        const Frame& top = stack.back();
        enter(child, top.chain, top.cpu, top.gpu);  // copies before the stack grows
    }
    return tree;
}

Ref numa_of(const Tree& tree, std::int64_t cpu) {
    if (cpu == none) return Ref::none();
    return to_int(attribute(tree.cpus[static_cast<std::size_t>(cpu)], names::numaid));
}

Ref gpu_entry(const Tree& tree, const Gpu& gpu) {
    Ref entry = new_dict();
    dict_set(entry, names::dev, to_int(attribute(gpu.element, names::dev)));
    dict_set(entry, names::rank, to_int(attribute(gpu.element, names::rank)));
    dict_set(entry, names::sm, to_int(attribute(gpu.element, names::sm)));
    dict_set(entry, names::gdr, is_one(attribute(gpu.element, names::gdr)));
    dict_set(entry, names::busid, tree.chains.innermost(gpu.chain));
    dict_set(entry, names::numa, numa_of(tree, gpu.cpu));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref total = zero;
    for (const Ref& link : gpu.nvlinks) {
        Ref count = to_int(attribute(link, names::count));
        total = Ref::steal(PyNumber_Add(total.get(), truthy(count) ? count.get() : zero.get()));
    }
    dict_set(entry, names::nvlink_count, total);
    Ref peers = Ref::steal(PySet_New(nullptr));
    for (const Ref& link : gpu.nvlinks) {
        Ref target = attribute(link, names::target);
        if (truthy(target)) check(PySet_Add(peers.get(), target.get()));
    }
    dict_set(entry, names::nvlink_peers, Ref::steal(PyLong_FromSsize_t(PySet_GET_SIZE(peers.get()))));
    return entry;
}

Ref nic_entry(const Tree& tree, const Nic& nic) {
    Ref entry = new_dict();
    dict_set(entry, names::name, attribute_or_empty(nic.element, names::name));
    dict_set(entry, names::speed_mbps, to_int(attribute(nic.element, names::speed)));
    dict_set(entry, names::port, to_int(attribute(nic.element, names::port)));
    dict_set(entry, names::gdr, is_one(attribute(nic.element, names::gdr)));
    dict_set(entry, names::guid, attribute_or_empty(nic.element, names::guid));
    dict_set(entry, names::busid, tree.chains.innermost(nic.chain));
    dict_set(entry, names::numa, numa_of(tree, nic.cpu));
    return entry;
}

// Affinity by calling the module's prefix-length function for every GPU and
// NIC pair, over chain lists made once per device. Used whenever that
// function has been replaced (its calls are then the caller's to observe) or
// the chains hold something other than exact texts.
Ref affinity_by_calls(const Tree& tree, const std::vector<Ref>& gpus, const std::vector<Ref>& nics) {
    std::size_t links = 0;
    for (const Gpu& gpu : tree.gpus) links += tree.chains.length(gpu.chain);
    for (const Nic& nic : tree.nics) links += tree.chains.length(nic.chain);
    if (links > max_list_items) refuse_size("the PCI ancestor chains");

    std::vector<Ref> gpu_chains;
    std::vector<Ref> nic_chains;
    gpu_chains.reserve(tree.gpus.size());
    nic_chains.reserve(tree.nics.size());
    for (const Gpu& gpu : tree.gpus) gpu_chains.push_back(tree.chains.as_list(gpu.chain));
    for (const Nic& nic : tree.nics) nic_chains.push_back(tree.chains.as_list(nic.chain));

    Ref affinity = new_dict();
    Ref zero = Ref::steal(PyLong_FromLong(0));
    for (std::size_t g = 0; g < gpus.size(); ++g) {
        Ref best_depth = zero;
        Ref best = new_list();
        for (std::size_t n = 0; n < nics.size(); ++n) {
            Ref depth = call(lookup(names::shared_prefix_len), gpu_chains[g], nic_chains[n]);
            Ref name = item(nics[n], names::name);
            if (holds(depth, best_depth, Py_GT)) {
                best_depth = depth;
                best = new_list();
                list_append(best, name);
            } else if (holds(depth, zero, Py_NE) && holds(depth, best_depth, Py_EQ)) {
                int present = PySequence_Contains(best.get(), name.get());
                check(present);
                if (!present) list_append(best, name);
            }
        }
        Ref dev = item(gpus[g], names::dev);
        if (!dev.is(Py_None) && PyList_GET_SIZE(best.get()) > 0) {
            dict_set(affinity, Ref::steal(PyObject_Str(dev.get())), best);
        }
    }
    return affinity;
}

// The same affinity, computed on the chain tree without a call per pair, by
// the PCI tree core that the analysis shares.
Ref affinity_on_tree(const Tree& tree, const std::vector<Ref>& gpus, const std::vector<Ref>& nic_names) {
    std::vector<std::uint32_t> gpu_chain, nic_chain, nic_key;
    std::vector<char> listed;
    std::vector<Ref> devs;
    gpu_chain.reserve(gpus.size());
    listed.reserve(gpus.size());
    devs.reserve(gpus.size());
    for (std::size_t g = 0; g < gpus.size(); ++g) {
        devs.push_back(item(gpus[g], names::dev));
        gpu_chain.push_back(tree.gpus[g].chain);
        listed.push_back(!devs.back().is(Py_None));
    }
    // Names as small integers: equal texts, equal keys.
    struct TextHash {
        std::size_t operator()(PyObject* s) const noexcept { return static_cast<std::size_t>(PyObject_Hash(s)); }
    };
    struct TextEq {
        bool operator()(PyObject* a, PyObject* b) const noexcept { return a == b || PyUnicode_Compare(a, b) == 0; }
    };
    std::unordered_map<PyObject*, std::uint32_t, TextHash, TextEq> ids;
    nic_chain.reserve(nic_names.size());
    nic_key.reserve(nic_names.size());
    for (std::size_t n = 0; n < nic_names.size(); ++n) {
        nic_chain.push_back(tree.nics[n].chain);
        nic_key.push_back(ids.try_emplace(nic_names[n].get(), static_cast<std::uint32_t>(ids.size())).first->second);
    }

    pci::Affinity found;
    try {
        found = pci::gpu_nic_affinity(tree.chains.parents(), gpu_chain, listed, nic_chain, nic_key);
    } catch (const pci::TooLarge& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        raise();
    }

    Ref affinity = new_dict();
    for (std::size_t g = 0; g < gpus.size(); ++g) {
        if (!listed[g] || found.node[g] == ChainTree::empty) continue;
        const std::vector<std::uint32_t>& closest = found.nics[g];
        Ref names = new_list(static_cast<Py_ssize_t>(closest.size()));  // a list per GPU
        for (std::size_t i = 0; i < closest.size(); ++i) {
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(nic_names[closest[i]].get()));
        }
        dict_set(affinity, Ref::steal(PyObject_Str(devs[g].get())), names);
    }
    return affinity;
}

Ref gpu_nic_affinity(const Tree& tree, const std::vector<Ref>& gpus, const std::vector<Ref>& nics) {
    bool calls_observable = !lookup(names::shared_prefix_len).is(import_prefix_function);
    if (calls_observable || !tree.chains.all_text()) return affinity_by_calls(tree, gpus, nics);
    std::vector<Ref> nic_names;
    nic_names.reserve(nics.size());
    for (const Ref& nic : nics) {
        nic_names.push_back(item(nic, names::name));
        if (!PyUnicode_CheckExact(nic_names.back().get())) return affinity_by_calls(tree, gpus, nics);
    }
    return affinity_on_tree(tree, gpus, nic_names);
}

Ref list_of(const std::vector<Ref>& items) {
    Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    }
    return list;
}

constexpr Param prefix_params[] = {positional("a", Check::List, "list[str]"), positional("b", Check::List, "list[str]")};

Ref prefix_len(const Arguments<prefix_params>& args) {
    Borrowed a = args.get<"a">();
    Borrowed b = args.get<"b">();
    Py_ssize_t count = 0;
    // Positions are re-checked every step: a comparison may change the lists.
    for (Py_ssize_t i = 0;; ++i) {
        if (i >= PyList_GET_SIZE(a.get())) break;
        Ref left = Ref::borrow(PyList_GET_ITEM(a.get(), i));
        if (i >= PyList_GET_SIZE(b.get())) break;
        Ref right = Ref::borrow(PyList_GET_ITEM(b.get(), i));
        if (holds(left, right, Py_NE)) break;
        ++count;
    }
    return Ref::steal(PyLong_FromSsize_t(count));
}

constexpr Param topo_params[] = {positional("xml_text", Check::Text, "str")};

Ref parse_topology(const Arguments<topo_params>& a) {
    Ref text = call_method(a.get<"xml_text">(), names::strip);
    Py_ssize_t at = PyUnicode_Find(text.get(), names::system_gate.get(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) raise();
    if (at == -1) return new_dict();

    Ref root = parse_document(text);
    if (!root) return new_dict();
    const Tree tree = gather(root);

    std::vector<Ref> gpus;
    std::vector<Ref> nics;
    gpus.reserve(tree.gpus.size());
    nics.reserve(tree.nics.size());
    for (const Gpu& gpu : tree.gpus) gpus.push_back(gpu_entry(tree, gpu));
    for (const Nic& nic : tree.nics) nics.push_back(nic_entry(tree, nic));

    Ref affinity = gpu_nic_affinity(tree, gpus, nics);

    Ref numa_ids = Ref::steal(PySet_New(nullptr));
    for (const auto* entries : {&gpus, &nics}) {
        for (const Ref& entry : *entries) check(PySet_Add(numa_ids.get(), item(entry, names::numa).get()));
    }
    check(PySet_Discard(numa_ids.get(), Py_None));

    Ref inventory = new_dict();
    dict_set(inventory, names::gpus, list_of(gpus));
    dict_set(inventory, names::nics, list_of(nics));
    dict_set(inventory, names::gpu_nic_affinity, affinity);
    dict_set(inventory, names::numa_domains, Ref::steal(PyLong_FromSsize_t(PySet_GET_SIZE(numa_ids.get()))));
    return inventory;
}

}  // namespace

const Signature shared_prefix_len = signature<prefix_params, prefix_len>(
    "_shared_prefix_len", nullptr, "int", "Length of the common root-first prefix of two PCI ancestor chains.");

const Signature parse_nccl_topo_xml = signature<topo_params, parse_topology>(
    "parse_nccl_topo_xml", nullptr, "dict[str, Any]",
    "Parse an ``NCCL_TOPO_DUMP_FILE`` XML dump into GPU/NIC inventory plus the\n"
    "GPU<->NIC PCI affinity that drives GPUDirect-RDMA rank placement.\n"
    "\n"
    "NCCL nests the hardware tree as ``system > cpu(numa) > pci... > {gpu,nic}``.\n"
    "A GPU and a NIC that share their nearest ``<pci>`` ancestor sit under the\n"
    "same PCIe switch -- the local NIC NCCL prefers for that GPU's GDR traffic.\n"
    "Works for NVIDIA and AMD (RCCL emits the same schema). Returns ``{}`` on\n"
    "unparseable input; partial trees yield partial results.");

void remember_prefix_function(Borrowed) { lookup::keep_import_value(import_prefix_function, names::shared_prefix_len); }

}  // namespace qv::topology
