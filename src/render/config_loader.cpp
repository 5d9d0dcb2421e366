#include "render/config_loader.hpp"

#include <sys/stat.h>

#include <charconv>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "hocon/resolve.hpp"
#include "hocon/parser.hpp"
#include "hocon/text.hpp"
#include "hocon/tree_memory.hpp"
#include "render/structured_template.hpp"
#include "support/arena.hpp"
#include "support/utf8.hpp"

extern char** environ;

namespace veskora::render {
namespace {

// Joins texts and unsigned numbers into one string (GCC 12 has no <format>).
inline void append_piece(std::string& out, std::string_view text) { out.append(text); }
inline void append_piece(std::string& out, std::uint64_t number) { out.append(std::to_string(number)); }
inline void append_piece(std::string& out, int number) { out.append(std::to_string(number)); }

template <class... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (append_piece(out, pieces), ...);
    return out;
}

constexpr std::string_view body_key_name = "structured_template_value";
constexpr std::string_view one_value_message = "structured loop body must contain one HOCON value";

std::unexpected<LoadError> fail(std::string text) { return std::unexpected(LoadError::message(std::move(text))); }

std::string os_error_text(int code) {
    return concat(std::generic_category().message(code), " (os error ", code, ")");
}

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, for paths in messages.
std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const auto error = support::validate_utf8(bytes);
        if (!error) {
            out.append(bytes);
            break;
        }
        out.append(bytes.substr(0, error->valid_up_to));
        out.append("\xEF\xBF\xBD");
        const std::size_t skip = error->error_len.value_or(bytes.size() - error->valid_up_to);
        bytes.remove_prefix(error->valid_up_to + skip);
    }
    return out;
}

bool is_regular_file(const std::string& path) {
    // A decoded include target may hold U+0000; the system call would stop reading the name
    // there and find some other file, so such a path names nothing.
    if (path.find('\0') != std::string::npos) return false;
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// --- paths -------------------------------------------------------------------------------------

// The final component of a path as a component walk sees it: trailing separators and "."
// components do not count. Nothing for the root, an empty path, "." or "..".
struct FinalComponent {
    std::size_t begin = 0;
    std::size_t end = 0;
};

std::optional<FinalComponent> final_component(std::string_view path) {
    std::optional<FinalComponent> last;
    bool last_is_name = false;
    std::size_t pos = 0;
    bool first = true;
    while (pos < path.size()) {
        if (path[pos] == '/') {
            ++pos;
            first = false;
            continue;
        }
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view name = path.substr(pos, end - pos);
        if (name == ".") {
            // Only a leading "." is a component of its own (the current directory).
            if (first) {
                last = FinalComponent{pos, end};
                last_is_name = false;
            }
        } else {
            last = FinalComponent{pos, end};
            last_is_name = name != "..";
        }
        first = false;
        pos = end;
    }
    if (!last || !last_is_name) return std::nullopt;
    return last;
}

// The extension of a final component: after its last ".", none when the only "." comes first.
std::optional<std::string_view> extension_of(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

std::string join_search_dir(const std::string& dir, const std::string& target) {
    if (target.starts_with('/') || dir.empty()) return target;
    if (dir.ends_with('/')) return dir + target;
    return dir + "/" + target;
}

}  // namespace

// --- loader state ------------------------------------------------------------------------------

TemplateConfigLoader::TemplateConfigLoader(std::uint64_t attempt, hocon::ConfigOptions options,
                                           hocon::TreeMemory* memory)
    : prefix(concat("__veskora_internal_", attempt, "_")),
      config_options(std::move(options)),
      attempt_(attempt),
      memory_(memory) {}

bool TemplateConfigLoader::names_prefix(std::string_view text) {
    // Every occurrence of the prefix form names one attempt: the digits after the stem, without
    // a leading zero, and an underscore. The prefix of attempt 1 is no part of attempt 12's.
    constexpr std::string_view stem = "__veskora_internal_";
    bool names_this_attempt = false;
    for (std::size_t at = text.find(stem); at != std::string_view::npos; at = text.find(stem, at + 1)) {
        const std::size_t digits = at + stem.size();
        std::size_t end = digits;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == digits || end == text.size() || text[end] != '_') continue;
        if (text[digits] == '0' && end - digits > 1) continue;
        std::uint64_t number = 0;
        if (std::from_chars(text.data() + digits, text.data() + end, number).ec != std::errc()) continue;
        named_prefixes.insert(number);
        names_this_attempt = names_this_attempt || number == attempt_;
    }
    return names_this_attempt;
}

bool TemplateConfigLoader::names_prefix(const hocon::ObjectBuilder& fields, std::size_t first) {
    // Content that did not come from a text of the attempt (a JSON or properties file, or what
    // the HOCON library included by itself) was never searched as text: its keys and strings
    // are searched here. It holds none of the loader's wrappers.
    bool names = false;
    auto search = [&](std::string_view text) { names = names_prefix(text) || names; };
    for (std::size_t i = first; i < fields.size(); ++i) {
        for (const std::string& segment : fields.field(i).key.path()) search(segment);
        hocon::for_each_text(fields.field(i).value, search);
    }
    return names;
}

std::unexpected<hocon::Error> TemplateConfigLoader::stop(LoadError error) {
    failure_ = std::move(error);
    return std::unexpected(hocon::Error());
}

// --- parsing one text --------------------------------------------------------------------------

std::expected<void, LoadError> TemplateConfigLoader::parse_raw(std::string_view text, const hocon::Place& place) {
    if (names_prefix(text)) return std::unexpected(LoadError::prefix_collision());
    return parse_guarded(text, place);
}

std::expected<void, LoadError> TemplateConfigLoader::parse_guarded(std::string_view text, const hocon::Place& place) {
    auto parsed = hocon::HoconParser(text, config_options).parse_into(place, *this);
    if (parsed) return {};
    // What the loader's own calls stopped the parse with reaches the caller as it is.
    if (failure_) return std::unexpected(*std::exchange(failure_, std::nullopt));
    return fail(concat("parsing configuration: ", parsed.error().render()));
}

std::expected<hocon::ParserExtension::Block, hocon::Error> TemplateConfigLoader::block(std::string_view text,
                                                                                    std::size_t at,
                                                                                    const hocon::Place& place) {
    auto loop = structured_template::read_block(text, at);
    if (!loop) return stop(LoadError::message(std::move(loop.error())));
    if (loop_depth_ >= max_structured_loop_nesting) {
        return stop(LoadError::message(concat("structured loop blocks nested deeper than ", max_structured_loop_nesting)));
    }
    if (place.path.empty())
        block_keys_.emplace("");
    else
        block_keys_.emplace(place.path.front());
    std::string marker = concat(prefix, next_id, "__");
    ++next_id;

    // The body is a text of its own, read like any other, its blocks and includes on the way; its
    // root stands for the wrapper, one level below the block's container, and its substitutions
    // are looked up as those of the text that holds it.
    const std::string body_text = concat(body_key_name, " = ", loop->body);
    hocon::ObjectBuilder fields(memory());
    hocon::ObjectBuilder* const outer_body = std::exchange(body_, &fields);
    const bool outer_includes = std::exchange(body_includes_, false);
    ++loop_depth_;
    auto body = parse_guarded(body_text, hocon::Place{&fields, place.depth + 1, place.path, place.prefix, place.stats});
    --loop_depth_;
    const bool includes = std::exchange(body_includes_, outer_includes);
    body_ = outer_body;
    if (!body) return stop(std::move(body.error()));
    if (includes || fields.size() != 1) return stop(LoadError::message(std::string(one_value_message)));
    const auto key = fields.field(0).key.path();
    if (key.size() != 1 || key.front() != body_key_name) return stop(LoadError::message(std::string(one_value_message)));
    hocon::Value body_root = fields.close(hocon::SourceLocation{});
    hocon::Value value = std::move(hocon::object_in(body_root)->begin()->second);

    // The wrapper takes part in merging and resolution like any value; extract_loop_bodies takes
    // it out again once the document is resolved.
    hocon::ObjectBuilder wrapper(memory());
    wrapper.add(concat(prefix, "loop_marker"), hocon::Value(marker));
    wrapper.add(concat(prefix, "loop_body"), std::move(value));
    loops.insert_or_assign(std::move(marker), LoopHeader{std::move(loop->variable), std::move(loop->source)});
    return Block{loop->end, wrapper.close(hocon::SourceLocation{})};
}

hocon::Error TemplateConfigLoader::misplaced_block(Misplaced place, const hocon::SourceLocation& where) {
    if (place == Misplaced::KeyPart) return hocon::Error(where, "a structured loop block cannot be part of a key");
    // A block that stands for a whole key, or in a substitution, is a marker no value holds.
    return stop(LoadError::message("structured loop marker was not found")).error();
}

std::expected<void, hocon::Error> TemplateConfigLoader::decoded(std::string_view text) {
    if (names_prefix(text)) return stop(LoadError::prefix_collision());
    return {};
}

std::expected<void, hocon::Error> TemplateConfigLoader::include(const hocon::Inclusion& statement, bool on_one_line,
                                                                const hocon::SourceLocation& where,
                                                                const hocon::Place& place) {
    if (place.fields == body_) body_includes_ = true;
    const std::size_t first = place.fields->size();
    if (!on_one_line) {
        // A statement spread over lines is the HOCON library's to load, by its own rules.
        if (auto loaded = hocon::load_include(statement, where, config_options, read_budget, place); !loaded) {
            return loaded;
        }
        if (names_prefix(*place.fields, first)) return stop(LoadError::prefix_collision());
        return {};
    }
    if (auto loaded = resolve_include(statement, place); !loaded) return stop(std::move(loaded.error()));
    return {};
}

namespace config_loader {

std::vector<std::string> config_paths(const std::string& path) {
    std::vector<std::string> candidates;
    const auto component = final_component(path);
    if (!component) return candidates;
    const std::string_view name = std::string_view(path).substr(component->begin, component->end - component->begin);
    if (const auto extension = extension_of(name)) {
        if ((*extension == "conf" || *extension == "json" || *extension == "properties") && is_regular_file(path)) {
            candidates.push_back(path);
        }
        return candidates;
    }
    const std::string stem = path.substr(0, component->end);
    for (const char* extension : {"conf", "json", "properties"}) {
        std::string candidate = concat(stem, ".", extension);
        if (is_regular_file(candidate)) candidates.push_back(std::move(candidate));
    }
    return candidates;
}

std::expected<hocon::Value, LoadError> extract_loop_bodies(hocon::Value value, std::string_view prefix,
                                                           support::StringMap<hocon::Value>& bodies) {
    const std::string marker_key = concat(prefix, "loop_marker");
    const std::string body_key = concat(prefix, "loop_body");

    // The resolved tree may nest far deeper than any one text (includes and substitutions stack
    // up), so the walk keeps its own stack instead of recursing. It edits the tree in place,
    // visiting values in the order a recursive walk would; bodies are kept in a deque, whose
    // elements never move, until the walk has finished with them.
    hocon::Value root = std::move(value);
    std::deque<std::pair<std::string, hocon::Value>> taken;
    std::vector<hocon::Value*> pending{&root};
    while (!pending.empty()) {
        hocon::Value* current = pending.back();
        pending.pop_back();
        if (auto* array = current->as_array()) {
            for (auto it = array->rbegin(); it != array->rend(); ++it) pending.push_back(&*it);
            continue;
        }
        auto* object = current->as_object();
        if (!object) continue;
        const auto marker = object->find(marker_key);
        if (marker == object->end()) {
            for (auto it = object->rbegin(); it != object->rend(); ++it) pending.push_back(&it->second);
            continue;
        }
        const auto body = object->find(body_key);
        if (object->size() != 2 || body == object->end()) return fail(std::string(one_value_message));
        std::string* marker_text = marker->second.as_string();
        if (!marker_text) return fail("invalid structured loop marker");
        taken.emplace_back(*marker_text, std::move(body->second));  // the one copy: the map's key
        *current = hocon::Value(std::move(*marker_text));
        pending.push_back(&taken.back().second);
    }
    for (auto& [marker, body] : taken) bodies.insert_or_assign(std::move(marker), std::move(body));
    return root;
}

}  // namespace config_loader

// --- files and includes ------------------------------------------------------------------------

namespace {

bool is_conf_path(std::string_view path) {
    const auto component = final_component(path);
    const std::string_view name = component ? path.substr(component->begin, component->end - component->begin) : "";
    return extension_of(name) == std::optional<std::string_view>("conf");
}

}  // namespace

std::expected<void, LoadError> TemplateConfigLoader::load_path(const std::string& path, const hocon::Place& place) {
    if (is_conf_path(path)) return parse_conf(path, [&](std::string_view text) { return parse_raw(text, place); });
    // JSON and properties files are the HOCON library's to read, by the path's own bytes.
    const std::size_t first = place.fields->size();
    if (auto read = hocon::read_file_into(path, config_options, read_budget, place); !read)
        return fail(read.error().render());
    if (names_prefix(*place.fields, first)) return std::unexpected(LoadError::prefix_collision());
    return {};
}

template <class Parse>
auto TemplateConfigLoader::parse_conf(const std::string& path, Parse&& parse)
    -> std::invoke_result_t<Parse, std::string_view> {
    const std::string shown = lossy_utf8(path);
    std::error_code error;
    std::filesystem::path canonical = std::filesystem::canonical(path, error);
    if (error) return fail(concat(shown, ": ", os_error_text(error.value())));
    for (const auto& open : stack) {
        if (open == canonical) return fail(concat("include cycle at ", shown));
    }
    if (stack.size() >= config_options.include_depth()) return fail(concat("include depth exceeded at ", shown));

    auto text = hocon::text::read_file(path);
    if (!text) return fail(concat(shown, ": ", text.error()));
    if (support::validate_utf8(*text)) return fail(concat(shown, ": stream did not contain valid UTF-8"));
    if (auto counted = read_budget.add_file(canonical, text->size(), shown); !counted) return fail(std::move(counted.error()));

    stack.push_back(std::move(canonical));
    auto parsed = parse(*text);
    stack.pop_back();
    if (!parsed && !parsed.error().is_prefix_collision()) {
        return fail(concat(shown, ": ", parsed.error().text()));
    }
    return parsed;
}

std::expected<void, LoadError> TemplateConfigLoader::resolve_include(const hocon::Inclusion& statement,
                                                                    const hocon::Place& place) {
    const std::string& target = statement.target;
    auto search_list = [&]() -> std::vector<std::string> {
        for (const std::string& dir : config_options.search_list()) {
            auto found = config_loader::config_paths(join_search_dir(dir, target));
            if (!found.empty()) return found;
        }
        return {};
    };

    // The parser refuses url() before it hands a statement over.
    std::vector<std::string> candidates;
    if (statement.location == hocon::IncludeLocation::Classpath) {
        if (target.starts_with('/') && !config_options.search_list().empty()) {
            return fail("absolute path in classpath include");
        }
        candidates = search_list();
    } else {
        candidates = config_loader::config_paths(target);
        if (candidates.empty() && !statement.location) candidates = search_list();
    }

    if (candidates.empty()) {
        if (statement.required) return fail(concat("required include not found: ", target));
        return {};
    }
    for (const std::string& candidate : candidates) {
        if (auto loaded = load_path(candidate, place); !loaded) return loaded;
    }
    return {};
}

// --- finishing and the attempt loop ------------------------------------------------------------

std::expected<TemplateConfig, LoadError> TemplateConfigLoader::finish(hocon::ObjectBuilder& fields) {
    hocon::Document document{fields.close(hocon::SourceLocation{}), std::move(stats)};
    if (loops.empty()) {
        // Without blocks the loader has no names of its own in the document: nothing is left
        // to check or to take out of it.
        auto resolved = hocon::resolve(std::move(document));
        if (!resolved) return fail(concat("resolving configuration: ", resolved.error().render()));
        return TemplateConfig{std::move(*resolved), {}};
    }
    // Resolution falls back to the environment for substitutions the document does not define,
    // and a value taken from there could stand in the tree as one of the loader's names: an
    // environment that holds the prefix starts the next attempt, as a text holding it does.
    bool environment_names_prefix = false;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view variable(*entry);
        const std::size_t equals = variable.find('=');
        if (equals != std::string_view::npos)
            environment_names_prefix = names_prefix(variable.substr(equals + 1)) || environment_names_prefix;
    }
    if (environment_names_prefix) return std::unexpected(LoadError::prefix_collision());

    // Loop bodies stand where blocks were read, and in what resolution made: a substitution may
    // copy one anywhere. Only those top-level members are searched.
    std::set<std::string, std::less<>> search = std::move(block_keys_);
    if (const hocon::Value::Object* members = hocon::object_in(document.root)) {
        for (const auto& [key, member] : *members)
            if (member.is_unresolved()) search.insert(key);
    }
    auto resolved = hocon::resolve(std::move(document));
    if (!resolved) return fail(concat("resolving configuration: ", resolved.error().render()));

    support::StringMap<hocon::Value> bodies;
    TemplateConfig result{std::move(*resolved), {}};
    hocon::Value::Object* root = result.root.as_object();
    if (search.contains("") || root == nullptr) {
        auto extracted = config_loader::extract_loop_bodies(std::move(result.root), prefix, bodies);
        if (!extracted) return std::unexpected(std::move(extracted.error()));
        result.root = std::move(*extracted);
    } else {
        for (auto& [key, member] : *root) {
            if (!search.contains(key)) continue;
            auto extracted = config_loader::extract_loop_bodies(std::move(member), prefix, bodies);
            if (!extracted) return std::unexpected(std::move(extracted.error()));
            member = std::move(*extracted);
        }
    }
    for (auto& [marker, header] : loops) {
        const auto body = bodies.find(marker);
        if (body == bodies.end()) continue;  // its wrapper did not survive resolution
        result.structured_loops.insert_or_assign(
            marker, StructuredLoopTemplate{std::move(header.variable), std::move(header.source), std::move(body->second)});
        bodies.erase(body);
    }
    return result;
}

namespace config_loader {
namespace {

// The memory of a loaded document's containers: an arena, so that a large document's tree is
// faulted in huge pages and freed in a few pieces once the ruleset is built from it.
class ArenaTreeMemory final : public hocon::TreeMemory {
public:
    void* allocate(std::size_t bytes) override { return arena_.allocate(bytes); }

private:
    support::Arena arena_;
};

// Runs attempts 0, 1, 2, ... until one ends otherwise than in a prefix collision. An attempt
// restarts only when a text it read names its own prefix, so every attempt number up to the
// last must be named in the texts: past as many attempts as they name numbers, the load fails
// rather than going on. A message may quote paths, whose bytes need not be UTF-8 (the working
// directory's, for one). Each attempt has tree memory of its own, so what a failed attempt read
// goes with it; a document loaded holds its attempt's memory until its last container goes.
template <class Attempt>
std::expected<TemplateConfig, std::string> run_attempts(const hocon::ConfigOptions& options, Attempt&& attempt) {
    std::set<std::uint64_t> named;
    for (std::uint64_t number = 0;; ++number) {
        TemplateConfigLoader loader(number, options, new ArenaTreeMemory);
        auto result = attempt(loader);
        if (result) return std::move(*result);
        if (!result.error().is_prefix_collision()) return std::unexpected(lossy_utf8(result.error().text()));
        named.merge(loader.named_prefixes);
        if (named.size() <= number) {
            return std::unexpected(concat("internal name prefixes collided in ", number + 1,
                                          " attempts, more than the texts name"));
        }
    }
}

}  // namespace

std::expected<TemplateConfig, std::string> load_str(std::string_view text,
                                                    std::optional<hocon::ConfigOptions> options) {
    return run_attempts(options ? *options : hocon::ConfigOptions::defaults(),
                        [&](TemplateConfigLoader& loader) -> std::expected<TemplateConfig, LoadError> {
                            loader.read_budget.add_text(text.size());
                            hocon::ObjectBuilder fields(loader.memory());
                            if (auto read = loader.parse_raw(text, loader.root(fields)); !read)
                                return std::unexpected(std::move(read.error()));
                            return loader.finish(fields);
                        });
}

std::expected<TemplateConfig, std::string> load_file(std::string path, hocon::ConfigOptions options) {
    return run_attempts(options, [&](TemplateConfigLoader& loader) -> std::expected<TemplateConfig, LoadError> {
        const std::vector<std::string> candidates = config_paths(path);
        if (candidates.empty()) {
            auto loaded = hocon::load(path, loader.config_options);
            if (!loaded) return fail(loaded.error().render());
            return TemplateConfig{std::move(*loaded), {}};
        }
        // The fields of several files are joined before they are resolved together.
        hocon::ObjectBuilder fields(loader.memory());
        for (const std::string& candidate : candidates) {
            if (auto read = loader.load_path(candidate, loader.root(fields)); !read)
                return std::unexpected(std::move(read.error()));
        }
        return loader.finish(fields);
    });
}

}  // namespace config_loader
}  // namespace veskora::render
