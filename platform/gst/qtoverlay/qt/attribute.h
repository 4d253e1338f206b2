// Attribute texts of the overlay element: "Object.property:value".
#pragma once

#include <optional>
#include <string>

struct Attribute {
    std::string object;
    std::string property;
    std::string value;
};

// Splits at the first '.' and the first ':' after it; object and property must not be empty.
// The value is the rest of the text, colons included.
std::optional<Attribute> parse_attribute(const std::string &text);
