#include "render/config_loader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "hocon/config.hpp"
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

// --- the include rewrite -----------------------------------------------------------------------

std::optional<unsigned> hex_digit(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return std::nullopt;
}

std::optional<unsigned> hex4(std::string_view s, std::size_t pos) {
    if (pos + 4 > s.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto digit = hex_digit(s[pos + i]);
        if (!digit) return std::nullopt;
        value = value * 16 + *digit;
    }
    return value;
}

// Decodes one JSON string literal, quotation marks included; nothing if it is not one.
std::optional<std::string> decode_json_string(std::string_view literal) {
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') return std::nullopt;
    const std::string_view s = literal.substr(1, literal.size() - 2);
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (pos < s.size()) {
        const char c = s[pos];
        if (static_cast<unsigned char>(c) < 0x20 || c == '"') return std::nullopt;
        if (c != '\\') {
            out.push_back(c);
            ++pos;
            continue;
        }
        if (pos + 1 >= s.size()) return std::nullopt;
        const char e = s[pos + 1];
        pos += 2;
        switch (e) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                const auto unit = hex4(s, pos);
                if (!unit) return std::nullopt;
                pos += 4;
                char32_t code = *unit;
                if (code >= 0xDC00 && code <= 0xDFFF) return std::nullopt;  // lone trailing surrogate
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (pos + 2 > s.size() || s[pos] != '\\' || s[pos + 1] != 'u') return std::nullopt;
                    const auto low = hex4(s, pos + 2);
                    if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                    pos += 6;
                    code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
                }
                support::append_utf8(out, code);
                break;
            }
            default: return std::nullopt;
        }
    }
    return out;
}

struct IncludeStatement {
    std::size_t end = 0;  // offset just after the statement
    IncludeSpec spec;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// An include statement whose word "include" starts at `start`, on one line; nothing when the
// text there does not fit the grammar (the HOCON parser then sees it as written).
std::optional<IncludeStatement> read_include_statement(std::string_view t, std::size_t start) {
    const std::size_t n = t.size();
    std::size_t pos = start + 7;
    auto skip_blanks = [&] {
        while (pos < n && is_blank(t[pos])) ++pos;
    };
    auto consume = [&](std::string_view word) {
        if (t.substr(pos, word.size()) != word) return false;
        pos += word.size();
        return true;
    };
    auto consume_close = [&] {
        if (pos >= n || t[pos] != ')') return false;
        ++pos;
        return true;
    };

    if (pos < n) {
        const unsigned char next = static_cast<unsigned char>(t[pos]);
        const bool word_byte = (next >= '0' && next <= '9') || (next >= 'a' && next <= 'z') ||
                               (next >= 'A' && next <= 'Z') || next == '_';
        if (word_byte) return std::nullopt;
    }
    skip_blanks();
    IncludeSpec spec;
    if (consume("required(")) {
        spec.required = true;
        skip_blanks();
    }
    if (consume("classpath(")) {
        spec.kind = IncludeKind::Classpath;
    } else if (consume("file(")) {
        spec.kind = IncludeKind::File;
    } else {
        spec.kind = IncludeKind::Plain;
    }
    skip_blanks();
    if (pos >= n || t[pos] != '"') return std::nullopt;
    std::size_t close = pos + 1;
    while (close < n && t[close] != '"') close += t[close] == '\\' ? 2 : 1;
    if (close >= n) return std::nullopt;
    auto target = decode_json_string(t.substr(pos, close + 1 - pos));
    if (!target) return std::nullopt;
    spec.target = std::move(*target);
    pos = close + 1;
    skip_blanks();
    if (spec.kind != IncludeKind::Plain) {
        if (!consume_close()) return std::nullopt;
        skip_blanks();
    }
    if (spec.required && !consume_close()) return std::nullopt;
    return IncludeStatement{pos, std::move(spec)};
}

// --- raw tree helpers --------------------------------------------------------------------------

std::expected<hocon::RawValue, LoadError> rebuild_concat(std::vector<hocon::RawValue> parts,
                                                         std::vector<std::string> separators) {
    auto rebuilt = hocon::RawValue::concat(std::move(parts), std::move(separators));
    if (!rebuilt) return fail(rebuilt.error().render());
    return std::move(*rebuilt);
}

// Where a loop marker stands in a parsed text: the index of its top-level field, then one index
// per level below it (object field, array element or concatenation part; 0 for a "+=" value).
using ValuePath = std::vector<std::size_t>;

// Records the place of the first quoted string equal to each wanted marker, visiting the values
// of key/value fields, "+=" values, elements and parts in order.
void locate_markers(const hocon::RawValue& value, const support::StringMap<std::size_t>& wanted,
                    std::vector<std::optional<ValuePath>>& found, ValuePath& path) {
    switch (value.kind()) {
        case hocon::RawValue::Kind::String: {
            const hocon::RawString& string = *value.as_string();
            if (string.kind() != hocon::RawString::Kind::Quoted) return;
            const auto match = wanted.find(string.text());
            if (match != wanted.end() && !found[match->second]) found[match->second] = path;
            return;
        }
        case hocon::RawValue::Kind::Append:
            path.push_back(0);
            locate_markers(value.as_append()->value.get(), wanted, found, path);
            path.pop_back();
            return;
        case hocon::RawValue::Kind::Object: {
            const auto& fields = value.as_object()->fields;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const hocon::KeyValueField* kv = fields[i].as_key_value();
                if (!kv) continue;
                path.push_back(i);
                locate_markers(kv->value, wanted, found, path);
                path.pop_back();
            }
            return;
        }
        case hocon::RawValue::Kind::Array:
        case hocon::RawValue::Kind::Concatenation: {
            const auto& items = value.is_array() ? *value.as_array() : value.as_concatenation()->parts();
            for (std::size_t i = 0; i < items.size(); ++i) {
                path.push_back(i);
                locate_markers(items[i], wanted, found, path);
                path.pop_back();
            }
            return;
        }
        default:
            return;
    }
}

// Whether fields hold the prefix in a key or string anywhere (in content that the HOCON parser
// included by itself too) other than as one of `own`: the names the loader wrote into this
// text, each met once. The text's bytes were searched before it was parsed; this finds what
// escapes decode to, and what other files bring, so that only the loader's own names can ever
// be taken for its loop markers.
bool holds_foreign_prefix(const std::vector<hocon::ObjectField>& fields, std::string_view prefix,
                          support::StringMap<bool>& own) {
    auto foreign = [&](const hocon::RawString& string) {
        const std::string& text = string.text();
        if (text.find(prefix) == std::string::npos) return false;
        const auto name = own.find(text);
        if (name == own.end() || name->second) return true;
        name->second = true;
        return false;
    };
    std::vector<const std::vector<hocon::ObjectField>*> objects{&fields};
    std::vector<const hocon::RawValue*> values;
    while (!objects.empty() || !values.empty()) {
        if (!objects.empty()) {
            const auto& object = *objects.back();
            objects.pop_back();
            for (const hocon::ObjectField& field : object) {
                if (const hocon::KeyValueField* kv = field.as_key_value()) {
                    if (foreign(kv->key)) return true;
                    values.push_back(&kv->value);
                } else if (const hocon::InclusionField* inclusion = field.as_inclusion()) {
                    if (inclusion->inclusion.loaded) objects.push_back(&inclusion->inclusion.loaded->fields);
                }
            }
            continue;
        }
        const hocon::RawValue& value = *values.back();
        values.pop_back();
        switch (value.kind()) {
            case hocon::RawValue::Kind::String:
                if (foreign(*value.as_string())) return true;
                break;
            case hocon::RawValue::Kind::Object:
                objects.push_back(&value.as_object()->fields);
                break;
            case hocon::RawValue::Kind::Array:
                for (const hocon::RawValue& element : *value.as_array()) values.push_back(&element);
                break;
            case hocon::RawValue::Kind::Concatenation:
                for (const hocon::RawValue& part : value.as_concatenation()->parts()) values.push_back(&part);
                break;
            case hocon::RawValue::Kind::Append:
                values.push_back(&value.as_append()->value.get());
                break;
            default:
                break;
        }
    }
    return false;
}

// Puts the replacement at a recorded place, rebuilding every concatenation on the way to it.
std::expected<void, LoadError> replace_at(hocon::RawValue& value, std::span<const std::size_t> path,
                                          hocon::RawValue&& replacement) {
    if (path.empty()) {
        value = std::move(replacement);
        return {};
    }
    const std::size_t index = path.front();
    const auto rest = path.subspan(1);
    switch (value.kind()) {
        case hocon::RawValue::Kind::Append:
            return replace_at(value.as_append()->value.get(), rest, std::move(replacement));
        case hocon::RawValue::Kind::Object:
            return replace_at(value.as_object()->fields[index].as_key_value()->value, rest, std::move(replacement));
        case hocon::RawValue::Kind::Array:
            return replace_at((*value.as_array())[index], rest, std::move(replacement));
        case hocon::RawValue::Kind::Concatenation: {
            auto [parts, separators] = std::move(*value.as_concatenation()).into_parts();
            value = hocon::RawValue::null();
            if (auto placed = replace_at(parts[index], rest, std::move(replacement)); !placed) return placed;
            auto rebuilt = rebuild_concat(std::move(parts), std::move(separators));
            if (!rebuilt) return std::unexpected(std::move(rebuilt.error()));
            value = std::move(*rebuilt);
            return {};
        }
        default:
            return {};  // unreachable: paths are recorded through the kinds above only
    }
}

bool is_single_segment(const hocon::RawString& key, std::string_view segment) {
    const auto path = key.path();
    return path.size() == 1 && path.front() == segment;
}

}  // namespace

// --- loader state ------------------------------------------------------------------------------

TemplateConfigLoader::TemplateConfigLoader(std::uint64_t attempt, hocon::ConfigOptions options)
    : prefix(concat("__veskora_internal_", attempt, "_")), config_options(std::move(options)) {}

namespace config_loader {

IncludeRewrite rewrite_includes(std::string_view t, std::string_view prefix, std::uint64_t& next_id) {
    // Without the word anywhere there is no statement to rewrite, and the text stays as it is.
    if (t.find("include") == std::string_view::npos) return IncludeRewrite{t, nullptr, {}};
    std::unique_ptr<std::string> out;  // made at the first statement
    support::StringMap<IncludeSpec> specs;
    std::vector<char> brackets;
    bool key_position = true;
    std::size_t copied = 0;
    std::size_t pos = 0;
    const std::size_t n = t.size();

    while (pos < n) {
        switch (const char c = t[pos]) {
            case '"':
                if (pos + 2 < n && t[pos + 1] == '"' && t[pos + 2] == '"') {
                    const std::size_t close = t.find(R"(""")", pos + 3);
                    pos = close == std::string_view::npos ? n : close + 3;
                } else {
                    pos = std::min(structured_template::end_of_quoted(t, pos), n);
                }
                key_position = false;
                break;
            case '/':
                if (pos + 1 >= n || t[pos + 1] != '/') {
                    key_position = false;
                    ++pos;
                    break;
                }
                [[fallthrough]];
            case '#': {
                const std::size_t line_feed = t.find('\n', pos);
                pos = line_feed == std::string_view::npos ? n : line_feed;
                break;
            }
            case '$':
                if (pos + 1 < n && t[pos + 1] == '{') {
                    const std::size_t close = t.find('}', pos + 2);
                    pos = close == std::string_view::npos ? n : close + 1;
                } else {
                    ++pos;
                }
                key_position = false;
                break;
            case ' ':
            case '\t':
                ++pos;
                break;
            case '\n':
            case '\r':
            case ',':
                key_position = brackets.empty() || brackets.back() == '{';
                ++pos;
                break;
            case '{':
            case '[':
                brackets.push_back(c);
                key_position = c == '{';
                ++pos;
                break;
            case '}':
            case ']':
                if (!brackets.empty()) brackets.pop_back();
                key_position = false;
                ++pos;
                break;
            default: {
                const bool may_include = c == 'i' && key_position && (brackets.empty() || brackets.back() != '[') &&
                                         t.substr(pos, 7) == "include";
                key_position = false;
                std::optional<IncludeStatement> statement;
                if (may_include) statement = read_include_statement(t, pos);
                if (!statement) {
                    ++pos;
                    break;
                }
                std::string name = concat(prefix, "include_", next_id, "__");
                ++next_id;
                if (!out) {
                    out = std::make_unique<std::string>();
                    out->reserve(t.size());
                }
                out->append(t, copied, pos - copied);
                out->push_back('"');
                out->append(name);
                out->append("\" = null");
                specs.insert_or_assign(std::move(name), std::move(statement->spec));
                pos = copied = statement->end;
            }
        }
    }
    if (!out) return IncludeRewrite{t, nullptr, std::move(specs)};
    out->append(t, copied);
    const std::string_view rewritten = *out;
    return IncludeRewrite{rewritten, std::move(out), std::move(specs)};
}

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

// --- parsing one text --------------------------------------------------------------------------

// The rewritten text views the transformed one, which lives behind its own pointer, so the two
// may be moved together.
struct TemplateConfigLoader::PreparedText {
    structured_template::TransformedSource transformed;
    config_loader::IncludeRewrite rewrite;
};

std::expected<TemplateConfigLoader::PreparedText, LoadError> TemplateConfigLoader::prepare(std::string_view text) {
    if (text.find(prefix) != std::string_view::npos) return std::unexpected(LoadError::prefix_collision());

    auto transformed = structured_template::transform_source(text, prefix, next_id);
    if (!transformed) return fail(std::move(transformed.error()));

    auto rewrite = config_loader::rewrite_includes(transformed->text, prefix, next_id);
    return PreparedText{std::move(*transformed), std::move(rewrite)};
}

std::expected<ParsedRaw, LoadError> TemplateConfigLoader::parse_raw(std::string_view text, IncludeStack& stack) {
    auto prepared = prepare(text);
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    return parse_prepared(*prepared, stack);
}

std::expected<ParsedDocument, LoadError> TemplateConfigLoader::parse_document(std::string_view text,
                                                                            IncludeStack& stack) {
    auto prepared = prepare(text);
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    // Without blocks and include statements the loader has no names of its own in the text, so
    // the prefix plays no part in the value: nothing is left to check or to take out of it.
    if (prepared->transformed.loops.empty() && prepared->rewrite.specs.empty()) {
        if (auto value = hocon::HoconParser(prepared->rewrite.text, config_options).parse_plain())
            return std::move(*value);
    }
    auto parsed = parse_prepared(*prepared, stack);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return std::move(*parsed);
}

std::expected<ParsedRaw, LoadError> TemplateConfigLoader::parse_prepared(PreparedText& prepared, IncludeStack& stack) {
    auto& transformed = prepared.transformed;
    auto& rewrite = prepared.rewrite;
    auto parsed = hocon::HoconParser(rewrite.text, config_options).parse(read_budget);
    if (!parsed) return fail(concat("parsing configuration: ", parsed.error().render()));
    hocon::RawObject& object = *parsed;
    support::StringMap<bool> own;
    for (const LoopSource& loop : transformed.loops) own.emplace(loop.marker, false);
    for (const auto& [name, spec] : rewrite.specs) own.emplace(name, false);
    if (holds_foreign_prefix(object.fields, prefix, own)) return std::unexpected(LoadError::prefix_collision());

    support::StringMap<LoopHeader> loops;
    if (auto injected = inject_includes(object, rewrite.specs, loops, stack); !injected) {
        return std::unexpected(std::move(injected.error()));
    }

    // A marker's place is the quoted string equal to it. The prefix guard leaves the one the
    // loader wrote as the only one, in this text and in every body put back, so the places are
    // found in one walk for all blocks before any wrapper is put in: putting a wrapper in shifts
    // no other place.
    std::vector<std::optional<ValuePath>> places(transformed.loops.size());
    support::StringMap<std::size_t> wanted;
    if (!transformed.loops.empty()) {
        for (std::size_t i = 0; i < transformed.loops.size(); ++i) wanted.emplace(transformed.loops[i].marker, i);
        ValuePath path;
        for (std::size_t i = 0; i < object.fields.size(); ++i) {
            const hocon::KeyValueField* kv = object.fields[i].as_key_value();
            if (!kv) continue;
            path.assign(1, i);
            locate_markers(kv->value, wanted, places, path);
        }
    }

    for (std::size_t block = 0; block < transformed.loops.size(); ++block) {
        LoopSource& loop = transformed.loops[block];
        if (loop_depth_ >= max_structured_loop_nesting) {
            return fail(concat("structured loop blocks nested deeper than ", max_structured_loop_nesting));
        }
        const std::string body_text = concat(body_key_name, " = ", loop.body);
        ++loop_depth_;
        auto body = parse_raw(body_text, stack);
        --loop_depth_;
        if (!body) return std::unexpected(std::move(body.error()));

        hocon::RawValue* body_value = nullptr;
        for (hocon::ObjectField& field : body->fields) {
            if (field.as_comment()) continue;
            hocon::KeyValueField* kv = field.as_key_value();
            if (!kv || body_value || !is_single_segment(kv->key, body_key_name)) {
                return fail(std::string(one_value_message));
            }
            body_value = &kv->value;
        }
        if (!body_value) return fail(std::string(one_value_message));

        std::vector<std::pair<hocon::RawString, hocon::RawValue>> wrapper_fields;
        wrapper_fields.emplace_back(hocon::RawString::quoted(concat(prefix, "loop_marker")),
                                    hocon::RawValue::string(hocon::RawString::quoted(loop.marker)));
        wrapper_fields.emplace_back(hocon::RawString::quoted(concat(prefix, "loop_body")),
                                    std::move(*body_value));
        hocon::RawValue wrapper = hocon::RawValue::object(std::move(wrapper_fields));

        if (!places[block]) return fail("structured loop marker was not found");
        const ValuePath& place = *places[block];
        hocon::RawValue& field_value = object.fields[place.front()].as_key_value()->value;
        if (auto placed = replace_at(field_value, std::span(place).subspan(1), std::move(wrapper)); !placed) {
            return std::unexpected(std::move(placed.error()));
        }

        for (auto& [marker, header] : body->loops) loops.insert_or_assign(marker, std::move(header));
        loops.insert_or_assign(std::move(loop.marker), LoopHeader{std::move(loop.variable), std::move(loop.source)});
    }

    return ParsedRaw{std::move(object.fields), std::move(loops)};
}

// --- files and includes ------------------------------------------------------------------------

namespace {

bool is_conf_path(std::string_view path) {
    const auto component = final_component(path);
    const std::string_view name = component ? path.substr(component->begin, component->end - component->begin) : "";
    return extension_of(name) == std::optional<std::string_view>("conf");
}

}  // namespace

std::expected<ParsedRaw, LoadError> TemplateConfigLoader::load_path(const std::string& path, IncludeStack& stack) {
    if (is_conf_path(path)) return parse_conf(path, stack, [&](std::string_view text) { return parse_raw(text, stack); });
    // JSON and properties files are the HOCON library's to read, by the path's own bytes.
    auto parsed = hocon::parse_file(path, config_options, read_budget);
    if (!parsed) return fail(parsed.error().render());
    support::StringMap<bool> none;
    if (holds_foreign_prefix(parsed->fields, prefix, none)) return std::unexpected(LoadError::prefix_collision());
    return ParsedRaw{std::move(parsed->fields), {}};
}

std::expected<ParsedDocument, LoadError> TemplateConfigLoader::load_document(const std::string& path,
                                                                           IncludeStack& stack) {
    if (is_conf_path(path))
        return parse_conf(path, stack, [&](std::string_view text) { return parse_document(text, stack); });
    auto parsed = load_path(path, stack);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return std::move(*parsed);
}

template <class Parse>
auto TemplateConfigLoader::parse_conf(const std::string& path, IncludeStack& stack, Parse&& parse)
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

std::expected<std::vector<hocon::ObjectField>, LoadError> TemplateConfigLoader::resolve_include(
    const IncludeSpec& spec, support::StringMap<LoopHeader>& loops, IncludeStack& stack) {
    auto search_list = [&]() -> std::vector<std::string> {
        for (const std::string& dir : config_options.search_list()) {
            auto found = config_loader::config_paths(join_search_dir(dir, spec.target));
            if (!found.empty()) return found;
        }
        return {};
    };

    std::vector<std::string> candidates;
    switch (spec.kind) {
        case IncludeKind::Classpath:
            if (spec.target.starts_with('/') && !config_options.search_list().empty()) {
                return fail("absolute path in classpath include");
            }
            candidates = search_list();
            break;
        case IncludeKind::File:
            candidates = config_loader::config_paths(spec.target);
            break;
        case IncludeKind::Plain:
            candidates = config_loader::config_paths(spec.target);
            if (candidates.empty()) candidates = search_list();
            break;
    }

    std::vector<hocon::ObjectField> fields;
    if (candidates.empty()) {
        if (spec.required) return fail(concat("required include not found: ", spec.target));
        return fields;
    }
    for (const std::string& candidate : candidates) {
        auto loaded = load_path(candidate, stack);
        if (!loaded) return std::unexpected(std::move(loaded.error()));
        for (hocon::ObjectField& field : loaded->fields) fields.push_back(std::move(field));
        for (auto& [marker, header] : loaded->loops) loops.insert_or_assign(marker, std::move(header));
    }
    return fields;
}

namespace {

// One step of the include walk. The walk keeps its own stack: the unresolved tree of one text
// is only as deep as the parser allows, but the walks of all files of an include chain are open
// at once, so recursing per level would stack up the depth of every file on the chain.
struct InjectTask {
    enum class Kind { Field, Value, Rebuild };
    Kind kind;
    hocon::ObjectField* field = nullptr;  // Field: a field of an object
    hocon::RawValue* value = nullptr;     // Value: what to visit; Rebuild: where the concatenation goes back
    std::size_t held = 0;                 // Rebuild: index of the concatenation taken apart
};

struct HeldConcatenation {
    std::vector<hocon::RawValue> parts;
    std::vector<std::string> separators;
};

// Visits fields and values in the order of a recursive walk: fields in order, a placeholder
// field handed to `on_placeholder` (true when it replaced the field), other fields' values
// descended into, every concatenation taken apart and built again once its parts are done.
template <class OnField>
std::expected<void, LoadError> walk_for_includes(std::vector<InjectTask> tasks, OnField&& on_field) {
    std::deque<HeldConcatenation> held;  // elements never move, so pointers into parts stay valid
    auto push_fields = [&](hocon::RawObject& object) {
        for (auto it = object.fields.rbegin(); it != object.fields.rend(); ++it) {
            tasks.push_back(InjectTask{InjectTask::Kind::Field, &*it});
        }
    };
    while (!tasks.empty()) {
        const InjectTask task = tasks.back();
        tasks.pop_back();
        switch (task.kind) {
            case InjectTask::Kind::Field: {
                hocon::KeyValueField* kv = task.field->as_key_value();
                if (!kv) break;
                auto replaced = on_field(*task.field);
                if (!replaced) return std::unexpected(std::move(replaced.error()));
                if (!*replaced) tasks.push_back(InjectTask{InjectTask::Kind::Value, nullptr, &kv->value});
                break;
            }
            case InjectTask::Kind::Value: {
                hocon::RawValue& value = *task.value;
                switch (value.kind()) {
                    case hocon::RawValue::Kind::Object:
                        push_fields(*value.as_object());
                        break;
                    case hocon::RawValue::Kind::Array: {
                        auto& elements = *value.as_array();
                        for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
                            tasks.push_back(InjectTask{InjectTask::Kind::Value, nullptr, &*it});
                        }
                        break;
                    }
                    case hocon::RawValue::Kind::Concatenation: {
                        auto [parts, separators] = std::move(*value.as_concatenation()).into_parts();
                        value = hocon::RawValue::null();
                        held.push_back(HeldConcatenation{std::move(parts), std::move(separators)});
                        const std::size_t index = held.size() - 1;
                        tasks.push_back(InjectTask{InjectTask::Kind::Rebuild, nullptr, &value, index});
                        auto& held_parts = held[index].parts;
                        for (auto it = held_parts.rbegin(); it != held_parts.rend(); ++it) {
                            tasks.push_back(InjectTask{InjectTask::Kind::Value, nullptr, &*it});
                        }
                        break;
                    }
                    case hocon::RawValue::Kind::Append:
                        tasks.push_back(InjectTask{InjectTask::Kind::Value, nullptr, &value.as_append()->value.get()});
                        break;
                    default:
                        break;
                }
                break;
            }
            case InjectTask::Kind::Rebuild: {
                HeldConcatenation& concatenation = held[task.held];
                auto rebuilt = rebuild_concat(std::move(concatenation.parts), std::move(concatenation.separators));
                if (!rebuilt) return std::unexpected(std::move(rebuilt.error()));
                *task.value = std::move(*rebuilt);
                break;
            }
        }
    }
    return {};
}

}  // namespace

std::expected<void, LoadError> TemplateConfigLoader::inject_includes(hocon::RawObject& object,
                                                                     support::StringMap<IncludeSpec>& specs,
                                                                     support::StringMap<LoopHeader>& loops,
                                                                     IncludeStack& stack) {
    // Only placeholders change anything: a text that had no statement is not walked.
    if (specs.empty()) return {};
    std::vector<InjectTask> tasks;
    for (auto it = object.fields.rbegin(); it != object.fields.rend(); ++it) {
        tasks.push_back(InjectTask{InjectTask::Kind::Field, &*it});
    }
    return walk_for_includes(std::move(tasks), [&](hocon::ObjectField& field) { return inject_field(field, specs, loops, stack); });
}

std::expected<void, LoadError> TemplateConfigLoader::inject_value(hocon::RawValue& value,
                                                                  support::StringMap<IncludeSpec>& specs,
                                                                  support::StringMap<LoopHeader>& loops,
                                                                  IncludeStack& stack) {
    return walk_for_includes({InjectTask{InjectTask::Kind::Value, nullptr, &value}},
                             [&](hocon::ObjectField& field) { return inject_field(field, specs, loops, stack); });
}

std::expected<bool, LoadError> TemplateConfigLoader::inject_field(hocon::ObjectField& field,
                                                                  support::StringMap<IncludeSpec>& specs,
                                                                  support::StringMap<LoopHeader>& loops,
                                                                  IncludeStack& stack) {
    const auto path = field.as_key_value()->key.path();
    if (path.size() != 1) return false;
    const auto spec = specs.find(path.front());
    if (spec == specs.end()) return false;
    IncludeSpec include = std::move(spec->second);
    specs.erase(spec);
    auto fields = resolve_include(include, loops, stack);
    if (!fields) return std::unexpected(std::move(fields.error()));
    // The loaded content is not walked again: an included HOCON file had its own placeholders
    // replaced when it was parsed.
    field = hocon::ObjectField::inclusion(hocon::Inclusion{std::move(include.target), include.required, std::nullopt,
                                                           hocon::RawObject{std::move(*fields)}});
    return true;
}

// --- finishing and the attempt loop ------------------------------------------------------------

std::expected<TemplateConfig, LoadError> TemplateConfigLoader::finish(ParsedDocument document) const {
    if (auto* value = std::get_if<hocon::Value>(&document)) return TemplateConfig{std::move(*value), {}};
    ParsedRaw& parsed = std::get<ParsedRaw>(document);
    // Resolution falls back to the environment for substitutions the document does not define,
    // and a value taken from there could stand in the tree as one of the loader's names: an
    // environment that holds the prefix starts the next attempt, as a text holding it does.
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view variable(*entry);
        const std::size_t equals = variable.find('=');
        if (equals != std::string_view::npos && variable.find(prefix, equals + 1) != std::string_view::npos)
            return std::unexpected(LoadError::prefix_collision());
    }
    auto config = hocon::Config::from(hocon::RawObject{std::move(parsed.fields)});
    if (!config) return fail(concat("resolving configuration: ", config.error().render()));
    auto resolved = config->resolve();
    if (!resolved) return fail(concat("resolving configuration: ", resolved.error().render()));

    support::StringMap<hocon::Value> bodies;
    auto root = config_loader::extract_loop_bodies(std::move(*resolved), prefix, bodies);
    if (!root) return std::unexpected(std::move(root.error()));

    TemplateConfig result{std::move(*root), {}};
    for (auto& [marker, header] : parsed.loops) {
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

// Runs attempts 0, 1, 2, ... until one ends otherwise than in a prefix collision. Each attempt
// parses its texts afresh; a collision needs a text holding that attempt's own prefix, so the
// number of restarts is bounded by the distinct prefixes written in the texts. A message may
// quote paths, whose bytes need not be UTF-8 (the working directory's, for one). Each attempt
// has tree memory of its own, so what a failed attempt read goes with it.
template <class Attempt>
std::expected<TemplateConfig, std::string> run_attempts(Attempt&& attempt) {
    for (std::uint64_t number = 0;; ++number) {
        const hocon::TreeMemoryScope tree_memory(std::make_unique<ArenaTreeMemory>());
        auto result = attempt(number);
        if (result) return std::move(*result);
        if (!result.error().is_prefix_collision()) return std::unexpected(lossy_utf8(result.error().text()));
    }
}

}  // namespace

std::expected<TemplateConfig, std::string> load_str(std::string_view text,
                                                    std::optional<hocon::ConfigOptions> options) {
    return run_attempts([&](std::uint64_t number) -> std::expected<TemplateConfig, LoadError> {
        TemplateConfigLoader loader(number, options ? *options : hocon::ConfigOptions::defaults());
        loader.read_budget.add_text(text.size());
        IncludeStack stack;
        auto parsed = loader.parse_document(text, stack);
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        return loader.finish(std::move(*parsed));
    });
}

std::expected<TemplateConfig, std::string> load_file(std::string path, hocon::ConfigOptions options) {
    return run_attempts([&](std::uint64_t number) -> std::expected<TemplateConfig, LoadError> {
        TemplateConfigLoader loader(number, options);
        const std::vector<std::string> candidates = config_paths(path);
        if (candidates.empty()) {
            auto loaded = hocon::Config::load(path, loader.config_options);
            if (!loaded) return fail(loaded.error().render());
            return TemplateConfig{std::move(*loaded), {}};
        }
        IncludeStack stack;
        if (candidates.size() == 1) {
            auto parsed = loader.load_document(candidates.front(), stack);
            if (!parsed) return std::unexpected(std::move(parsed.error()));
            return loader.finish(std::move(*parsed));
        }
        // The fields of several files are joined before they are resolved together.
        ParsedRaw all;
        for (const std::string& candidate : candidates) {
            auto parsed = loader.load_path(candidate, stack);
            if (!parsed) return std::unexpected(std::move(parsed.error()));
            for (hocon::ObjectField& field : parsed->fields) all.fields.push_back(std::move(field));
            for (auto& [marker, header] : parsed->loops) all.loops.insert_or_assign(marker, std::move(header));
        }
        return loader.finish(std::move(all));
    });
}

}  // namespace config_loader
}  // namespace veskora::render
