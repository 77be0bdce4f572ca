// Line scanning for the field reader: lines, launcher prefixes, tokens and the
// numbers in table cells.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvane::analysis::scan {

// Cuts text into lines at "\n", "\r\n" and "\r", without the terminators.
class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {}
    bool next(std::string_view& line);

private:
    std::string_view rest_;
    bool done_ = false;
};

// What a launcher put in front of a line of the program's own output.
enum class Prefix { none, mpi_tag, rank_label, host, timestamp };

struct Stripped {
    std::string_view body;    // the program's own text
    std::string_view source;  // the rank or host the launcher named; empty if none
    Prefix prefix = Prefix::none;
    bool is_stderr = false;   // Open MPI tagged it as the program's stderr
};

// Removes launcher prefixes: Open MPI's "[1,0]<stdout>:", srun -l's "0: ",
// MPICH's "[0] ", pdsh-style "host: " (only before text that looks like
// benchmark output) and an RFC 3339 time stamp, stacked in any order.
Stripped strip_prefixes(std::string_view line);

// Splits at runs of ASCII blanks (space, tab, vertical tab, form feed, CR).
void split(std::string_view text, std::vector<std::string_view>& out);

std::string_view trim(std::string_view text);

bool is_blank(char c);

// A token made only of decimal digits, ASCII or any other script's (Unicode
// Nd), with an optional leading minus: what a size or count cell looks like.
bool digit_like(std::string_view token);
bool has_non_ascii(std::string_view token);

enum class Num { ok, nonfinite, nonascii, bad, negative };

struct Real {
    Num status = Num::bad;
    double value = 0;
    bool scientific = false;  // written with an exponent
};

// A decimal number as printf writes it: optional sign, digits, fraction,
// exponent. inf, nan and values beyond the range of a double are non-finite.
Real parse_real(std::string_view token);

struct Integer {
    Num status = Num::bad;
    int64_t value = 0;
};

// A whole number; "%g"-style values such as 1e+06 are accepted when integral.
Integer parse_integer(std::string_view token);

// "all_reduce" from "/opt/nccl-tests/build/all_reduce_perf_mpi" or
// "all_reduce_perf"; empty when the name is no collective nccl-tests knows.
std::string_view label_from_program(std::string_view program);

}  // namespace quorvane::analysis::scan
