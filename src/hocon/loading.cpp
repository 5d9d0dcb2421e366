#include <filesystem>
#include <system_error>

#include "hocon/loading.hpp"
#include "hocon/parser.hpp"
#include "hocon/text.hpp"
#include "hocon/tree.hpp"

namespace hocon {

namespace fs = std::filesystem;

namespace {

bool regular_file(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The existing files a path stands for: the path itself when its extension is conf, json or
// properties; every existing one of path.conf, path.json and path.properties (in that order)
// when it has no extension; nothing otherwise.
std::vector<std::string> candidates(const fs::path& path) {
    std::vector<std::string> out;
    // The operating system would read such a name only up to the U+0000 and open another file.
    if (path.native().find('\0') != std::string::npos) return out;
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..") return out;
    const std::string extension = name.extension().string();
    if (!extension.empty()) {
        if ((extension == ".conf" || extension == ".json" || extension == ".properties") && regular_file(path))
            out.push_back(path.string());
        return out;
    }
    for (const char* ext : {".conf", ".json", ".properties"}) {
        fs::path candidate = path;
        candidate += ext;
        if (regular_file(candidate)) out.push_back(candidate.string());
    }
    return out;
}

std::vector<std::string> search_list_candidates(const std::string& target, const ConfigOptions& options) {
    for (const std::string& dir : options.search_list()) {
        // An absolute target replaces the directory.
        auto found = candidates(fs::path(dir) / fs::path(target));
        if (!found.empty()) return found;
    }
    return {};
}

Error error_at(const SourceLocation& where, std::string message) { return Error(where, std::move(message)); }

}  // namespace

namespace detail {

std::expected<void, Error> load_inclusion(const Inclusion& inclusion, const SourceLocation& where,
                                          IncludeContext& context, const Place& place) {
    std::vector<std::string> found;
    const fs::path target(inclusion.target);
    if (!inclusion.location || *inclusion.location == IncludeLocation::File) {
        found = candidates(target);
        if (found.empty() && !inclusion.location) found = search_list_candidates(inclusion.target, context.options);
    } else if (*inclusion.location == IncludeLocation::Classpath) {
        if (target.is_absolute() && !context.options.search_list().empty())
            return std::unexpected(error_at(where, "absolute path in classpath include: " + text::printable(inclusion.target)));
        found = search_list_candidates(inclusion.target, context.options);
    } else {
        return std::unexpected(error_at(where, "url() includes are not supported: \"" + text::printable(inclusion.target) + "\""));
    }
    if (found.empty()) {
        if (inclusion.required)
            return std::unexpected(error_at(where, "required include not found: " + text::printable(inclusion.target)));
        return {};
    }
    for (const std::string& path : found) {
        if (auto loaded = load_file_fields(path, context, place); !loaded) {
            // Cycles and the depth bound are found at the include statement: point there.
            Error error = std::move(loaded.error());
            if (!error.file && error.line == 0) error = error_at(where, std::move(error.message));
            return std::unexpected(std::move(error));
        }
    }
    return {};
}

std::expected<void, Error> load_file_fields(const std::string& path, IncludeContext& context, const Place& place) {
    const std::string extension = fs::path(path).extension().string();
    const bool hocon = extension != ".json" && extension != ".properties";
    std::error_code ec;
    fs::path canonical = fs::canonical(path, ec);
    if (hocon) {
        if (ec) return std::unexpected(Error(path, 0, "cannot open the file: " + ec.message()));
        for (const fs::path& open : context.open_files)
            if (open == canonical) return std::unexpected(Error("include cycle at " + text::printable(path)));
        if (context.open_files.size() >= context.options.include_depth())
            return std::unexpected(Error("include depth exceeded at " + text::printable(path)));
    }
    auto data = text::read_file(path);
    if (!data) return std::unexpected(Error(path, 0, "cannot read the file: " + data.error()));
    if (auto counted = context.budget.add_file(ec ? fs::path(path) : canonical, data->size(), text::printable(path));
        !counted)
        return std::unexpected(Error(std::move(counted.error())));
    const std::string* file = place.stats->keep_file(path);
    if (extension == ".json") return read_json(*data, file, place);
    if (extension == ".properties") return read_properties(*data, file, place);
    if (auto bad = text::find_invalid_utf8(*data))
        return std::unexpected(Error(path, text::line_at(*data, *bad), "the file is not valid UTF-8"));
    context.open_files.push_back(canonical);
    auto read = read_hocon(*data, file, context, place);
    context.open_files.pop_back();
    return read;
}

}  // namespace detail

std::expected<void, Error> load_include(const Inclusion& statement, const SourceLocation& where,
                                        const ConfigOptions& options, ReadBudget& budget, const Place& place) {
    detail::IncludeContext context{options, {}, budget};
    return detail::load_inclusion(statement, where, context, place);
}

std::expected<void, Error> read_file_into(const std::string& path, const ConfigOptions& options, ReadBudget& budget,
                                          const Place& place) {
    detail::IncludeContext context{options, {}, budget};
    return detail::load_file_fields(path, context, place);
}

std::expected<Document, Error> parse_file(const std::string& path, const ConfigOptions& options) {
    ReadBudget budget;
    return parse_file(path, options, budget);
}

std::expected<Document, Error> parse_file(const std::string& path, const ConfigOptions& options, ReadBudget& budget) {
    detail::IncludeContext context{options, {}, budget};
    const fs::path p(path);
    const fs::path name = p.filename();
    const bool has_extension = !name.empty() && !name.extension().empty();
    std::vector<std::string> found;
    if (has_extension) {
        if (path.find('\0') != std::string::npos || !regular_file(p))
            return std::unexpected(Error("file not found: " + text::printable(path)));
        found.push_back(path);
    } else {
        found = candidates(p);
        if (found.empty())
            return std::unexpected(
                Error("no file found for " + text::printable(path) + " (looked for .conf, .json and .properties)"));
    }
    return detail::read_document(Document{}, [&](const Place& place) -> std::expected<void, Error> {
        for (const std::string& candidate : found) {
            if (auto loaded = detail::load_file_fields(candidate, context, place); !loaded) return loaded;
        }
        return {};
    });
}

}  // namespace hocon
