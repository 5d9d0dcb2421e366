#include "hocon/read_budget.hpp"

#include <algorithm>

namespace hocon {

void ReadBudget::add_text(std::size_t bytes) {
    distinct_ += bytes;
    total_ += bytes;
}

std::expected<void, std::string> ReadBudget::add_file(const std::filesystem::path& canonical, std::size_t bytes,
                                                      std::string_view shown) {
    const std::size_t counted = bytes + bytes_per_file;
    if (files_.insert(canonical).second) distinct_ += counted;
    total_ += counted;
    if (total_ <= limit()) return {};
    std::string message = "include budget exceeded at ";
    message.append(shown);
    message.append(": the files read count more than ");
    message.append(std::to_string(limit()));
    message.append(" bytes");
    return std::unexpected(std::move(message));
}

std::size_t ReadBudget::limit() const { return std::max(min_read_bytes, read_factor * distinct_); }

}  // namespace hocon
