#include <filesystem>
#include <system_error>

#include "hocon/loading.hpp"
#include "hocon/parser.hpp"
#include "hocon/text.hpp"

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

std::expected<void, Error> load_inclusion(Inclusion& inclusion, const SourceLocation& where,
                                          detail::IncludeContext& context) {
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
        inclusion.loaded.reset();
        return {};
    }
    RawObject loaded;
    for (const std::string& path : found) {
        auto fields = detail::load_file_fields(path, context);
        if (!fields) {
            // Cycles and the depth bound are found at the include statement: point there.
            Error error = std::move(fields.error());
            if (!error.file && error.line == 0) error = error_at(where, std::move(error.message));
            return std::unexpected(std::move(error));
        }
        for (ObjectField& field : fields->fields) loaded.fields.push_back(std::move(field));
    }
    inclusion.loaded = std::move(loaded);
    return {};
}

// Loads the include statements of a freshly parsed tree, in document order. The walk keeps its
// own stack: a chain of included files already stacks up a few frames per file, and nesting
// inside each file must not multiply that.
std::expected<void, Error> load_in_object(RawObject& root, detail::IncludeContext& context) {
    struct Item {
        RawValue* value = nullptr;
        InclusionField* inclusion = nullptr;
    };
    std::vector<Item> pending;
    auto push_object = [&](RawObject& object) {
        for (auto it = object.fields.rbegin(); it != object.fields.rend(); ++it) {
            if (auto* kv = it->as_key_value()) {
                pending.push_back({&kv->value, nullptr});
            } else if (auto* inc = it->as_inclusion()) {
                // Content that was loaded already (by this parser or by a caller) is left alone.
                if (!inc->inclusion.loaded) pending.push_back({nullptr, inc});
            }
        }
    };
    auto push_values = [&](std::vector<RawValue>& values) {
        for (auto it = values.rbegin(); it != values.rend(); ++it) pending.push_back({&*it, nullptr});
    };
    push_object(root);
    // Loading an inclusion sets only its own loaded fields, so the pointers held stay valid.
    while (!pending.empty()) {
        const Item item = pending.back();
        pending.pop_back();
        if (item.inclusion) {
            if (auto r = load_inclusion(item.inclusion->inclusion, item.inclusion->location, context); !r) return r;
        } else if (auto* object = item.value->as_object()) {
            push_object(*object);
        } else if (auto* array = item.value->as_array()) {
            push_values(*array);
        } else if (auto* concat = item.value->as_concatenation()) {
            push_values(concat->parts());
        } else if (auto* append = item.value->as_append()) {
            pending.push_back({&*append->value, nullptr});
        }
    }
    return {};
}

}  // namespace

namespace detail {

std::expected<void, Error> load_includes(RawObject& object, IncludeContext& context) {
    return load_in_object(object, context);
}

std::expected<RawObject, Error> load_file_fields(const std::string& path, IncludeContext& context) {
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
    if (extension == ".json") return parse_json(*data, path);
    if (extension == ".properties") return parse_properties(*data, path);
    if (auto bad = text::find_invalid_utf8(*data))
        return std::unexpected(Error(path, text::line_at(*data, *bad), "the file is not valid UTF-8"));
    context.open_files.push_back(canonical);
    auto parsed = parse_hocon(*data, std::make_shared<const std::string>(path), context);
    context.open_files.pop_back();
    return parsed;
}

}  // namespace detail

std::expected<void, Error> load_include(Inclusion& statement, const SourceLocation& where,
                                        const ConfigOptions& options, ReadBudget& budget) {
    detail::IncludeContext context{options, {}, budget};
    return load_inclusion(statement, where, context);
}

std::expected<RawObject, Error> parse_file(const std::string& path, const ConfigOptions& options) {
    ReadBudget budget;
    return parse_file(path, options, budget);
}

std::expected<RawObject, Error> parse_file(const std::string& path, const ConfigOptions& options, ReadBudget& budget) {
    detail::IncludeContext context{options, {}, budget};
    const fs::path p(path);
    const fs::path name = p.filename();
    const bool has_extension = !name.empty() && !name.extension().empty();
    if (has_extension) {
        if (path.find('\0') != std::string::npos || !regular_file(p))
            return std::unexpected(Error("file not found: " + text::printable(path)));
        return detail::load_file_fields(path, context);
    }
    auto found = candidates(p);
    if (found.empty())
        return std::unexpected(Error("no file found for " + text::printable(path) + " (looked for .conf, .json and .properties)"));
    RawObject merged;
    for (const std::string& candidate : found) {
        auto fields = detail::load_file_fields(candidate, context);
        if (!fields) return std::unexpected(fields.error());
        for (ObjectField& field : fields->fields) merged.fields.push_back(std::move(field));
    }
    return merged;
}

}  // namespace hocon
