// A small, strict XML reader: one forward pass over the text, reporting start
// and end tags to a handler. Enough of XML for machine-written files such as
// NCCL's topology dumps: elements, attributes (entity and character references
// decoded, white space normalised), comments, processing instructions, the
// declaration, CDATA and a document type declaration without entity
// definitions. Anything malformed stops the pass with its position.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "text_position.hpp"

namespace quorvane::analysis::xml {

struct Attribute {
    std::string_view name;
    std::string_view value;  // decoded; valid until the handler returns
};

class Handler {
public:
    virtual ~Handler() = default;
    // `offset` is where the tag's '<' stands in the text.
    virtual void start_element(std::string_view name, std::span<const Attribute> attributes,
                               std::size_t offset) = 0;
    virtual void end_element(std::string_view name) = 0;
};

class Error : public std::runtime_error {
public:
    Error(const std::string& what, std::size_t offset) : std::runtime_error(what), offset(offset) {}
    std::size_t offset;  // where in the text the reader stopped
};

// Positions read as every reader of the analysis gives them.
using analysis::Position;
using analysis::position_of;

// Reads `text` (UTF-8) from start to end; throws Error when it is not a
// well-formed document or nests deeper than `max_depth` elements.
void read(std::string_view text, Handler& handler, std::size_t max_depth = 4096);

}  // namespace quorvane::analysis::xml
