// The strict JSON reader: RFC 8259 syntax only (no comments, no trailing commas, no unquoted
// text), the root an object, nesting bounded like HOCON text. It builds the values as the HOCON
// parser does, objects merged as they are completed.
#include <cstring>
#include <deque>

#include "hocon/loading.hpp"
#include "hocon/options.hpp"
#include "hocon/parser.hpp"
#include "hocon/text.hpp"
#include "hocon/tree.hpp"

namespace hocon {

namespace {

class JsonReader {
public:
    JsonReader(std::string_view text, const std::string* file, const Place& place)
        : s_(text), file_(file), base_(place.depth - 1), stats_(*place.stats), memory_(place.fields->memory()) {}

    // The document's fields into `root`.
    std::expected<void, Error> read(ObjectBuilder& root) {
        if (auto bad = text::find_invalid_utf8(s_)) {
            pos_ = *bad;
            line_ = text::line_at(s_, *bad);
            return fail("the text is not valid UTF-8");
        }
        skip_space();
        if (peek() != '{') {
            if (peek() == '[') return fail("the JSON root must be an object, found an array");
            return fail("expected '{' to begin the JSON document, found " + text::describe_at(s_, pos_));
        }
        if (auto r = read_fields(root); !r) return r;
        skip_space();
        if (pos_ < s_.size()) return fail("expected end of input after the JSON document, found " + found());
        return {};
    }

private:
    std::string_view s_;
    const std::string* file_;
    std::size_t base_;
    DocumentStats& stats_;
    TreeMemory* memory_;  // what the containers read are made from
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t depth_ = 0;
    std::deque<ObjectBuilder> field_buffers_;  // one for each depth, reused

    unsigned char peek() const { return pos_ < s_.size() ? static_cast<unsigned char>(s_[pos_]) : 0; }
    std::string found() const { return text::describe_at(s_, pos_); }
    SourceLocation here() const { return SourceLocation{file_, line_}; }
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail(std::string message) const {
        return std::unexpected(Error(here(), std::move(message)));
    }

    void skip_space() {
        while (pos_ < s_.size()) {
            char c = s_[pos_];
            if (c == '\n') {
                ++line_;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                break;
            }
            ++pos_;
        }
    }

    std::expected<void, Error> enter() {
        if (++depth_ > ConfigOptions::default_nesting_limit)
            return fail("objects and arrays nest deeper than the limit of " +
                        std::to_string(ConfigOptions::default_nesting_limit) + " levels");
        if (base_ + depth_ > detail::max_value_depth)
            return fail("objects and arrays nest deeper than the limit of " + std::to_string(detail::max_value_depth) +
                        " levels");
        return {};
    }

    std::expected<std::string, Error> read_string() {
        ++pos_;
        std::string out;
        if (auto problem = text::decode_quoted(s_, pos_, out)) return fail(*problem);
        return out;
    }

    // The fields of the object at the position into `fields`.
    std::expected<void, Error> read_fields(ObjectBuilder& fields) {
        ++pos_;
        if (auto r = enter(); !r) return r;
        skip_space();
        if (peek() == '}') {
            ++pos_;
            --depth_;
            return {};
        }
        while (true) {
            skip_space();
            if (peek() != '"') return fail("expected a quoted key, found " + found());
            detail::Field& field = fields.add();
            field.where = here();
            auto key = read_string();
            if (!key) return std::unexpected(key.error());
            stats_.measure += key->size();
            field.key = detail::Key(std::move(*key));
            skip_space();
            if (peek() != ':') return fail("expected ':' after the key, found " + found());
            ++pos_;
            if (auto r = read_value(field.value); !r) return r;
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                break;
            }
            return fail("expected ',' or '}' after a field, found " + found());
        }
        --depth_;
        return {};
    }

    std::expected<void, Error> read_object(Value& out) {
        while (field_buffers_.size() <= depth_ + 1) field_buffers_.emplace_back(memory_);
        ObjectBuilder& fields = field_buffers_[depth_ + 1];
        const std::size_t first = fields.size();
        if (auto r = read_fields(fields); !r) return r;
        out = fields.close(first, here());
        return {};
    }

    std::expected<void, Error> read_array(Value& out) {
        ++pos_;
        if (auto r = enter(); !r) return r;
        Value::Array elements = Value::array_in(memory_);
        skip_space();
        if (peek() == ']') {
            ++pos_;
            --depth_;
            out = Value(std::move(elements));
            return {};
        }
        bool pending = false;
        while (true) {
            if (auto r = read_value(elements.emplace_back()); !r) return r;
            pending = pending || elements.back().is_unresolved();
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                break;
            }
            return fail("expected ',' or ']' after an array element, found " + found());
        }
        --depth_;
        out = pending ? detail::finish_array(memory_, std::move(elements), here()) : Value(std::move(elements));
        return {};
    }

    std::expected<void, Error> read_value(Value& out) {
        skip_space();
        stats_.measure += detail::bytes_per_value;
        unsigned char c = peek();
        if (c == '{') return read_object(out);
        if (c == '[') return read_array(out);
        if (c == '"') {
            auto str = read_string();
            if (!str) return std::unexpected(str.error());
            stats_.measure += str->size();
            out.node().emplace<std::string>(std::move(*str));
            return {};
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = pos_;
            while (end < s_.size()) {
                char d = s_[end];
                if (!((d >= '0' && d <= '9') || d == '-' || d == '+' || d == '.' || d == 'e' || d == 'E')) break;
                ++end;
            }
            std::string_view literal = s_.substr(pos_, end - pos_);
            if (!text::is_json_number(literal)) return fail("invalid number '" + std::string(literal) + "'");
            pos_ = end;
            stats_.measure += literal.size();
            detail::set_number(memory_, out, literal, here());
            return {};
        }
        for (auto [word, value] : {std::pair{"true", 1}, std::pair{"false", 0}, std::pair{"null", 2}}) {
            std::string_view w(word);
            if (s_.substr(pos_).starts_with(w)) {
                pos_ += w.size();
                if (value == 2)
                    out = Value();
                else
                    out.node().emplace<bool>(value == 1);
                return {};
            }
        }
        return fail("expected a JSON value, found " + found());
    }
};

}  // namespace

namespace detail {

std::expected<void, Error> read_json(std::string_view text, const std::string* file, const Place& place) {
    JsonReader reader(text, file, place);
    return reader.read(*place.fields);
}

}  // namespace detail

std::expected<Document, Error> parse_json(std::string_view text, std::optional<std::string> origin) {
    Document document;
    const std::string* file = origin ? document.stats.keep_file(std::move(*origin)) : nullptr;
    return detail::read_document(std::move(document),
                                 [&](const Place& place) { return detail::read_json(text, file, place); });
}

}  // namespace hocon
