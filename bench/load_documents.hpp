// The documents of the load benchmarks, made in memory so that nothing large is checked in:
// rulesets of a chosen size in the mix a real one has (templates with references and
// pipelines, choices, weighted entries, object rules, comments), and one array of numbers.
// The same seed gives the same text, so two builds load the same bytes.
//
// A ruleset comes in kinds that differ from the plain one only as their names say, so that each
// is measured beside its twin: every rule naming ${context.place} where the plain one writes the
// place, one line more that adds nothing, a loop block in every tenth rule where the plain one
// has the array it makes, the same rules in ten included files, or the same rules as JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veskora::bench {

enum class Kind {
    Plain,                 // objects, arrays and scalars only
    Substitutions,         // one ${context.place} in every rule
    OptionalSubstitution,  // the plain rules, then the line zz = ${?undefined}, which adds nothing
    LoopBlocks,            // every tenth rule holds a structured loop block
    Json,                  // the plain rules as JSON
};

class DocumentWriter {
public:
    // A ruleset of at least `bytes` bytes (counted in its plain form), ending at a rule's end.
    // Groups of five rules: a choice, a template naming earlier rules, a weighted choice, an
    // object rule and a template through a pipeline, with a comment line above each group;
    // about 180 bytes a rule. Every kind of one size has as many groups, with the same words.
    static std::string ruleset(std::size_t bytes, Kind kind = Kind::Plain) {
        return ruleset_of_groups(groups_for(bytes), kind);
    }

    // The plain ruleset of `bytes` split into `files` texts of consecutive groups, the context
    // in the first; together they are the plain ruleset.
    static std::vector<std::string> ruleset_parts(std::size_t bytes, std::size_t files) {
        const std::size_t groups = groups_for(bytes);
        std::vector<std::string> parts;
        DocumentWriter w(Kind::Plain);
        for (std::size_t part = 0; part < files; ++part) {
            if (part == 0) w.open_document();
            const std::size_t end = groups * (part + 1) / files;
            for (std::size_t group = groups * part / files; group < end; ++group) w.group(group);
            parts.push_back(std::move(w.out_));
            w.out_.clear();
        }
        return parts;
    }

    // values = [n, n, ...]: `count` numbers below 100, so that each takes about four bytes.
    static std::string number_array(std::size_t count) {
        DocumentWriter w(Kind::Plain);
        w.out_.reserve(count * 4 + 16);
        w.out_ += "values = [";
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) w.out_ += ", ";
            w.out_ += std::to_string(w.below(100));
        }
        w.out_ += "]\n";
        return std::move(w.out_);
    }

private:
    Kind kind_;
    std::string out_;
    std::uint64_t state_ = 0x9e3779b97f4a7c15u;

    explicit DocumentWriter(Kind kind) : kind_(kind) {}

    bool json() const { return kind_ == Kind::Json; }

    // How many groups the plain ruleset needs to reach `bytes`.
    static std::size_t groups_for(std::size_t bytes) {
        DocumentWriter w(Kind::Plain);
        w.open_document();
        std::size_t groups = 0;
        while (w.out_.size() < bytes) w.group(groups++);
        return groups;
    }

    static std::string ruleset_of_groups(std::size_t groups, Kind kind) {
        DocumentWriter w(kind);
        w.out_.reserve(groups * 5 * 200 + 1024);
        w.open_document();
        for (std::size_t group = 0; group < groups; ++group) w.group(group);
        if (kind == Kind::OptionalSubstitution) w.out_ += "zz = ${?undefined}\n";
        if (w.json()) w.out_ += "\n}\n";
        return std::move(w.out_);
    }

    std::uint64_t next() {
        // xorshift64*: fast, and the same on every machine.
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545f4914f6cdd1du;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

    void word() {
        static const char* const syllables[] = {"ka", "lo", "mir", "sen", "tu", "var", "el", "dra",
                                                "po", "shi", "ne", "gor", "ul", "fen", "ria", "bo"};
        const std::size_t count = 2 + below(3);
        for (std::size_t i = 0; i < count; ++i) out_ += syllables[below(16)];
    }
    void words(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out_ += ' ';
            word();
        }
    }
    // A list element: a word, quoted in JSON.
    void element() {
        if (json()) out_ += '"';
        word();
        if (json()) out_ += '"';
    }
    void word_list(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out_ += ", ";
            element();
        }
    }
    // The name of a rule of an earlier group (or of this one's first rule).
    void reference(std::size_t group, const char* kind) {
        out_ += kind;
        out_ += std::to_string(group == 0 ? 0 : below(group));
    }

    // The place where a quoted string holds it: a substitution between two quoted parts, or the
    // word itself.
    void place_in_string() { out_ += kind_ == Kind::Substitutions ? "\"${context.place}\"" : "tavern"; }
    // The place as an array element.
    void place_element() {
        if (kind_ == Kind::Substitutions) out_ += "${context.place}";
        else out_ += json() ? "\"tavern\"" : "tavern";
    }

    // A rule's start: "name = " in HOCON, "name": after a comma in JSON.
    void key(const std::string& name, const char* hocon_separator = " = ") {
        if (json()) {
            out_ += ",\n\"" + name + "\": ";
        } else {
            out_ += name + hocon_separator;
        }
    }
    const char* field_separator() const { return json() ? ", " : "\n  "; }

    void open_document() {
        out_ += json() ? "{\"context\": {\"place\": \"tavern\"}" : "context { place = tavern }\n";
    }

    void group(std::size_t g) {
        const std::string n = std::to_string(g);
        const char* end = json() ? "" : "\n";
        if (!json()) {
            out_ += "# group " + n + ": ";
            words(6);
            out_ += "\n";
        }
        key("choice" + n);
        out_ += "[";
        word_list(3 + below(4));
        out_ += ", ";
        place_element();
        out_ += "]";
        out_ += end;
        key("template" + n);
        out_ += "\"The {";
        reference(g, "choice");
        out_ += "} ";
        words(2);
        out_ += " {";
        reference(g, "choice");
        out_ += " | capitalize} and {";
        reference(g, "weighted");
        out_ += "}, ";
        words(2);
        out_ += " of the ";
        place_in_string();
        out_ += ".\"";
        out_ += end;
        key("weighted" + n);
        out_ += json() ? "[" : "[\n";
        for (std::size_t i = 0; i < 3; ++i) {
            out_ += json() ? (i > 0 ? ", {\"value\": \"" : "{\"value\": \"") : "  { value = \"";
            words(2);
            if (i == 0) {
                out_ += " at the ";
                place_in_string();
            }
            out_ += json() ? "\", \"weight\": " : "\", weight = ";
            out_ += std::to_string(1 + below(9)) + (i == 1 ? ".5" : "") + (json() ? "}" : " }\n");
        }
        out_ += "]";
        out_ += end;
        object_rule(g, n);
        key("sentence" + n);
        out_ += "\"{% x := choice" + n + " %}{";
        reference(g, "template");
        out_ += " | sentence} {x | uppercase} in the ";
        place_in_string();
        out_ += "!\"";
        out_ += end;
    }

    void object_rule(std::size_t g, const std::string& n) {
        const char* sep = field_separator();
        key("object" + n, json() ? ": " : " ");
        out_ += json() ? "{\"title\": \"{template" + n + "} in the " : "{\n  title = \"{template" + n + "} in the ";
        place_in_string();
        out_ += "\"";
        out_ += sep;
        out_ += json() ? "\"level\": " : "level = ";
        out_ += std::to_string(below(100));
        out_ += sep;
        out_ += json() ? "\"tags\": [" : "tags = [";
        // Every other group's object rule, one rule in ten, has a loop block where the plain
        // ruleset has the one entry the block describes.
        if (g % 2 == 0) {
            if (kind_ == Kind::LoopBlocks) out_ += "{% for t in choice" + n + " %} ";
            out_ += json() ? "{\"tag\": \"{t}\"}" : "{ tag = \"{t}\" }";
            if (kind_ == Kind::LoopBlocks) out_ += " {% endfor %}";
        } else {
            word_list(3);
        }
        out_ += "]";
        out_ += sep;
        out_ += json() ? "\"details\": {\"note\": \"" : "details { note = \"";
        words(4);
        out_ += json() ? "\", \"open\": " : "\", open = ";
        out_ += below(2) == 0 ? "true" : "false";
        out_ += json() ? "}}" : " }\n}\n";
    }
};

}  // namespace veskora::bench
