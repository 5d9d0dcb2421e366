// Errors of the HOCON library: where a problem was found (file when known, line when known)
// and what was wrong, with the one-line rendering that callers quote in their own messages.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace hocon {

// Where a piece of a document came from; carried so that resolution errors can point back into
// the text. The file name is the document's (see Document), held for as long as it is.
struct SourceLocation {
    const std::string* file = nullptr;  // null for a text without a file name
    std::size_t line = 0;               // 1-based; 0 when unknown
};

struct Error {
    std::optional<std::string> file;  // the file the problem is in, when known
    std::size_t line = 0;             // 1-based line, 0 when there is none to name
    std::string message;              // what was wrong, e.g. "expected '}' or a new field, found ']'"

    Error() = default;
    explicit Error(std::string message_text) : message(std::move(message_text)) {}
    Error(std::optional<std::string> file_name, std::size_t line_number, std::string message_text)
        : file(std::move(file_name)), line(line_number), message(std::move(message_text)) {}
    Error(const SourceLocation& where, std::string message_text)
        : file(where.file ? std::optional<std::string>(*where.file) : std::nullopt),
          line(where.line),
          message(std::move(message_text)) {}

    // One line: "test.conf: line 3: expected '}' ...", without the file part when there is no
    // file and without the line part when the line is 0.
    std::string render() const;

    bool operator==(const Error&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Error& error) { return out << error.render(); }

}  // namespace hocon
