// The documents of the load benchmarks, made in memory so that nothing large is checked in:
// rulesets of a chosen size in the mix a real one has (templates with references and
// pipelines, choices, weighted entries, object rules, comments), and one array of numbers.
// The same seed gives the same text, so two builds load the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace veskora::bench {

class DocumentWriter {
public:
    // A ruleset of at least `bytes` bytes, ending at a rule's end. Groups of five rules: a
    // choice, a template naming earlier rules, a weighted choice, an object rule and a template
    // through a pipeline, with a comment line above each group; about 180 bytes a rule.
    static std::string ruleset(std::size_t bytes) {
        DocumentWriter w;
        w.out_.reserve(bytes + 1024);
        for (std::size_t group = 0; w.out_.size() < bytes; ++group) w.group(group);
        return std::move(w.out_);
    }

    // values = [n, n, ...]: `count` numbers below 100, so that each takes about four bytes.
    static std::string number_array(std::size_t count) {
        DocumentWriter w;
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
    std::string out_;
    std::uint64_t state_ = 0x9e3779b97f4a7c15u;

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
    void word_list(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out_ += ", ";
            word();
        }
    }
    // The name of a rule of an earlier group (or of this one's first rule).
    void reference(std::size_t group, const char* kind) {
        out_ += kind;
        out_ += std::to_string(group == 0 ? 0 : below(group));
    }

    void group(std::size_t g) {
        const std::string n = std::to_string(g);
        out_ += "# group " + n + ": ";
        words(6);
        out_ += "\nchoice" + n + " = [";
        word_list(4 + below(4));
        out_ += "]\ntemplate" + n + " = \"The {";
        reference(g, "choice");
        out_ += "} ";
        words(2);
        out_ += " {";
        reference(g, "choice");
        out_ += " | capitalize} and {";
        reference(g, "weighted");
        out_ += "}, ";
        words(3);
        out_ += ".\"\nweighted" + n + " = [\n";
        for (std::size_t i = 0; i < 3; ++i) {
            out_ += "  { value = \"";
            words(2);
            out_ += "\", weight = " + std::to_string(1 + below(9)) + (i == 1 ? ".5" : "") + " }\n";
        }
        out_ += "]\nobject" + n + " {\n  title = \"{template" + n + "}\"\n  level = " +
                std::to_string(below(100)) + "\n  tags = [";
        word_list(3);
        out_ += "]\n  details { note = \"";
        words(4);
        out_ += "\", open = " + std::string(below(2) == 0 ? "true" : "false") + " }\n}\n";
        out_ += "sentence" + n + " = \"{% x := choice" + n + " %}{";
        reference(g, "template");
        out_ += " | sentence} {x | uppercase}!\"\n";
    }
};

}  // namespace veskora::bench
