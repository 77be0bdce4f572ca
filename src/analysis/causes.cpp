#include "causes.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <utility>

namespace quorvane::analysis {

namespace {

constexpr std::size_t kEvidenceMax = 240;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string clip(std::string_view line) {
    line = trim(line);
    if (line.size() <= kEvidenceMax) return std::string(line);
    return std::string(line.substr(0, kEvidenceMax - 3)) + "...";
}

// One line of output, as printed and lower-cased (the needles are lower case).
struct Line {
    std::string_view text;
    std::string_view low;
    bool has(std::string_view needle) const { return low.find(needle) != std::string_view::npos; }
    template <typename... Needles>
    bool has_any(Needles... needles) const { return (has(needles) || ...); }
    // The text after `needle`, up to the first of `stops` (or the end).
    std::string after(std::string_view needle, std::string_view stops) const {
        auto at = low.find(needle);
        if (at == std::string_view::npos) return {};
        std::string_view rest = trim(text.substr(at + needle.size()));
        auto end = rest.find_first_of(stops);
        return std::string(trim(rest.substr(0, end)));
    }
};

// The run's output, stderr first (where failures are told), then stdout.
class Output {
public:
    Output(std::string_view out, std::string_view err) : err_(err), out_(out), err_low_(lower(err)), out_low_(lower(out)) {
        split(err_, err_low_);
        split(out_, out_low_);
    }

    template <typename Pred>
    std::optional<Line> find(Pred&& pred) const {
        for (const Line& line : lines_)
            if (pred(line)) return line;
        return std::nullopt;
    }

    template <typename... Needles>
    std::optional<Line> find_any(Needles... needles) const {
        return find([&](const Line& l) { return l.has_any(needles...); });
    }

    // The last line with something on it, for evidence when no rule matched.
    std::string last_words() const {
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
            if (!trim(it->text).empty() && it->text.front() != '#') return clip(it->text);
        return {};
    }

private:
    void split(std::string_view text, std::string_view low) {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            std::size_t len = end - start;
            if (len && text[start + len - 1] == '\r') --len;
            lines_.push_back(Line{text.substr(start, len), low.substr(start, len)});
            start = end + 1;
        }
    }

    std::string_view err_, out_;
    std::string err_low_, out_low_;
    std::vector<Line> lines_;
};

Cause make(const char* code, std::string advice, std::string evidence) {
    return Cause{code, std::move(advice), std::move(evidence)};
}

// A signal number named in a launcher's message: "exited on signal 11
// (Segmentation fault)" (mpirun) or "task 0: Segmentation fault" (srun).
std::optional<int> signal_in(const Line& line) {
    static constexpr std::pair<const char*, int> kDescriptions[] = {
        {"segmentation fault", 11}, {"bus error", 7},   {"aborted", 6},    {"floating point exception", 8},
        {"illegal instruction", 4}, {"killed", 9},      {"terminated", 15}};
    if (line.has("exited on signal ") || line.has("killed by signal ")) {
        std::string digits = line.after(line.has("exited on signal ") ? "exited on signal " : "killed by signal ", " (.");
        if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }) &&
            digits.size() < 4)
            return std::stoi(digits);
    }
    if (line.has("srun: error:") && line.has(": task ")) {
        for (auto [text, number] : kDescriptions)
            if (line.has(text)) return number;
    }
    return std::nullopt;
}

std::string signal_label(int number) {
    std::string name = signal_name(number);
    return name.empty() ? "signal " + std::to_string(number) : "SIG" + name;
}

Cause signal_cause(int number, std::string evidence) {
    std::string label = signal_label(number);
    std::string advice;
    switch (number) {
        case 9:
            advice = "killed by SIGKILL: often the host's out-of-memory killer or a job limit; check dmesg "
                     "and the scheduler's log";
            break;
        case 1: case 2: case 15:
            advice = "stopped from outside by " + label + " (a scheduler limit, an operator or a shutdown); "
                     "run it again when nothing interrupts it";
            break;
        default:
            advice = "the benchmark crashed with " + label + ": check that nccl-tests was built against the "
                     "NCCL and CUDA found at run time, and look for a core dump";
    }
    return make("signal", std::move(advice), std::move(evidence));
}

std::optional<Cause> not_found(const Output& out) {
    if (auto l = out.find_any("error while loading shared libraries: ")) {
        std::string lib = l->after("error while loading shared libraries: ", ":");
        if (lib.empty()) lib = "a shared library";
        return make("missing-library",
                    "the dynamic loader cannot find " + lib + ": install it on every host or add its folder "
                    "to LD_LIBRARY_PATH (forwarded to remote ranks too)",
                    clip(l->text));
    }
    if (auto l = out.find_any("nccl-tests binary not found")) {
        return make("not-found",
                    "nccl-tests is not installed where quorvane looked: build it (make in its checkout) and "
                    "pass its build folder as --binary-root",
                    clip(l->text));
    }
    if (auto l = out.find_any("orted: command not found", "orted: not found")) {
        return make("not-found",
                    "Open MPI's orted is missing on a remote host: install Open MPI there, on the PATH of "
                    "non-interactive ssh sessions",
                    clip(l->text));
    }
    if (auto l = out.find_any("unable to find the specified executable", "could not access or execute an executable",
                              "command not found", "no such file or directory: '", "execve(): ")) {
        std::string what = l->after("no such file or directory: '", "'");
        return make("not-found",
                    (what.empty() ? std::string("a program") : what) +
                        " is missing: check that it exists at the same path on every host and is executable",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> launcher_plugin(const Output& out) {
    if (auto l = out.find_any("couldn't load specified plugin name for mpi/",
                              "couldn't find the specified plugin name for mpi/",
                              "cannot create mpi context for mpi/", "invalid mpi type")) {
        std::string plugin = l->after("mpi/", ":' ");
        if (plugin.empty()) plugin = l->after("invalid mpi type '", "'");
        plugin = plugin.empty() ? "the MPI plugin asked for" : "mpi/" + plugin;
        return make("launcher-plugin",
                    "srun lacks " + plugin + ": see `srun --mpi=list`; Slurm's PMIx plugin also needs the PMIx "
                    "library (libpmix) on every node",
                    clip(l->text));
    }
    if (auto l = out.find_any("a requested component was not found, or was unable to be opened")) {
        return make("launcher-plugin",
                    "Open MPI cannot open a component it was asked for: check the OMPI_MCA_* settings and that "
                    "Open MPI is installed whole on every host",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> ssh(const Output& out) {
    if (auto l = out.find_any("host key verification failed", "remote host identification has changed")) {
        return make("ssh",
                    "ssh refused a host key: add every host to known_hosts (ssh-keyscan HOST >> ~/.ssh/known_hosts) "
                    "or fix the changed key",
                    clip(l->text));
    }
    if (auto l = out.find_any("permission denied (publickey", "permission denied, please try again")) {
        return make("ssh",
                    "ssh was refused: install this user's public key on every host (the launch needs "
                    "password-less ssh)",
                    clip(l->text));
    }
    if (auto l = out.find_any("ssh: connect to host ", "ssh: could not resolve hostname ")) {
        std::string host = l->has("ssh: connect to host ") ? l->after("ssh: connect to host ", " :")
                                                            : l->after("ssh: could not resolve hostname ", " :");
        return make("ssh",
                    "cannot reach " + host + " over ssh: check the address, that sshd runs there and that the "
                    "port is open",
                    clip(l->text));
    }
    if (auto l = out.find_any("orte was unable to reliably start one or more daemons",
                              "prte was unable to reliably start one or more daemons")) {
        return make("ssh",
                    "mpirun could not start its daemons on the remote hosts: check password-less ssh to every "
                    "host and that Open MPI is installed there",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> no_gpu(const Output& out) {
    if (auto l = out.find_any("cuda driver version is insufficient", "found no nvidia driver")) {
        return make("no-gpu",
                    "CUDA cannot use the GPUs: the NVIDIA driver is missing or older than the CUDA runtime "
                    "nccl-tests was built with",
                    clip(l->text));
    }
    if (auto l = out.find_any("no cuda-capable device is detected", "all cuda-capable devices are busy or unavailable",
                              "no rocm-capable device is detected", "hiperrornodevice", "cudaerrornodevice",
                              "nvidia-smi has failed", "but only 0 were found")) {
        return make("no-gpu",
                    "CUDA sees no usable GPU: check nvidia-smi, CUDA_VISIBLE_DEVICES and, in a container or a "
                    "Slurm job, that the GPUs were passed in",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> out_of_memory(const Output& out) {
    if (auto l = out.find_any("oom-kill", "oom_kill", "out of memory: killed process")) {
        return make("out-of-memory",
                    "the host's out-of-memory killer ended a rank: free host memory or run fewer ranks per host",
                    clip(l->text));
    }
    if (auto l = out.find_any("out of memory", "cudaerrormemoryallocation", "cuda_error_out_of_memory",
                              "hiperroroutofmemory", "failed to cuda calloc")) {
        return make("out-of-memory",
                    "GPU memory ran out: stop the other processes on the GPUs (nvidia-smi lists them) and run "
                    "again",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> crashed(const Output& out, int exit_status) {
    if (exit_status < 0) return signal_cause(-exit_status, "exit status " + std::to_string(exit_status) +
                                                               " (" + signal_label(-exit_status) + ")");
    std::optional<int> number;
    auto l = out.find([&](const Line& line) { return (number = signal_in(line)).has_value(); });
    if (l) return signal_cause(*number, clip(l->text));
    return std::nullopt;
}

std::optional<Cause> bootstrap(const Output& out) {
    auto l = out.find([](const Line& line) {
        if (!line.has_any("nccl warn", "bootstrap")) return false;
        return line.has_any("no socket interface", "interface found", "socketstartconnect", "socketpollconnect",
                            "connection refused", "connection reset", "connection closed by remote peer",
                            "connection timed out", "no route to host", "mismatch in rank count", "timeout",
                            "timed out");
    });
    if (!l) return std::nullopt;
    if (l->has_any("no socket interface", "interface found")) {
        return make("bootstrap",
                    "NCCL found no network interface to connect its ranks: set NCCL_SOCKET_IFNAME to an "
                    "interface every host has, and pass it to every rank",
                    clip(l->text));
    }
    return make("bootstrap",
                "NCCL ranks could not connect to each other: check that the hosts reach each other on the "
                "interface NCCL picked (NCCL_SOCKET_IFNAME) and that no firewall blocks its ports",
                clip(l->text));
}

std::optional<Cause> invalid_usage(const Output& out) {
    if (auto l = out.find_any("invalid number of gpus:")) {
        return make("invalid-usage",
                    "more GPUs were asked for than CUDA sees on a host: lower --gpus or --gpus-per-node, or check "
                    "CUDA_VISIBLE_DEVICES",
                    clip(l->text));
    }
    if (auto l = out.find_any("there are not enough slots available")) {
        return make("invalid-usage",
                    "mpirun has fewer slots than the ranks asked for: check --gpus-per-node against the hosts",
                    clip(l->text));
    }
    if (auto l = out.find_any("requested node configuration is not available", "unable to allocate resources",
                              "more processors requested than permitted")) {
        return make("invalid-usage",
                    "Slurm cannot place the ranks asked for: check --gpus-per-node and the hosts against the "
                    "allocation",
                    clip(l->text));
    }
    auto l = out.find([](const Line& line) {
        return trim(line.low).rfind("usage: ", 0) == 0 ||
               line.has_any("invalid option '", "invalid size specified for", "invalid sizes for 'minbytes'",
                            "unknown argument", "unrecognized option", "needs a value", "requires nccl >=",
                            "requires enabling symmetric memory");
    });
    if (l) {
        return make("invalid-usage",
                    "the benchmark refused its arguments: check that this nccl-tests build accepts "
                    "-b -e -f -g -n -w",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> footer(const Output& out) {
    auto bad = out.find([](const Line& line) {
        if (!line.has("out of bounds values") || !line.has("failed")) return false;
        std::string count = line.after(":", " ");
        return !(count == "0");
    });
    if (bad) {
        return make("corruption",
                    "the benchmark counted wrong results: a GPU, NVLink or NIC corrupts data; run it again, then "
                    "test the GPUs one by one (e.g. dcgmi diag)",
                    clip(bad->text));
    }
    if (auto l = out.find([](const Line& line) { return line.has("avg bus bandwidth") && line.has("failed"); })) {
        return make("bandwidth-gate",
                    "nccl-tests' own NCCL_TESTS_MIN_BW gate failed (average below 90% of it): unset the "
                    "variable to let quorvane grade, or look into the slow links",
                    clip(l->text));
    }
    return std::nullopt;
}

std::optional<Cause> timed_out(const Output& out, int exit_status) {
    if (auto l = out.find_any("test timeout (")) {
        return make("timeout",
                    "nccl-tests stopped itself at its -T time-out: an operation hung (often a rank waiting for "
                    "a peer); run again with NCCL_DEBUG=INFO",
                    clip(l->text));
    }
    if (auto l = out.find_any("due to time limit", "time limit for job execution has been reached")) {
        return make("timeout",
                    "the launcher's time limit ended the run: raise the job's limit or look for a hung rank",
                    clip(l->text));
    }
    if (exit_status == 124) {
        auto l = out.find_any("timeout after");
        return make("timeout",
                    "the run did not finish within --timeout: a rank hung (often NCCL waiting for a peer) or the "
                    "limit is too short; run again with NCCL_DEBUG=INFO or a longer --timeout",
                    l ? clip(l->text) : "exit status 124");
    }
    return std::nullopt;
}

std::optional<Cause> nccl_error(const Output& out) {
    auto l = out.find_any("test nccl failure", "test cuda failure", "test hip failure", "test failure ");
    if (!l) l = out.find_any("nccl warn", "ncclinternalerror", "ncclsystemerror", "ncclremoteerror",
                             "ncclunhandledcudaerror", "nccl error", "cuda failure", "hip failure");
    if (!l) return std::nullopt;
    if (l->has("remote process exited or there was a network error")) {
        return make("nccl-error",
                    "a peer rank exited or the network between ranks failed: read the other ranks' output and "
                    "run again with NCCL_DEBUG=INFO",
                    clip(l->text));
    }
    return make("nccl-error",
                "NCCL or CUDA reported an error: run again with NCCL_DEBUG=INFO NCCL_DEBUG_SUBSYS=INIT,NET to "
                "see which call failed",
                clip(l->text));
}

// No text to go by: what the exit status alone says. nccl-tests shares some
// statuses with launchers and with its own older versions, so only those that
// mean one thing get a specific code.
Cause by_status(const Output& out, int exit_status) {
    std::string evidence = "exit status " + std::to_string(exit_status);
    if (std::string last = out.last_words(); !last.empty()) evidence += "; last line: " + last;
    switch (exit_status) {
        case 0:
            return make("unknown",
                        "the program exited 0 but its output holds no complete result table; read its log",
                        std::move(evidence));
        case 2:
            return make("nccl-error",
                        "a CUDA call failed (nccl-tests' status 2); run again with NCCL_DEBUG=INFO to see which",
                        std::move(evidence));
        case 3:
            return make("nccl-error",
                        "an NCCL call failed (nccl-tests' status 3); run again with NCCL_DEBUG=INFO to see which",
                        std::move(evidence));
        case 4:
            return make("timeout",
                        "nccl-tests stopped itself at its -T time-out (status 4): an operation hung",
                        std::move(evidence));
        case 5:
            return make("invalid-usage",
                        "nccl-tests does not implement what was asked (status 5), e.g. more GPUs than a host has",
                        std::move(evidence));
        case 6:
            return make("invalid-usage", "nccl-tests refused its arguments (status 6)", std::move(evidence));
        case 7:
            return make("unknown",
                        "nccl-tests' status 7 means wrong data or an average below NCCL_TESTS_MIN_BW, but its "
                        "footer is missing; read its log",
                        std::move(evidence));
        case 126:
            return make("not-found", "the program exists but cannot be executed: check its permissions",
                        std::move(evidence));
        case 127:
            return make("not-found", "the program or a launcher is missing: check the paths on every host",
                        std::move(evidence));
        case 255:
            return make("unknown",
                        "status 255 is ssh's for a failed connection and nccl-tests' for refused sizes; read the log",
                        std::move(evidence));
        default:
            if (exit_status > 128 && exit_status <= 128 + 64)
                return signal_cause(exit_status - 128, evidence + " (" + signal_label(exit_status - 128) + ")");
            return make("unknown",
                        "no known failure in the output: status 1 is nccl-tests' internal error and any "
                        "launcher's own failure; read the log",
                        std::move(evidence));
    }
}

}  // namespace

std::string signal_name(int number) {
    static constexpr std::array<const char*, 32> kNames = {
        "",     "HUP",  "INT",  "QUIT", "ILL",    "TRAP", "ABRT",  "BUS",  "FPE",  "KILL", "USR1",
        "SEGV", "USR2", "PIPE", "ALRM", "TERM",   "STKFLT", "CHLD", "CONT", "STOP", "TSTP", "TTIN",
        "TTOU", "URG",  "XCPU", "XFSZ", "VTALRM", "PROF", "WINCH", "IO",   "PWR",  "SYS"};
    if (number <= 0 || number >= static_cast<int>(kNames.size())) return {};
    return kNames[static_cast<std::size_t>(number)];
}

Cause classify_failure(std::string_view stdout_text, std::string_view stderr_text, int exit_status) {
    Output out(stdout_text, stderr_text);
    // Most specific first: a missing program or host explains everything after it.
    for (auto rule : {not_found, launcher_plugin, ssh, no_gpu, out_of_memory}) {
        if (auto cause = rule(out)) return *cause;
    }
    if (auto cause = crashed(out, exit_status)) return *cause;
    for (auto rule : {bootstrap, invalid_usage, footer}) {
        if (auto cause = rule(out)) return *cause;
    }
    if (auto cause = timed_out(out, exit_status)) return *cause;
    if (auto cause = nccl_error(out)) return *cause;
    return by_status(out, exit_status);
}

std::vector<CauseGroup> fold_causes(const std::vector<std::pair<std::string, Cause>>& causes) {
    std::vector<CauseGroup> groups;
    for (const auto& [collective, cause] : causes) {
        auto same = std::find_if(groups.begin(), groups.end(), [&](const CauseGroup& g) {
            return g.cause.code == cause.code && g.cause.advice == cause.advice;
        });
        if (same == groups.end()) {
            groups.push_back(CauseGroup{cause, {collective}});
        } else {
            same->collectives.push_back(collective);
        }
    }
    return groups;
}

}  // namespace quorvane::analysis
