// The strict JSON reader: RFC 8259 syntax only (no comments, no trailing commas, no unquoted
// text), the root an object, nesting bounded like HOCON text.
#include "hocon/options.hpp"
#include "hocon/parser.hpp"
#include "hocon/text.hpp"

namespace hocon {

namespace {

class JsonReader {
public:
    JsonReader(std::string_view text, std::optional<std::string> origin)
        : s_(text), origin_(std::move(origin)) {}

    std::expected<RawObject, Error> read() {
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
        auto root = read_object();
        if (!root) return std::unexpected(root.error());
        skip_space();
        if (pos_ < s_.size()) return fail("expected end of input after the JSON document, found " + found());
        return std::move(*root->as_object());
    }

private:
    std::string_view s_;
    std::optional<std::string> origin_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t depth_ = 0;

    unsigned char peek() const { return pos_ < s_.size() ? static_cast<unsigned char>(s_[pos_]) : 0; }
    std::string found() const { return text::describe_at(s_, pos_); }
    std::unexpected<Error> fail(std::string message) const {
        return std::unexpected(Error(origin_, line_, std::move(message)));
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
        return {};
    }

    std::expected<std::string, Error> read_string() {
        ++pos_;
        std::string out;
        if (auto problem = text::decode_quoted(s_, pos_, out)) return fail(*problem);
        return out;
    }

    std::expected<RawValue, Error> read_object() {
        ++pos_;
        if (auto r = enter(); !r) return std::unexpected(r.error());
        RawObject object;
        skip_space();
        if (peek() == '}') {
            ++pos_;
            --depth_;
            return RawValue(std::move(object));
        }
        while (true) {
            skip_space();
            if (peek() != '"') return fail("expected a quoted key, found " + found());
            SourceLocation where{origin_ ? std::make_shared<const std::string>(*origin_) : nullptr, line_};
            auto key = read_string();
            if (!key) return std::unexpected(key.error());
            skip_space();
            if (peek() != ':') return fail("expected ':' after the key, found " + found());
            ++pos_;
            auto value = read_value();
            if (!value) return std::unexpected(value.error());
            object.fields.push_back(
                ObjectField(KeyValueField{RawString::quoted(std::move(*key)), std::move(*value), std::nullopt, where}));
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
        return RawValue(std::move(object));
    }

    std::expected<RawValue, Error> read_array() {
        ++pos_;
        if (auto r = enter(); !r) return std::unexpected(r.error());
        std::vector<RawValue> elements;
        skip_space();
        if (peek() == ']') {
            ++pos_;
            --depth_;
            return RawValue::array(std::move(elements));
        }
        while (true) {
            auto value = read_value();
            if (!value) return std::unexpected(value.error());
            elements.push_back(std::move(*value));
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
        return RawValue::array(std::move(elements));
    }

    std::expected<RawValue, Error> read_value() {
        skip_space();
        unsigned char c = peek();
        if (c == '{') return read_object();
        if (c == '[') return read_array();
        if (c == '"') {
            auto str = read_string();
            if (!str) return std::unexpected(str.error());
            return RawValue(RawString::quoted(std::move(*str)));
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
            return RawValue::number(std::string(literal));
        }
        for (auto [word, value] : {std::pair{"true", 1}, std::pair{"false", 0}, std::pair{"null", 2}}) {
            std::string_view w(word);
            if (s_.substr(pos_).starts_with(w)) {
                pos_ += w.size();
                return value == 2 ? RawValue::null() : RawValue::boolean(value == 1);
            }
        }
        return fail("expected a JSON value, found " + found());
    }
};

}  // namespace

std::expected<RawObject, Error> parse_json(std::string_view text, std::optional<std::string> origin) {
    JsonReader reader(text, std::move(origin));
    return reader.read();
}

}  // namespace hocon
