// The bound on what the files of one load add up to: a file counts each time it is read, so
// small files that each include the next twice cannot make a load read an exponential amount
// of text, while reading files again stays allowed in proportion to the distinct text read.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace hocon {

class ReadBudget {
public:
    // Each reading of a file counts its size and bytes_per_file besides: finding, opening and
    // reading a file costs about what parsing that much text does, so many tiny files cannot
    // slip under a bound on bytes alone.
    static constexpr std::size_t bytes_per_file = std::size_t{16} << 10;
    // A load may count the larger of min_read_bytes and read_factor times its distinct text:
    // each file once, and the texts handed to it directly.
    static constexpr std::size_t min_read_bytes = std::size_t{8} << 20;
    static constexpr std::size_t read_factor = 16;

    // A text handed to the load rather than read from a file.
    void add_text(std::size_t bytes);

    // One reading of a file, by its canonical path (or the path it was opened by, when it has
    // none). Past the bound, the message "include budget exceeded at {shown}: ...".
    std::expected<void, std::string> add_file(const std::filesystem::path& canonical, std::size_t bytes,
                                              std::string_view shown);

private:
    std::size_t limit() const;

    std::set<std::filesystem::path> files_;  // files read so far
    std::size_t distinct_ = 0;               // texts, and the first reading of each file
    std::size_t total_ = 0;                  // every text and every reading
};

}  // namespace hocon
