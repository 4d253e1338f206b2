#include "attribute.h"

std::optional<Attribute> parse_attribute(const std::string &text) {
    std::string::size_type dot = text.find('.');
    if (dot == std::string::npos || dot == 0) {
        return std::nullopt;
    }
    std::string::size_type colon = text.find(':', dot + 1);
    if (colon == std::string::npos || colon == dot + 1) {
        return std::nullopt;
    }
    return Attribute{text.substr(0, dot), text.substr(dot + 1, colon - dot - 1),
                     text.substr(colon + 1)};
}
