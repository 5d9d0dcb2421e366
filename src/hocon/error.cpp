#include "hocon/error.hpp"

namespace hocon {

std::string Error::render() const {
    std::string out;
    if (file) {
        out += *file;
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
