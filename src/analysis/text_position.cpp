#include "text_position.hpp"

namespace quorvane::analysis {

Position position_of(std::string_view text, std::size_t offset) {
    Position pos;
    if (offset > text.size()) offset = text.size();
    for (std::size_t i = 0; i < offset; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++pos.line;
            pos.column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++pos.column;
        }
    }
    return pos;
}

}  // namespace quorvane::analysis
