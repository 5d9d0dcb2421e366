#include "config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "compile_helpers.hpp"

namespace {

namespace fs = std::filesystem;
using namespace veskora;
using namespace veskora::render;
using veskora::compile_test::render_outcomes;
using veskora::compile_test::render_rule;

const fs::path kFixtures = fs::path(VESKORA_FIXTURES) / "config";

std::expected<RuleSet, config::ConfigError> load(std::string_view text, ProcessorMap processors = {}) {
    return config::ruleset_from_str_with_processors(text, std::move(processors));
}

std::string load_error(std::string_view text) {
    auto ruleset = load(text);
    return ruleset ? std::string("(loaded)") : ruleset.error().fmt();
}

// The rule's text, or "error: " and the error's display.
std::string text_of(const RuleSet& ruleset, std::string_view name, std::uint64_t options = 0) {
    auto text = render_rule(ruleset, name, options);
    return text ? *text : "error: " + text.error().fmt();
}

std::string structured_json(const RuleSet& ruleset, std::string_view name, bool pretty = false) {
    auto value = ruleset.render_rule_structured_with_context_and_options(name, {}, 0);
    if (!value) return "error: " + value.error().fmt();
    auto json = pretty ? value->to_formatted_json() : value->to_compact_json();
    return json ? *json : "error: " + json.error().fmt();
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a test body in another working directory and comes back.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
    ~WorkingDirectory() { fs::current_path(saved_); }

private:
    fs::path saved_;
};

// ---- values ----

TEST(LoadFromText, ScalarRules) {
    auto ruleset = load(R"(
        yes = true
        no = false
        nothing = null
        answer = 42
        minus = -7
        big = 18446744073709551615
        small = -9223372036854775808
        one = 1.0
        half = 2.5
        tiny = 0.00001
        tinier = 1e-6
        e15 = 1e15
        e16 = 1e16
        e_7 = 1.5e-7
        zero = 0.0
        minus_zero = -0
        minus_zero_float = -0.0
        text = "hello"
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    const std::pair<const char*, const char*> cases[] = {
        {"yes", "true"},
        {"no", "false"},
        {"nothing", "null"},
        {"answer", "42"},
        {"minus", "-7"},
        {"big", "18446744073709551615"},
        {"small", "-9223372036854775808"},
        {"one", "1.0"},
        {"half", "2.5"},
        {"tiny", "0.00001"},
        {"tinier", "1e-6"},
        {"e15", "1000000000000000.0"},
        {"e16", "1e+16"},
        {"e_7", "1.5e-7"},
        {"zero", "0.0"},
        {"minus_zero", "-0.0"},
        {"minus_zero_float", "-0.0"},
        {"text", "hello"},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(text_of(*ruleset, name), text) << name;
    // The same numbers keep their form in JSON.
    auto numbers = load("doc { big = 18446744073709551615, small = -9223372036854775808, z = -0, f = 1e16 }");
    ASSERT_TRUE(numbers);
    EXPECT_EQ(structured_json(*numbers, "doc"),
              R"({"big":18446744073709551615,"f":1e+16,"small":-9223372036854775808,"z":-0.0})");
}

TEST(LoadFromText, Choices) {
    auto ruleset = load(R"(
        uniform = [a, b]
        weighted = [a, {value: b, weight: 3}]
        zero_weight = [{value: never, weight: 0}, {value: always, weight: 2}]
        nested = [[x, y]]
        nested_weighted = [{value: [p, q], weight: 1}]
        empty = []
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    const struct {
        const char* name;
        std::set<std::string> outcomes;
    } cases[] = {
        {"uniform", {"a", "b"}},
        {"weighted", {"a", "b"}},
        {"zero_weight", {"always"}},
        {"nested", {"x", "y"}},
        {"nested_weighted", {"p", "q"}},
    };
    for (const auto& c : cases) {
        auto seen = render_outcomes(*ruleset, c.name);
        ASSERT_TRUE(seen) << c.name << ": " << seen.error();
        EXPECT_EQ(*seen, c.outcomes) << c.name;
    }
    EXPECT_EQ(text_of(*ruleset, "empty"), "error: cannot render an empty choice");
}

TEST(LoadFromText, WeightedEntryMessages) {
    const std::string prefix = "invalid weighted choice: ";
    const std::string unmatched = "invalid template expression: unmatched opening brace in template";
    const struct {
        const char* text;
        std::string error;
    } cases[] = {
        {"r = [{value: b}]", prefix + "weighted entries must contain only value and weight"},
        {"r = [{value: b, weight: 1, note: x}]", prefix + "weighted entries must contain only value and weight"},
        {"r = [a, {value: b, weight: 1}, {}]", prefix + "object entries in weighted arrays must use value and weight"},
        {R"(r = [{value: b, weight: "2"}])", prefix + "weight must be numeric"},
        {"r = [{value: b, weight: true}]", prefix + "weight must be numeric"},
        {"r = [{value: b, weight: -1}]", prefix + "weight must be finite and non-negative"},
        // The checks of one entry run shape first, then the weight, then the value; the
        // elements are checked in order.
        {R"(r = [{value: b, weight: "x", note: 1}])", prefix + "weighted entries must contain only value and weight"},
        {"r = [{weight: -1}]", prefix + "weighted entries must contain only value and weight"},
        {R"(r = [{value: [{value: x}], weight: "2"}])", prefix + "weight must be numeric"},
        {"r = [{value: [{value: x}], weight: -1}]", prefix + "weight must be finite and non-negative"},
        {"r = [{value: [{value: x}], weight: 1}]", prefix + "weighted entries must contain only value and weight"},
        {"r = [{value: b}, {}]", prefix + "weighted entries must contain only value and weight"},
        {"r = [{}, {value: b}]", prefix + "object entries in weighted arrays must use value and weight"},
        // The structured tree is compiled before the text rule, so a template error anywhere in
        // the value wins over the entry checks.
        {R"(r = [{value: "{", weight: x}])", unmatched},
        {R"(r = [{value: b}, "{"])", unmatched},
        {R"(r = ["{", {value: b}])", unmatched},
        {R"(r = [{value: "{x | nope}", weight: 1}])", "unknown processor: nope"},
        {"r = [{value: a, weight: 0}, {value: b, weight: -0.0}]", ""},  // the weighted index refuses
        {"r = [{value: a, weight: 1e308}, {value: b, weight: 1e308}]", ""},
    };
    for (const auto& c : cases) {
        const std::string error = load_error(c.text);
        if (c.error.empty()) {
            EXPECT_TRUE(error.starts_with(prefix)) << c.text << ": " << error;
        } else {
            EXPECT_EQ(error, c.error) << c.text;
        }
    }
    auto weights = load("r = [{value: a, weight: 0}, {value: b, weight: -0.0}, {value: c, weight: 1}]");
    ASSERT_TRUE(weights) << weights.error().fmt();
    EXPECT_EQ(render_outcomes(*weights, "r").value(), (std::set<std::string>{"c"}));
}

// ---- registration ----

TEST(LoadFromText, RegistrationUnderDottedNames) {
    auto ruleset = load(R"(
        person { name = Ann, age = 7 }
        sentence = "{person.name} is {person.age}"
        a { b { c = deep } }
        r {
          malformed = [{value: x}]
          fine = [{value: x, weight: 1}]
        }
        "quoted.key" = dotted
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    const std::pair<const char*, const char*> cases[] = {
        {"sentence", "Ann is 7"},
        {"person", "error: unsupported value type: object"},
        {"a", "error: unsupported value type: object"},
        {"a.b", "error: unsupported value type: object"},
        {"a.b.c", "deep"},
        {"r.malformed", "error: unsupported value type: array"},
        {"r.fine", "x"},
        {"quoted.key", "dotted"},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(text_of(*ruleset, name), text) << name;

    // The same malformed array fails the load at top level and under the context.
    const std::string only = "invalid weighted choice: weighted entries must contain only value and weight";
    EXPECT_EQ(load_error("m = [{value: x}]"), only);
    EXPECT_EQ(load_error("context { m = [{value: x}] }"), only);
    EXPECT_EQ(load_error("context { deep { m = [{weight: 1}] } }"), only);
}

TEST(LoadFromText, ContextDefaults) {
    auto ruleset = load(R"(
        context { name = Ann, home { city = Oslo } }
        line = "{name} in {home.city}"
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_EQ(text_of(*ruleset, "line"), "Ann in Oslo");
    EXPECT_EQ(text_of(*ruleset, "name"), "Ann");
    EXPECT_EQ(text_of(*ruleset, "home"), "error: unsupported value type: object");
    EXPECT_EQ(text_of(*ruleset, "context"), "error: unknown rule: context");
    EXPECT_EQ(text_of(*ruleset, "context.name"), "error: unknown rule: context.name");
    EXPECT_EQ(ruleset->render_rule_inferred_with_context_and_options("context", {}, 0).value(),
              "{\n\t\"home\": {\n\t\t\"city\": \"Oslo\"\n\t},\n\t\"name\": \"Ann\"\n}");

    auto plain = load("context = \"just {x}\"\nx = text");
    ASSERT_TRUE(plain) << plain.error().fmt();
    EXPECT_EQ(text_of(*plain, "context"), "just text");
    EXPECT_TRUE(plain->context_defaults().empty());
}

// ---- structured loops ----

TEST(LoadFromText, StructuredLoopBlocks) {
    auto ruleset = load(R"(
        groups = [ { name = g1, items = [a, b] }, { name = g2, items = [c] } ]
        doc {
          list = [
            {% for g in groups %}
            { name = "{g.name}", items = [ {% for i in g.items %} "{i}!" {% endfor %} ] }
            {% endfor %}
            last
          ]
        }
        names = [Ann, Bob]
        inline = "{% for n in names %}{n} {% endfor %}"
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_EQ(structured_json(*ruleset, "doc"),
              R"({"list":[{"items":["a!","b!"],"name":"g1"},{"items":["c!"],"name":"g2"},"last"]})");
    EXPECT_EQ(structured_json(*ruleset, "doc", true),
              "{\n\t\"list\": [\n\t\t{\n\t\t\t\"items\": [\n\t\t\t\t\"a!\",\n\t\t\t\t\"b!\"\n\t\t\t],\n"
              "\t\t\t\"name\": \"g1\"\n\t\t},\n\t\t{\n\t\t\t\"items\": [\n\t\t\t\t\"c!\"\n\t\t\t],\n"
              "\t\t\t\"name\": \"g2\"\n\t\t},\n\t\t\"last\"\n\t]\n}");
    EXPECT_EQ(text_of(*ruleset, "doc.list"), "error: unsupported value type: array");
    // Inside a quoted string the same syntax is a template loop.
    EXPECT_EQ(text_of(*ruleset, "inline"), "Ann Bob ");

    // A block copied by a substitution loops in both places; bodies may be arrays or numbers.
    auto copied = load(R"(
        xs = [a, b]
        doc {
          first = [ {% for x in xs %} [ "{x}", "{loop.index}" ] {% endfor %} ]
          second = ${doc.first}
          numbers = [ {% for x in xs %} 7 {% endfor %}, 8 ]
        }
    )");
    ASSERT_TRUE(copied) << copied.error().fmt();
    EXPECT_EQ(structured_json(*copied, "doc"),
              R"({"first":[["a","1"],["b","2"]],"numbers":[7,7,8],"second":[["a","1"],["b","2"]]})");
}

TEST(LoadFromText, MisplacedStructuredLoopBlocks) {
    const std::string block = "{% for x in xs %} { v = 1 } {% endfor %}";
    const std::string inside =
        "invalid template expression: structured loop blocks must be inside arrays in object-valued rules";
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"doc { k = " + block + " }", "invalid template expression: structured loop blocks must be array entries"},
        {"r = [ " + block + " ]", inside},
        {"r = " + block, inside},
        {"context { k = [ " + block + " ] }", inside},
        {"doc { k = [ " + block + " ] }", "(loaded)"},
    };
    for (const auto& c : cases) EXPECT_EQ(load_error(c.text), c.error) << c.text;
}

// ---- rendering through a loaded document ----

TEST(LoadFromText, RecursionAllowance) {
    auto ruleset = load("a = \"x{a}\"\nb = \"{c}\"\nc = \"{b}\"");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_EQ(text_of(*ruleset, "a", 0), "error: circular rule reference: a -> a");
    EXPECT_EQ(text_of(*ruleset, "a", 1), "xx");
    EXPECT_EQ(text_of(*ruleset, "a", 2), "xxx");
    EXPECT_EQ(text_of(*ruleset, "b", 0), "error: circular rule reference: b -> c -> b");
}

TEST(LoadFromText, InferredAndStructuredRenders) {
    auto ruleset = load(R"(
        obj { n = 1, t = "{word}" }
        word = [hi]
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_EQ(ruleset->render_rule_inferred_with_context_and_options("obj", {}, 0).value(),
              "{\n\t\"n\": 1,\n\t\"t\": \"hi\"\n}");
    EXPECT_EQ(ruleset->render_rule_inferred_with_context_and_options("word", {}, 0).value(), "hi");
    EXPECT_EQ(ruleset->render_rule_inferred_with_context_and_options("nowhere", {}, 0).error(),
              RenderError::unknown_rule("nowhere"));
    EXPECT_EQ(structured_json(*ruleset, "word"), "error: structured render target must be an object: word");
    EXPECT_EQ(text_of(*ruleset, "obj"), "error: unsupported value type: object");
}

TEST(LoadFromText, TemplatesOverDocumentData) {
    auto ruleset = load(R"(
        three = [a, b, c]
        loops = "{% for x in three %}{loop.index}{loop.index0}{loop.length}{loop.first}{loop.last} {% endfor %}"
        one = [only]
        one_loop = "{% for x in one %}{loop.first}/{loop.last}{% endfor %}"
        nested_loops = "{% for o in outer %}{% for i in o.inner %}{o.name}{i}{loop.index} {% endfor %}{% endfor %}"
        outer = [ { name = p, inner = [x, y] }, { name = q, inner = [z] } ]
        unique = "{pick!}{pick!}{pick!}"
        exhausted = "{pick!}{pick!}{pick!}{pick!}"
        pick = [a, b, c]
        not_a_choice = "{word!}"
        word = hello
        same_twice = "{mood}={mood}"
        context { mood = [happy, sad, calm, angry, tired, eager], items = [ctx] }
        items = [root]
        source_prefers_context = "{% for i in items %}{i}{% endfor %}"
        bound = "{% who: word %}{who} {% who: pick %}{who} {% who := word | uppercase %}{who}"
        over_text = "{% for c in word %}{c}{% endfor %}"
    )");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    const std::pair<const char*, const char*> cases[] = {
        {"loops", "103truefalse 213falsefalse 323falsetrue "},
        {"one_loop", "true/true"},
        {"nested_loops", "px1 py2 qz1 "},
        {"exhausted", "error: exhausted unique choice: pick"},
        {"not_a_choice", "error: unique choice target is not a choice: word"},
        {"source_prefers_context", "ctx"},
        {"bound", "hello hello HELLO"},
        {"over_text", "error: iteration source is not iterable: word (string)"},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(text_of(*ruleset, name), text) << name;

    for (int i = 0; i < 20; ++i) {
        const std::string unique = text_of(*ruleset, "unique");
        EXPECT_EQ(std::set<char>(unique.begin(), unique.end()), (std::set<char>{'a', 'b', 'c'})) << unique;
        const std::string twice = text_of(*ruleset, "same_twice");
        const auto eq = twice.find('=');
        ASSERT_NE(eq, std::string::npos) << twice;
        EXPECT_EQ(twice.substr(0, eq), twice.substr(eq + 1));
    }
}

// The rule's text rendered with a caller context, or "error: " and the error's display.
std::string text_with(const RuleSet& ruleset, std::string_view name, ContextMap context, std::uint64_t options = 0) {
    auto state = RenderState::with_context_and_options(ruleset, std::move(context), options);
    auto text = ruleset.render_rule_with_state(name, state);
    return text ? *text : "error: " + text.error().fmt();
}

TEST(LoadFromText, NameResolutionAndBindings) {
    auto ruleset = load(R"(
        context { shared = from-default, only_default = default-text }
        shared = from-rule
        uses_shared = "{shared}"
        caller = rule-text
        uses_caller = "{caller}"
        word = hello
        three = [a, b, c]
        people = [ { name = Ann }, { age = 3 } ]
        selfref = ["<{e}>"]
        generated { list = [ {% for t in three %} "{t}" {% endfor %} ] }
        person { name = Ann }

        loop_count = "{% for x in three %}{loop.count}{% endfor %}"
        outer_and_shadowed = "{% for x in three %}[{% for y in three %}{x}{y}{% endfor %}|{% for x in three %}{x}{% endfor %}|{x}]{% endfor %}"
        loop_count_outside = "{loop.count}"
        loop_bare = "{% for x in three %}{loop}{% endfor %}"
        loop_over_loop = "{% for x in three %}{% for y in loop %}{y}{% endfor %}{% endfor %}"
        missing_member = "{% for p in people %}{p.name}{% endfor %}"
        not_a_member_path = "{% for item in three %}{items}{% endfor %}"
        trailing_point = "{% for p in three %}{p.}{% endfor %}"
        binding_per_iteration = "{% for x in three %}{% b: x %}{b}{% endfor %}"
        nested_binding = "{% for x in three %}{% b: x %}{% for y in three %}{b}{% b := y %}{b}{% endfor %};{% endfor %}"
        keep_caller = "{% caller: word %}[{caller}]"
        replace_caller = "{% caller := word %}{caller}"
        source_is_text = "{% for c in caller %}{c}{% endfor %}"
        source_is_binding = "{% b: word %}{% for c in b %}{c}{% endfor %}"
        source_is_number = "{% for x in three %}{% for y in loop.index %}{y}{% endfor %}{% endfor %}"
        source_is_generated = "{% for g in generated.list %}{g}{% endfor %}"
        source_is_empty = "[{% for x in nothing %}{x}{% endfor %}]"
        nothing = []
        self_element = "{% for e in selfref %}{e}{% endfor %}"
        bind_variable = "{% for item in three %}{% item: word %}{item}{% endfor %}"
        rebind_variable = "{% for item in three %}{% item := word %}{% endfor %}"
        rebind_member = "{% for item in people %}{% item.name := word %}{% endfor %}"
        rebind_loop = "{% for item in three %}{% loop := word %}{% endfor %}"
        rebind_loop_index = "{% for item in three %}{% loop.index := word %}{% endfor %}"
        bind_loop_other = "{% for item in three %}{% loop.other: word %}{% endfor %}"
        weighted = [{value: a, weight: 1}, {value: b, weight: 0}, {value: c, weight: 1}]
        weighted_twice = "{weighted!}{weighted!}"
        weighted_thrice = "{weighted!}{weighted!}{weighted!}"
        unique_loop_name = "{% for x in three %}{x!}{% endfor %}"
        unique_bound = "{% b: word %}{b!}"
        unique_caller = "{caller!}"
        unique_default = "{only_default!}"
        unique_template = "{uses_shared!}"
        unique_object = "{person!}"
        failing_processor = "{word | fails}"
    )", [] {
        ProcessorMap host;
        host.insert_or_assign("fails", make_processor([](std::string_view) -> ProcessResult {
                                  return std::unexpected(std::string("no luck"));
                              }));
        return host;
    }());
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    const ContextMap none;
    const ContextMap from_caller{{"caller", "ctx"}, {"shared", "ctx"}, {"loop.count", "ctx"}, {"p.name", "ctx"}};
    const struct {
        const char* name;
        const ContextMap& context;
        std::uint64_t options;
        std::string text;
    } cases[] = {
        // A rule rendered by name is the rule; inside a template the context answers first.
        {"shared", none, 0, "from-rule"},
        {"uses_shared", none, 0, "from-default"},
        {"only_default", none, 0, "default-text"},
        {"shared", from_caller, 0, "from-rule"},
        {"uses_shared", from_caller, 0, "ctx"},
        {"caller", from_caller, 0, "rule-text"},
        {"uses_caller", from_caller, 0, "ctx"},
        // Loop names inside and outside loops.
        {"loop_count", from_caller, 0, "error: unknown rule: loop.count"},
        {"outer_and_shadowed", none, 0, "[aaabac|abc|a][babbbc|abc|b][cacbcc|abc|c]"},
        {"loop_count_outside", from_caller, 0, "ctx"},
        {"loop_bare", none, 0, "error: unsupported value type: object"},
        {"loop_over_loop", none, 0, "error: iteration source is not iterable: loop (object)"},
        {"missing_member", from_caller, 0, "error: unknown rule: p.name"},
        {"not_a_member_path", none, 0, "error: unknown rule: items"},
        {"trailing_point", none, 0, "abc"},
        // Bindings.
        {"binding_per_iteration", none, 0, "abc"},
        {"nested_binding", none, 0, "aaabac;babbbc;cacbcc;"},
        {"keep_caller", from_caller, 0, "[ctx]"},
        {"replace_caller", from_caller, 0, "hello"},
        {"bind_variable", none, 0, "abc"},
        {"rebind_variable", none, 0, "error: cannot overwrite immutable loop binding: item"},
        {"rebind_member", none, 0, "error: cannot overwrite immutable loop binding: item.name"},
        {"rebind_loop", none, 0, "error: cannot overwrite immutable loop binding: loop"},
        {"rebind_loop_index", none, 0, "error: cannot overwrite immutable loop binding: loop.index"},
        {"bind_loop_other", none, 0, "error: unknown rule: loop.other"},
        // Loop sources.
        {"source_is_text", from_caller, 0, "error: iteration source is not iterable: caller (string)"},
        {"source_is_binding", none, 0, "error: iteration source is not iterable: b (string)"},
        {"source_is_number", none, 0, "error: iteration source is not iterable: loop.index (number)"},
        {"source_is_generated", none, 0,
         "error: iteration source is not iterable: generated.list (array with generated entries)"},
        {"source_is_empty", none, 0, "[]"},
        // A structured element that refers to its own loop variable.
        {"self_element", none, 0, "error: circular rule reference: self_element -> e -> e"},
        {"self_element", none, 1, "<<>>"},
        // Unique references.
        {"weighted_thrice", none, 0, "error: exhausted unique choice: weighted"},
        {"unique_loop_name", none, 0, "abc"},
        {"unique_bound", none, 0, "hello"},
        {"unique_caller", from_caller, 0, "ctx"},
        {"unique_default", none, 0, "default-text"},
        {"unique_template", none, 0, "error: unique choice target is not a choice: uses_shared"},
        {"unique_object", none, 0, "error: unique choice target is not a choice: person"},
        {"failing_processor", none, 0, "error: processor fails failed: no luck"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_with(*ruleset, c.name, c.context, c.options), c.text) << c.name << " / " << c.options;
    }
    EXPECT_EQ(render_outcomes(*ruleset, "weighted_twice").value(), (std::set<std::string>{"ac", "ca"}));
    EXPECT_EQ(render_outcomes(*ruleset, "weighted").value(), (std::set<std::string>{"a", "c"}));
    // Structured renders of malformed paths name the path unchanged.
    for (const char* path : {"person..name", "person.", ""}) {
        EXPECT_EQ(structured_json(*ruleset, path), "error: unknown rule: " + std::string(path)) << path;
    }
}

// ---- loading ----

TEST(LoadFromText, EmptyDocument) {
    auto ruleset = load("");
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_TRUE(ruleset->rules().empty());
    EXPECT_EQ(ruleset->processors().size(), 15u);
    EXPECT_EQ(structured_json(*ruleset, ""), "error: unknown rule: ");
}

TEST(LoadFromText, HostProcessors) {
    ProcessorMap host;
    host.insert_or_assign("uppercase", make_processor([](std::string_view s) -> ProcessResult {
                              return "<" + std::string(s) + ">";
                          }));
    host.insert_or_assign("shout", make_processor([](std::string_view s) -> ProcessResult {
                              return std::string(s) + "!";
                          }));
    auto ruleset = load("a = \"{w | uppercase}\"\nb = \"{w | shout | capitalize}\"\nw = ann", std::move(host));
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_EQ(text_of(*ruleset, "a"), "<ann>");
    EXPECT_EQ(text_of(*ruleset, "b"), "Ann!");
    EXPECT_EQ(load_error("a = \"{w | shout}\"\nw = x"), "unknown processor: shout");
}

TEST(LoadFromText, LoaderFailuresArePrefixedAndReleaseTheProcessors) {
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> watch = sentinel;
    ProcessorMap host;
    host.insert_or_assign("p", make_processor([held = std::move(sentinel)](std::string_view s) -> ProcessResult {
                              return std::string(s);
                          }));
    auto ruleset = load("a = {", std::move(host));
    ASSERT_FALSE(ruleset);
    EXPECT_TRUE(ruleset.error().is_parse());
    EXPECT_TRUE(ruleset.error().fmt().starts_with("failed to parse config: ")) << ruleset.error().fmt();
    EXPECT_TRUE(watch.expired());

    // Nesting far past every bound, in the text and through a chain of substitutions.
    std::string deep_text = "a = " + std::string(100000, '[');
    std::string deep_chain = "r { m = ${a2000} }\na0 = x\n";
    for (int i = 1; i <= 2000; ++i) {
        deep_chain += "a" + std::to_string(i) + " = [${a" + std::to_string(i - 1) + "}]\n";
    }
    for (const std::string& text : {std::string("a = ${missing}"), std::string("{% endfor %}"),
                                    std::string("r = [ {% for x in xs %} 1 ]"), std::string("a = \"\xff\""),
                                    deep_text, deep_chain}) {
        auto failed = load(text);
        ASSERT_FALSE(failed) << text.substr(0, 40);
        EXPECT_TRUE(failed.error().fmt().starts_with("failed to parse config: ")) << failed.error().fmt();
    }
    // Build errors are displayed as themselves.
    auto build = load("a = \"{\"");
    ASSERT_FALSE(build);
    EXPECT_FALSE(build.error().is_parse());
}

TEST(LoadFromFile, IncludesThroughTheSearchList) {
    auto ruleset = config::ruleset_from_file_with_processors((kFixtures / "rules.conf").string(), {});
    ASSERT_TRUE(ruleset) << ruleset.error().fmt();
    EXPECT_EQ(render_outcomes(*ruleset, "greeting").value(), (std::set<std::string>{"Hello, Ann!", "Hi, Ann!"}));
    EXPECT_EQ(structured_json(*ruleset, "report", true), read_file(kFixtures / "report.expected.json"));
    EXPECT_EQ(structured_json(*ruleset, "report"),
              R"({"rows":[{"age":"7","who":"Ann"},{"age":"9","who":"Bob"},"end"],"title":"ANN"})");

    // A bare file name searches the empty entry, which is the working directory.
    WorkingDirectory cd(kFixtures);
    auto bare = config::ruleset_from_file_with_processors("rules.conf", {});
    ASSERT_TRUE(bare) << bare.error().fmt();
    EXPECT_EQ(text_of(*bare, "person.name"), "Ann");
}

TEST(LoadFromFile, ClasspathIncludesUseTheSearchListOnly) {
    WorkingDirectory cd(kFixtures / "lib");
    // The working directory is on the search list of a file load...
    auto file = config::ruleset_from_file_with_processors((kFixtures / "classpath.conf").string(), {});
    ASSERT_TRUE(file) << file.error().fmt();
    EXPECT_EQ(text_of(*file, "here"), "yes");
    // ...but a text load has an empty search list.
    auto text = load(read_file(kFixtures / "classpath.conf"));
    ASSERT_TRUE(text) << text.error().fmt();
    EXPECT_EQ(text_of(*text, "here"), "error: unknown rule: inside");
}

TEST(LoadFromFile, Failures) {
    // The JSON reader itself refuses a root that is not an object.
    auto root = config::ruleset_from_file_with_processors((kFixtures / "array_root.json").string(), {});
    ASSERT_FALSE(root);
    EXPECT_TRUE(root.error().is_parse()) << root.error().fmt();

    auto missing = config::ruleset_from_file_with_processors((kFixtures / "missing.conf").string(), {});
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().fmt().starts_with("failed to parse config: ")) << missing.error().fmt();
}

// Data that spells the loader's own names is only data, wherever it comes from: the load starts
// again under a prefix that no text holds, so nothing it reads can become a loop block.
TEST(LoadFromFile, DataSpellingLoaderNamesStaysData) {
    // A root shaped like a loop wrapper is an object of two rules.
    auto wrapper = config::ruleset_from_file_with_processors((kFixtures / "wrapper_root.json").string(), {});
    ASSERT_TRUE(wrapper) << wrapper.error().fmt();
    EXPECT_EQ(text_of(*wrapper, "__veskora_internal_0_loop_marker"), "m");
    EXPECT_EQ(text_of(*wrapper, "__veskora_internal_0_loop_body"), "1");

    // The JSON file holds the marker of the document's loop block, alone and among other text.
    auto markers = config::ruleset_from_file_with_processors((kFixtures / "marker_text.conf").string(), {});
    ASSERT_TRUE(markers) << markers.error().fmt();
    EXPECT_EQ(structured_json(*markers, "doc"), R"({"items":["a","b"]})");
    EXPECT_EQ(structured_json(*markers, "copy"), R"({"items":["__veskora_internal_0_0__"]})");
    EXPECT_EQ(structured_json(*markers, "data"), R"({"rows":["see __veskora_internal_0_0__ here"]})");
}

TEST(ConfigOptions, SearchListOfAFileLoad) {
    const std::string cwd = fs::current_path().string();
    const struct {
        std::string path;
        std::vector<std::string> search;
    } cases[] = {
        {"rules.conf", {"", cwd}},
        {cwd + "/rules.conf", {cwd}},
        {"conf/rules.conf", {"conf", cwd}},
        {"conf//rules.conf", {"conf", cwd}},
        {"conf/sub/", {"conf", cwd}},
        {"/etc/rules.conf", {"/etc", cwd}},
        {"/rules.conf", {"/", cwd}},
        {"/", {cwd}},
        {"", {cwd}},
    };
    for (const auto& c : cases) {
        const auto options = config::config_options_for_file(c.path);
        EXPECT_EQ(options.search_list(), c.search) << c.path;
        EXPECT_FALSE(options.use_environment());
    }
}

// Files are opened by the bytes of the working directory's name, UTF-8 or not; a message shows
// what is not UTF-8 as U+FFFD.
TEST(LoadFromFile, WorkingDirectoryWhoseNameIsNotUtf8) {
    const struct Scratch {
        fs::path root = fs::temp_directory_path() / ("veskora_cwd_bytes_" + std::to_string(::getpid()));
        ~Scratch() { fs::remove_all(root); }
    } scratch;
    const fs::path& root = scratch.root;
    const fs::path odd = root / "caf\xE9";  // Latin-1 bytes
    const fs::path shown = root / "caf\uFFFD";
    fs::create_directories(odd);
    fs::create_directories(root / "top");
    std::ofstream(odd / "a.conf") << "here = yes\n";
    std::ofstream(odd / "b.json") << R"({"data": "from json"})";
    std::ofstream(odd / "bad.conf") << "x = [\n";
    std::ofstream(odd / "bad.json") << R"({"x": })";
    std::ofstream(root / "top" / "rules.conf")
        << "include required(classpath(\"a.conf\"))\ninclude required(classpath(\"b.json\"))\n";
    std::ofstream(root / "top" / "broken.conf") << "include required(classpath(\"bad.conf\"))\n";
    std::ofstream(root / "top" / "broken_json.conf") << "include required(classpath(\"bad.json\"))\n";
    {
        WorkingDirectory cd(odd);
        EXPECT_EQ(config::config_options_for_file("rules.conf").search_list(),
                  (std::vector<std::string>{"", odd.string()}));
        auto ruleset = config::ruleset_from_file_with_processors((root / "top" / "rules.conf").string(), {});
        ASSERT_TRUE(ruleset) << ruleset.error().fmt();
        EXPECT_EQ(text_of(*ruleset, "here"), "yes");
        EXPECT_EQ(text_of(*ruleset, "data"), "from json");

        // The loader's own message and one of the HOCON library's, each naming a file there.
        const struct {
            const char* top;
            std::string error;
        } failures[] = {
            {"broken.conf", (shown / "bad.conf").string() +
                                ": parsing configuration: line 2: expected ']' or a new element, found end of input"},
            {"broken_json.conf", (shown / "bad.json").string() + ": line 1: expected a JSON value, found '}'"},
        };
        for (const auto& c : failures) {
            auto failed = config::ruleset_from_file_with_processors((root / "top" / c.top).string(), {});
            ASSERT_FALSE(failed) << c.top;
            EXPECT_EQ(failed.error().fmt(), "failed to parse config: " + (root / "top" / c.top).string() + ": " + c.error);
        }
    }
}

TEST(ConfigOptions, RemovedWorkingDirectoryIsLeftOut) {
    const fs::path saved = fs::current_path();
    const fs::path gone = fs::temp_directory_path() / ("veskora_cwd_" + std::to_string(::getpid()));
    fs::create_directories(gone);
    fs::current_path(gone);
    fs::remove(gone);
    const auto nested = config::config_options_for_file("conf/rules.conf");
    const auto bare = config::config_options_for_file("rules.conf");
    fs::current_path(saved);
    EXPECT_EQ(nested.search_list(), (std::vector<std::string>{"conf"}));
    EXPECT_EQ(bare.search_list(), (std::vector<std::string>{""}));
}

}  // namespace
