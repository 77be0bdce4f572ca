// Where in a text something stands, as every reader of the analysis reports
// it: line and column from 1, the column counted in characters (UTF-8 code
// points, as an editor and Python count them), not in bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvane::analysis {

struct Position {
    std::size_t line = 1;    // from 1
    std::size_t column = 1;  // from 1, in characters
};

// The line and column of a byte offset in `text` (UTF-8); an offset past the
// end stands at the end.
Position position_of(std::string_view text, std::size_t offset);

}  // namespace quorvane::analysis
