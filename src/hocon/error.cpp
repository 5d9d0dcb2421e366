#include "hocon/error.hpp"

#include "hocon/text.hpp"

namespace hocon {

std::string Error::render() const {
    std::string out;
    if (file) {
        out += text::printable(*file);  // a name may hold a line break; the rendering may not
        out += ": ";
    }
    if (line != 0) {
        out += "line ";
        out += std::to_string(line);
        out += ": ";
    }
    out += message;
    return out;
}

}  // namespace hocon
