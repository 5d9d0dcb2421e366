#include "render/config_loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "hocon/config.hpp"
#include "hocon/parser.hpp"
#include "small_stack.hpp"

namespace veskora::render {
namespace {

namespace fs = std::filesystem;

const std::string kPrefix0 = "__veskora_internal_0_";
const std::string kPrefix1 = "__veskora_internal_1_";
const std::string kPrefix2 = "__veskora_internal_2_";
const fs::path kFixtures = fs::path(VESKORA_FIXTURES) / "loader";

std::string placeholder(std::uint64_t n) { return kPrefix0 + "include_" + std::to_string(n) + "__"; }

// A compact, order-stable text of a resolved value, for comparisons.
std::string show(const hocon::Value& value) {
    std::ostringstream out;
    switch (value.kind()) {
        case hocon::Value::Kind::Null: out << "null"; break;
        case hocon::Value::Kind::Boolean: out << (*value.as_boolean() ? "true" : "false"); break;
        case hocon::Value::Kind::Number: std::visit([&](auto n) { out << n; }, *value.as_number()); break;
        case hocon::Value::Kind::String: out << '"' << *value.as_string() << '"'; break;
        case hocon::Value::Kind::Array: {
            out << '[';
            bool first = true;
            for (const auto& element : *value.as_array()) {
                out << (first ? "" : ",") << show(element);
                first = false;
            }
            out << ']';
            break;
        }
        case hocon::Value::Kind::Object: {
            out << '{';
            bool first = true;
            for (const auto& [key, member] : *value.as_object()) {
                out << (first ? "" : ",") << key << ':' << show(member);
                first = false;
            }
            out << '}';
            break;
        }
    }
    return out.str();
}

std::string parse_error_of(const std::string& text) {
    auto parsed = hocon::HoconParser(text, hocon::ConfigOptions::defaults()).parse();
    return parsed ? std::string("<parsed>") : parsed.error().render();
}

// Runs a test body inside a directory and restores the working directory afterwards.
class ScopedCwd {
public:
    explicit ScopedCwd(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd() { fs::current_path(previous_); }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    fs::path previous_;
};

// A scratch directory removed after the test.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/veskora-loader-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    void write(const std::string& name, const std::string& content) const {
        fs::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name, std::ios::binary) << content;
    }

private:
    fs::path path_;
};

// The options a file load gets: the file's directory, then the working directory.
hocon::ConfigOptions file_options(const std::string& path) {
    return hocon::ConfigOptions::create(false, {fs::path(path).parent_path().string(), fs::current_path().string()});
}

// --- include rewrite ---------------------------------------------------------------------------

struct RewriteCase {
    const char* name;
    std::string text;
    std::string output;
    std::vector<std::pair<std::string, IncludeSpec>> specs;
};

TEST(IncludeRewrite, ScanTable) {
    const std::string p0 = "\"" + placeholder(0) + "\" = null";
    const std::string p1 = "\"" + placeholder(1) + "\" = null";
    const std::vector<RewriteCase> cases = {
        {"plain include on the first line", "include \"a.conf\"\nx = 1", p0 + "\nx = 1",
         {{placeholder(0), {"a.conf", false, IncludeKind::Plain}}}},
        {"required classpath", "include required(classpath(\"a\"))", p0,
         {{placeholder(0), {"a", true, IncludeKind::Classpath}}}},
        {"file with blanks around the string", "include file( \"a\" )\nx = 1", p0 + "\nx = 1",
         {{placeholder(0), {"a", false, IncludeKind::File}}}},
        {"required with blanks inside", "include  required(\tfile(\"a\") )x", p0 + "x",
         {{placeholder(0), {"a", true, IncludeKind::File}}}},
        {"statement followed by blanks keeps what follows", "include \"a\"  # note", p0 + "# note",
         {{placeholder(0), {"a", false, IncludeKind::Plain}}}},
        {"include at the end of the text", "x = 1\ninclude", "x = 1\ninclude", {}},
        {"blank between required and its parenthesis", "include required (\"a\")", "include required (\"a\")", {}},
        {"blank between file and its parenthesis", "include file (\"a\")", "include file (\"a\")", {}},
        {"blank between classpath and its parenthesis", "include classpath (\"a\")", "include classpath (\"a\")", {}},
        {"url form", "include url(\"http://x\")", "include url(\"http://x\")", {}},
        {"line break before the string", "include\n\"a\"", "include\n\"a\"", {}},
        {"keys that start with include", "includes = 1\ninclude_dir = 2\ninclude2 = 3",
         "includes = 1\ninclude_dir = 2\ninclude2 = 3", {}},
        {"quoted key include", "\"include\" = 1", "\"include\" = 1", {}},
        {"inside a string", "a = \"include \\\"x\\\"\"", "a = \"include \\\"x\\\"\"", {}},
        {"inside a triple-quoted string", "a = \"\"\"\ninclude \"x\"\n\"\"\"", "a = \"\"\"\ninclude \"x\"\n\"\"\"", {}},
        {"inside comments", "# include \"x\"\n// include \"y\"", "# include \"x\"\n// include \"y\"", {}},
        {"after a comment, on the next line", "# c\ninclude \"x\"", "# c\n" + p0,
         {{placeholder(0), {"x", false, IncludeKind::Plain}}}},
        {"inside a substitution", "a {\n${include \"x\"}\n}", "a {\n${include \"x\"}\n}", {}},
        {"inside an array", "a = [\ninclude \"x\"\n]", "a = [\ninclude \"x\"\n]", {}},
        {"after a comma inside an array", "a = [1,include \"x\"]", "a = [1,include \"x\"]", {}},
        {"inside an object in an array", "a = [ { include \"x\" } ]", "a = [ { " + p0 + "} ]",
         {{placeholder(0), {"x", false, IncludeKind::Plain}}}},
        {"one line with a comma", "a = 1, include \"x\"", "a = 1, " + p0,
         {{placeholder(0), {"x", false, IncludeKind::Plain}}}},
        {"one line without a comma", "a = 1 include \"x\"", "a = 1 include \"x\"", {}},
        {"as a value", "a = include", "a = include", {}},
        {"after a carriage return", "a = 1\rinclude \"x\"", "a = 1\r" + p0,
         {{placeholder(0), {"x", false, IncludeKind::Plain}}}},
        {"on the line after a closed array", "a = [1,\n2]\ninclude \"x\"", "a = [1,\n2]\n" + p0,
         {{placeholder(0), {"x", false, IncludeKind::Plain}}}},
        {"right after a closing brace", "a { b = 1 } include \"x\"", "a { b = 1 } include \"x\"", {}},
        {"a stray closing bracket pops nothing", "]\ninclude \"x\"", "]\n" + p0,
         {{placeholder(0), {"x", false, IncludeKind::Plain}}}},
        {"unclosed substitution runs to the end", "a = ${b\ninclude \"x\"", "a = ${b\ninclude \"x\"", {}},
        {"unclosed triple-quoted string runs to the end", "a = \"\"\"b\ninclude \"x\"", "a = \"\"\"b\ninclude \"x\"",
         {}},
        {"comment without a line feed ends the scan", "include \"a\" # include \"b\"", p0 + "# include \"b\"",
         {{placeholder(0), {"a", false, IncludeKind::Plain}}}},
        {"raw tab in the string", "include \"a\tb\"", "include \"a\tb\"", {}},
        {"escape JSON does not know", "include \"a\\qb\"", "include \"a\\qb\"", {}},
        {"lone surrogate escape", "include \"\\ud800\"", "include \"\\ud800\"", {}},
        {"unicode escapes are decoded", "include \"\\u0041\\u00e9\\ud83d\\ude00.conf\"", p0,
         {{placeholder(0), {"A\xC3\xA9\xF0\x9F\x98\x80.conf", false, IncludeKind::Plain}}}},
        {"unterminated string", "include \"a", "include \"a", {}},
        {"file reaching the end before its parenthesis", "include file(\"a\"", "include file(\"a\"", {}},
        {"required reaching the end before its parenthesis", "include required(\"a\"  ",
         "include required(\"a\"  ", {}},
        {"two statements numbered in text order", "include \"a\"\ninclude required(\"b\")", p0 + "\n" + p1,
         {{placeholder(0), {"a", false, IncludeKind::Plain}}, {placeholder(1), {"b", true, IncludeKind::Plain}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t next_id = 0;
        auto rewrite = config_loader::rewrite_includes(c.text, kPrefix0, next_id);
        EXPECT_EQ(rewrite.text, c.output);
        EXPECT_EQ(next_id, c.specs.size());
        ASSERT_EQ(rewrite.specs.size(), c.specs.size());
        for (const auto& [name, spec] : c.specs) {
            const auto found = rewrite.specs.find(name);
            ASSERT_NE(found, rewrite.specs.end()) << name;
            EXPECT_EQ(found->second, spec);
        }
    }
}

// --- parse_raw ---------------------------------------------------------------------------------

TEST(ParseRaw, MarkersDrawNumbersBeforePlaceholders) {
    TemplateConfigLoader loader(0, hocon::ConfigOptions::defaults());
    IncludeStack stack;
    auto parsed = loader.parse_raw(
        "r { a = [ {% for x in xs %} 1 {% endfor %}, {% for y in ys %} 2 {% endfor %} ] }\n"
        "include \"nowhere.conf\"\n",
        stack);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().text();
    EXPECT_EQ(loader.next_id, 3u);
    ASSERT_EQ(parsed->loops.size(), 2u);
    EXPECT_EQ(parsed->loops.at(kPrefix0 + "0__"), (LoopHeader{"x", "xs"}));
    EXPECT_EQ(parsed->loops.at(kPrefix0 + "1__"), (LoopHeader{"y", "ys"}));
    // The optional include found nothing: an inclusion without fields took its place.
    ASSERT_EQ(parsed->fields.size(), 2u);
    const auto* inclusion = parsed->fields[1].as_inclusion();
    ASSERT_NE(inclusion, nullptr);
    EXPECT_EQ(inclusion->inclusion.target, "nowhere.conf");
    EXPECT_FALSE(inclusion->inclusion.required);
    EXPECT_FALSE(inclusion->inclusion.location.has_value());
    ASSERT_TRUE(inclusion->inclusion.loaded.has_value());
    EXPECT_TRUE(inclusion->inclusion.loaded->fields.empty());
    EXPECT_TRUE(stack.empty());
}

TEST(ParseRaw, PrefixGuard) {
    struct Case {
        const char* name;
        std::string text;
        bool collides;
    };
    const std::vector<Case> cases = {
        {"in a comment", "# " + kPrefix0 + "\na = 1", true},
        {"in a string", "a = \"x" + kPrefix0 + "y\"", true},
        {"in a key", kPrefix0 + " = 1", true},
        {"another attempt's prefix", "a = " + kPrefix1, false},
        {"number with a leading zero", "a = __veskora_internal_01_", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateConfigLoader loader(0, hocon::ConfigOptions::defaults());
        IncludeStack stack;
        auto parsed = loader.parse_raw(c.text, stack);
        if (c.collides) {
            ASSERT_FALSE(parsed.has_value());
            EXPECT_EQ(parsed.error(), LoadError::prefix_collision());
        } else {
            EXPECT_TRUE(parsed.has_value()) << parsed.error().text();
        }
    }
}

TEST(ParseRaw, EmptyTextsGiveNothing) {
    for (const std::string text : {"", " \n\t\n", "# one\n// two\n"}) {
        TemplateConfigLoader loader(0, hocon::ConfigOptions::defaults());
        IncludeStack stack;
        auto parsed = loader.parse_raw(text, stack);
        ASSERT_TRUE(parsed.has_value()) << parsed.error().text();
        EXPECT_TRUE(parsed->loops.empty());
        for (const auto& field : parsed->fields) EXPECT_NE(field.as_comment(), nullptr) << text;
    }
}

std::string nested_blocks(std::size_t depth) {
    std::string text = "a = [";
    for (std::size_t i = 0; i < depth; ++i) text += "{% for x" + std::to_string(i) + " in xs %}[";
    text += "1";
    for (std::size_t i = 0; i < depth; ++i) text += "]{% endfor %}";
    return text + "]";
}

TEST(ParseRaw, Failures) {
    auto concat_refusal = hocon::RawValue::concat(
        {hocon::RawValue::string(hocon::RawString::quoted("x")), hocon::RawValue::object({})}, {" "});
    ASSERT_FALSE(concat_refusal.has_value());

    struct Case {
        const char* name;
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"malformed directive", "a = {% endfor %}", "unexpected structured template directive: endfor"},
        {"syntax error", "a = {", "parsing configuration: " + parse_error_of("a = {")},
        {"body with a second field", "a = [ {% for x in xs %} 1\n b = 2 {% endfor %} ]",
         "structured loop body must contain one HOCON value"},
        {"body with an include statement", "a = [ {% for x in xs %} 1\ninclude \"x\" {% endfor %} ]",
         "structured loop body must contain one HOCON value"},
        {"body that does not parse", "a = [ {% for x in xs %} { {% endfor %} ]",
         "parsing configuration: " + parse_error_of("structured_template_value =  { ")},
        {"block in the place of a key", "{% for x in xs %} 1 {% endfor %} = 1", "structured loop marker was not found"},
        {"nested header checked with its body",
         "a = [ {% for x in xs %} [ {% for 1y in ys %} 1 {% endfor %} ] {% endfor %} ]",
         "invalid template expression: for 1y in ys"},
        {"block beside a string in a concatenation", "a = \"x\" {% for i in xs %} {b = 1} {% endfor %}",
         concat_refusal.error().render()},
        {"required include without candidates", "include required(\"nowhere.conf\")",
         "required include not found: nowhere.conf"},
        {"classpath with an empty search list", "include required(classpath(\"/abs/x.conf\"))",
         "required include not found: /abs/x.conf"},
        {"nesting beyond the bound", nested_blocks(max_structured_loop_nesting + 1),
         "structured loop blocks nested deeper than 32"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateConfigLoader loader(0, hocon::ConfigOptions::defaults());
        IncludeStack stack;
        auto parsed = loader.parse_raw(c.text, stack);
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(parsed.error(), LoadError::message(c.message));
    }
}

TEST(ParseRaw, MarkerSearchThroughDeepBodiesEndsWithAMessage) {
    // Block 0's body nests every allowed level of blocks, each body deep in arrays, and then
    // spells block 1's marker of attempt 0 through an escape. That restarts the load, and under
    // the next prefix every marker is found through all of it on a small stack.
    std::string deep = "1";
    for (std::size_t level = max_structured_loop_nesting - 1; level > 0; --level) {
        deep = std::string(60, '[') + "{% for x" + std::to_string(level) + " in xs %}" + deep + "{% endfor %}" +
               std::string(60, ']');
    }
    const std::string text = "a = [{% for x in xs %} [" + deep + ", \"\\u005f_veskora_internal_0_1__\"] {% endfor %}]\n" +
                             "b = {% for y in ys %} 2 {% endfor %}\n";
    on_small_stack([&] {
        TemplateConfigLoader first(0, hocon::ConfigOptions::defaults());
        IncludeStack stack;
        auto collided = first.parse_raw(text, stack);
        ASSERT_FALSE(collided.has_value());
        EXPECT_EQ(collided.error(), LoadError::prefix_collision());
        TemplateConfigLoader next(1, hocon::ConfigOptions::defaults());
        auto parsed = next.parse_raw(text, stack);
        ASSERT_TRUE(parsed.has_value()) << parsed.error().text();
        EXPECT_EQ(parsed->loops.size(), max_structured_loop_nesting + 1);
    });
}

TEST(ParseRaw, NestingUpToTheBoundLoads) {
    auto loaded = config_loader::load_str(nested_blocks(max_structured_loop_nesting), std::nullopt);
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(loaded->structured_loops.size(), max_structured_loop_nesting);
}

// --- loop body extraction ----------------------------------------------------------------------

hocon::Value wrapper(const std::string& marker, hocon::Value body) {
    return hocon::Value(hocon::Value::Object{{kPrefix0 + "loop_marker", hocon::Value(marker)},
                                             {kPrefix0 + "loop_body", std::move(body)}});
}

hocon::Value number(std::uint64_t n) { return hocon::Value(hocon::Number(n)); }

TEST(ExtractLoopBodies, TakesWrappersOut) {
    using Object = hocon::Value::Object;
    using Array = hocon::Value::Array;
    const std::string m0 = kPrefix0 + "0__";
    const std::string m1 = kPrefix0 + "1__";
    struct Case {
        const char* name;
        hocon::Value input;
        std::string root;
        std::vector<std::pair<std::string, std::string>> bodies;
    };
    std::vector<Case> cases;
    cases.push_back({"no wrappers", hocon::Value(Object{{"a", hocon::Value(Array{number(1), hocon::Value("x")})}}),
                     "{a:[1,\"x\"]}", {}});
    cases.push_back({"two blocks in an array",
                     hocon::Value(Object{{"a", hocon::Value(Array{wrapper(m0, number(1)), wrapper(m1, number(2))})}}),
                     "{a:[\"" + m0 + "\",\"" + m1 + "\"]}", {{m0, "1"}, {m1, "2"}}});
    cases.push_back({"block nested in a body",
                     hocon::Value(Array{wrapper(m0, hocon::Value(Array{wrapper(m1, number(2))}))}),
                     "[\"" + m0 + "\"]", {{m0, "[\"" + m1 + "\"]"}, {m1, "2"}}});
    cases.push_back({"only the body key is no wrapper",
                     hocon::Value(Object{{kPrefix0 + "loop_body", number(1)}}), "{" + kPrefix0 + "loop_body:1}", {}});
    cases.push_back({"the same block copied twice",
                     hocon::Value(Object{{"a", wrapper(m0, number(1))}, {"b", wrapper(m0, number(1))}}),
                     "{a:\"" + m0 + "\",b:\"" + m0 + "\"}", {{m0, "1"}}});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        support::StringMap<hocon::Value> bodies;
        auto root = config_loader::extract_loop_bodies(std::move(c.input), kPrefix0, bodies);
        ASSERT_TRUE(root.has_value()) << root.error().text();
        EXPECT_EQ(show(*root), c.root);
        ASSERT_EQ(bodies.size(), c.bodies.size());
        for (const auto& [marker, body] : c.bodies) EXPECT_EQ(show(bodies.at(marker)), body) << marker;
    }
}

TEST(ExtractLoopBodies, MalformedWrappers) {
    using Object = hocon::Value::Object;
    struct Case {
        const char* name;
        hocon::Value input;
        std::string message;
    };
    std::vector<Case> cases;
    cases.push_back({"a merged extra member",
                     hocon::Value(Object{{kPrefix0 + "loop_marker", hocon::Value("m")},
                                         {kPrefix0 + "loop_body", number(1)},
                                         {"extra", number(2)}}),
                     "structured loop body must contain one HOCON value"});
    cases.push_back({"no body member",
                     hocon::Value(Object{{kPrefix0 + "loop_marker", hocon::Value("m")}, {"other", number(1)}}),
                     "structured loop body must contain one HOCON value"});
    cases.push_back({"marker that is not a string",
                     hocon::Value(Object{{kPrefix0 + "loop_marker", number(3)}, {kPrefix0 + "loop_body", number(1)}}),
                     "invalid structured loop marker"});
    cases.push_back({"inside an array inside a body",
                     hocon::Value(hocon::Value::Array{wrapper("m", hocon::Value(hocon::Value::Array{hocon::Value(
                                                                       Object{{kPrefix0 + "loop_marker", number(0)},
                                                                              {kPrefix0 + "loop_body", number(0)}})}))}),
                     "invalid structured loop marker"});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        support::StringMap<hocon::Value> bodies;
        auto root = config_loader::extract_loop_bodies(std::move(c.input), kPrefix0, bodies);
        ASSERT_FALSE(root.has_value());
        EXPECT_EQ(root.error(), LoadError::message(c.message));
    }
}

// --- whole loads from text ---------------------------------------------------------------------

TEST(LoadStr, LoopBlocksEndUpAsMarkersWithBodies) {
    const std::string m0 = kPrefix0 + "0__";
    struct Case {
        const char* name;
        std::string text;
        std::string root;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"element of an array", "a = [ {% for x in xs %} {n = 1} {% endfor %} ]", "{a:[\"" + m0 + "\"]}", "{n:1}"},
        {"inside a nested object", "o { p { a = [{% for x in xs %}\n  1\n{% endfor %}] } }",
         "{o:{p:{a:[\"" + m0 + "\"]}}}", "1"},
        {"after +=", "a = [0]\na += {% for x in xs %} 2 {% endfor %}", "{a:[0,\"" + m0 + "\"]}", "2"},
        {"part of a concatenation", "a = [0] [{% for x in xs %} 2 {% endfor %}]", "{a:[0,\"" + m0 + "\"]}", "2"},
        {"body with substitutions resolved", "n = 5\na = [{% for x in xs %} { v = ${n} } {% endfor %}]",
         "{a:[\"" + m0 + "\"],n:5}", "{v:5}"},
        {"body holding a nested block and an include",
         "a = [{% for x in xs %} {\n include \"nowhere.conf\"\n in = [{% for y in x.ys %} 1 {% endfor %}] } {% endfor %}]",
         "{a:[\"" + m0 + "\"]}", "{in:[\"" + kPrefix0 + "1__\"]}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto loaded = config_loader::load_str(c.text, std::nullopt);
        ASSERT_TRUE(loaded.has_value()) << loaded.error();
        EXPECT_EQ(show(loaded->root), c.root);
        ASSERT_TRUE(loaded->structured_loops.contains(m0));
        EXPECT_EQ(show(loaded->structured_loops.at(m0).body), c.body);
        EXPECT_EQ(loaded->structured_loops.at(m0).variable, "x");
        EXPECT_EQ(loaded->structured_loops.at(m0).source, "xs");
    }
}

TEST(LoadStr, ResolutionDecidesWhatSurvives) {
    // A later value of the key drops the block: no loop entry and no error.
    auto replaced = config_loader::load_str("a = [{% for x in xs %} 1 {% endfor %}]\na = 2", std::nullopt);
    ASSERT_TRUE(replaced.has_value()) << replaced.error();
    EXPECT_EQ(show(replaced->root), "{a:2}");
    EXPECT_TRUE(replaced->structured_loops.empty());

    // A second object value merges into the wrapper.
    auto merged = config_loader::load_str("a = {% for x in xs %} {n = 1} {% endfor %}\na = { m = 2 }", std::nullopt);
    ASSERT_FALSE(merged.has_value());
    EXPECT_EQ(merged.error(), "structured loop body must contain one HOCON value");

    // A body string that decodes to the next block's marker is only text: the load starts again
    // under the next prefix, and each block stays where it was written.
    auto escaped = config_loader::load_str("a = [{% for x in xs %} \"\\u005f_veskora_internal_0_1__\" {% endfor %}]\n"
                                           "b = {% for y in ys %} 2 {% endfor %}\n",
                                           std::nullopt);
    ASSERT_TRUE(escaped.has_value()) << escaped.error();
    EXPECT_EQ(show(escaped->root), "{a:[\"" + kPrefix1 + "0__\"],b:\"" + kPrefix1 + "1__\"}");
    ASSERT_EQ(escaped->structured_loops.size(), 2u);
    EXPECT_EQ(show(escaped->structured_loops.at(kPrefix1 + "0__").body), "\"" + kPrefix0 + "1__\"");
    EXPECT_EQ(show(escaped->structured_loops.at(kPrefix1 + "1__").body), "2");

    auto unresolved = config_loader::load_str("a = ${missing_value_for_loader_test}", std::nullopt);
    ASSERT_FALSE(unresolved.has_value());
    auto config = hocon::Config::from(*hocon::HoconParser("a = ${missing_value_for_loader_test}",
                                                          hocon::ConfigOptions::defaults())
                                           .parse());
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(unresolved.error(), "resolving configuration: " + config->resolve().error().render());
}

// --- attempts ----------------------------------------------------------------------------------

TEST(Attempts, PrefixCollisionsRestartTheLoad) {
    struct Case {
        const char* name;
        std::string extra;  // written into the document besides one loop block
        std::string prefix;  // expected prefix of the markers
    };
    const std::vector<Case> cases = {
        {"no collision", "", kPrefix0},
        {"attempt 0's prefix", "note = \"" + kPrefix0 + "\"", kPrefix1},
        {"prefixes of attempts 0 and 1", "note = \"" + kPrefix0 + kPrefix1 + "\"", kPrefix2},
        {"only attempt 1's prefix", "note = \"" + kPrefix1 + "\"", kPrefix0},
        {"a number with a leading zero", "note = \"__veskora_internal_01_\"", kPrefix0},
        // Whatever road a text takes into the tree: what its escapes decode to counts, and
        // so do JSON and properties files and the files the HOCON parser includes by itself.
        {"decoded from escapes", "note = \"\\u005f_veskora_internal_0_ is only text\"", kPrefix1},
        {"an escaped copy of the block's marker", "note = [\"\\u005f_veskora_internal_0_0__\"]", kPrefix1},
        {"in an included HOCON file", "include \"collision/prefix.conf\"", kPrefix1},
        {"in an included JSON file", "include \"collision/prefix.json\"", kPrefix1},
        {"in an included properties file", "include \"collision/prefix.properties\"", kPrefix1},
        {"escaped in a JSON file", "include \"collision/escaped.json\"", kPrefix1},
        {"escaped in a properties file", "include \"collision/escaped.properties\"", kPrefix1},
        {"in a file the HOCON parser includes", "include\n  \"collision/prefix.json\"", kPrefix1},
    };
    ScopedCwd cwd(kFixtures);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto loaded = config_loader::load_str(
            "a = [{% for x in xs %} 1 {% endfor %}]\ninclude \"nowhere.conf\"\n" + c.extra, std::nullopt);
        ASSERT_TRUE(loaded.has_value()) << loaded.error();
        const std::string marker = c.prefix + "0__";
        ASSERT_TRUE(loaded->root.is_object() && loaded->root.as_object()->contains("a"));
        EXPECT_EQ(show(loaded->root.as_object()->at("a")), "[\"" + marker + "\"]");
        ASSERT_EQ(loaded->structured_loops.size(), 1u);
        EXPECT_TRUE(loaded->structured_loops.contains(marker));
    }
}

// Resolution may take a value from the environment; one that holds the prefix restarts the
// load too, so an environment value equal to a marker stays a plain string.
TEST(Attempts, EnvironmentValuesAreGuarded) {
    const char* name = "VESKORA_LOADER_TEST_MARKER";
    ASSERT_EQ(setenv(name, (kPrefix0 + "0__").c_str(), 1), 0);
    auto loaded = config_loader::load_str("a = [{% for x in xs %} 1 {% endfor %}]\nb = [${" + std::string(name) + "}]",
                                          std::nullopt);
    unsetenv(name);
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(show(loaded->root), "{a:[\"" + kPrefix1 + "0__\"],b:[\"" + kPrefix0 + "0__\"]}");
    ASSERT_EQ(loaded->structured_loops.size(), 1u);
    EXPECT_TRUE(loaded->structured_loops.contains(kPrefix1 + "0__"));
}

// Without blocks the loader's names are only text, however the text spells them: a document that
// needs no resolution, read straight into its value, keeps a wrapper-like object as it is.
TEST(Attempts, DocumentsWithoutBlocksKeepTheLoadersNamesAsText) {
    const std::string text = "w { \"\\u005f_veskora_internal_0_loop_marker\" = m, \"\\u005f_veskora_internal_0_loop_body\" = 1 }\n"
                             "note = \"\\u005f_veskora_internal_0_0__\"\n";
    const std::string expected =
        "{note:\"" + kPrefix0 + "0__\",w:{" + kPrefix0 + "loop_body:1," + kPrefix0 + "loop_marker:\"m\"}}";
    auto from_text = config_loader::load_str(text, std::nullopt);
    ASSERT_TRUE(from_text.has_value()) << from_text.error();
    EXPECT_EQ(show(from_text->root), expected);
    EXPECT_TRUE(from_text->structured_loops.empty());

    TempDir dir;
    dir.write("plain.conf", text);
    auto from_file = config_loader::load_file(dir.file("plain.conf"), file_options(dir.file("plain.conf")));
    ASSERT_TRUE(from_file.has_value()) << from_file.error();
    EXPECT_EQ(show(from_file->root), expected);
    EXPECT_TRUE(from_file->structured_loops.empty());
}

TEST(Attempts, FileRoadRestartsWithTheFileReadAgain) {
    TempDir dir;
    dir.write("top.conf", "a = [{% for x in xs %} 1 {% endfor %}]\ninclude \"" + dir.file("inner.conf") + "\"\n");
    dir.write("inner.conf", "# " + kPrefix0 + "\nb = 1\n");
    auto loaded = config_loader::load_file(dir.file("top.conf"), file_options(dir.file("top.conf")));
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(show(loaded->root), "{a:[\"" + kPrefix1 + "0__\"],b:1}");
}

// --- candidates --------------------------------------------------------------------------------

TEST(ConfigPaths, CandidatesByExtension) {
    TempDir dir;
    for (const char* name : {"both.conf", "both.properties", "only.json", "upper.CONF", "notes.txt", "dot.",
                             ".conf.conf", ".conf.json", "all.conf", "all.json", "all.properties"}) {
        dir.write(name, "a = 1\n");
    }
    fs::create_directories(dir.path() / "folder.conf");
    fs::create_symlink(dir.path() / "only.json", dir.path() / "link.json");
    ScopedCwd cwd(dir.path());
    const std::string abs = dir.path().string();
    struct Case {
        std::string path;
        std::vector<std::string> candidates;
    };
    const std::vector<Case> cases = {
        {"both", {"both.conf", "both.properties"}},
        {"all", {"all.conf", "all.json", "all.properties"}},
        {abs + "/only", {abs + "/only.json"}},
        {"only.json", {"only.json"}},
        {"link.json", {"link.json"}},
        {"missing", {}},
        {"missing.conf", {}},
        {"upper.CONF", {}},
        {"upper", {}},
        {"notes.txt", {}},
        {"dot.", {}},
        {"folder.conf", {}},
        {".conf", {".conf.conf", ".conf.json"}},
        {"./both/", {"./both.conf", "./both.properties"}},
        {"", {}},
        {"/", {}},
        {".", {}},
        {"..", {}},
        {std::string("both.conf\0.json", 15), {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(config_loader::config_paths(c.path), c.candidates) << "path: " << c.path;
    }
}

// --- includes on the file road -----------------------------------------------------------------

TEST(Includes, MessagesCarryThePrefixesOutermostFirst) {
    {
        ScopedCwd cwd(kFixtures / "chain");
        auto loaded = config_loader::load_file("top.conf", file_options("top.conf"));
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error(), "top.conf: a.conf: b.conf: parsing configuration: " + parse_error_of("b = {\n"));
    }
    {
        ScopedCwd cwd(kFixtures / "cycle");
        auto loaded = config_loader::load_file("top.conf", file_options("top.conf"));
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error(), "top.conf: a.conf: include cycle at ./top.conf");
    }
    {
        // A text adds no prefix of its own.
        ScopedCwd cwd(kFixtures / "chain");
        auto loaded = config_loader::load_str("include \"a.conf\"", std::nullopt);
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error(), "a.conf: b.conf: parsing configuration: " + parse_error_of("b = {\n"));
    }
}

TEST(Includes, FormatsMergeInCandidateOrder) {
    ScopedCwd cwd(kFixtures / "formats");
    auto loaded = config_loader::load_file("main.conf", file_options("main.conf"));
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(show(loaded->root),
              "{j:[1,2],only_conf:\"yes\",only_json:true,p:{q:\"r\"},shared:{a:1,b:2,c:2}}");

    // A path without an extension loads every candidate itself, conf first.
    auto settings = config_loader::load_file("settings", file_options("settings"));
    ASSERT_TRUE(settings.has_value()) << settings.error();
    EXPECT_EQ(show(settings->root), "{only_conf:\"yes\",only_json:true,shared:{a:1,b:2,c:2}}");
}

TEST(Includes, SearchListAndForms) {
    ScopedCwd cwd(kFixtures / "search");
    // The working directory's shared.conf wins over the top-level file's sibling; the classpath
    // form finds only_in_top.conf through the search list.
    auto loaded = config_loader::load_file("top/main.conf", file_options("top/main.conf"));
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(show(loaded->root), "{classpath_found:\"yes\",from:\"cwd\"}");

    // The file form looks only in the working directory.
    auto file_kind = config_loader::load_file("top/file_kind.conf", file_options("top/file_kind.conf"));
    ASSERT_FALSE(file_kind.has_value());
    EXPECT_EQ(file_kind.error(), "top/file_kind.conf: required include not found: only_in_top.conf");

    auto options = hocon::ConfigOptions::create(false, {"top"});
    struct Case {
        std::string text;
        std::string result;  // the root, or the error
    };
    const std::vector<Case> cases = {
        {"include classpath(\"/etc/x.conf\")", "error: absolute path in classpath include"},
        {"include required(classpath(\"only_in_top.conf\"))", "{classpath_found:\"yes\"}"},
        {"include \"only_in_top.conf\"", "{classpath_found:\"yes\"}"},
        {"include file(\"only_in_top.conf\")\na = 1", "{a:1}"},
        {"include required(\"top/notes.txt\")", "error: required include not found: top/notes.txt"},
        {"a { include \"shared.conf\" }\nb = [{ include \"shared.conf\" }]\nc = {} { include \"shared.conf\" }\n"
         "d = []\nd += { include \"shared.conf\" }",
         "{a:{from:\"cwd\"},b:[{from:\"cwd\"}],c:{from:\"cwd\"},d:[{from:\"cwd\"}]}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto result = config_loader::load_str(c.text, options);
        EXPECT_EQ(result ? show(result->root) : "error: " + result.error(), c.result);
    }
}

// A chain of HOCON files f0 -> f1 -> ... in a scratch directory, each including the next by
// its absolute path; the last one includes `last_target` (or nothing).
void write_chain(const TempDir& dir, std::size_t files, const std::string& last_target) {
    for (std::size_t i = 0; i < files; ++i) {
        std::string text = "v" + std::to_string(i) + " = " + std::to_string(i) + "\n";
        const std::string next = i + 1 < files ? dir.file("f" + std::to_string(i + 1) + ".conf") : last_target;
        if (!next.empty()) text += "include \"" + next + "\"\n";
        dir.write("f" + std::to_string(i) + ".conf", text);
    }
}

std::string chain_prefixes(const TempDir& dir, std::size_t from, std::size_t to) {
    std::string prefixes;
    for (std::size_t i = from; i < to; ++i) prefixes += dir.file("f" + std::to_string(i) + ".conf") + ": ";
    return prefixes;
}

TEST(Includes, DepthIsBounded) {
    const std::size_t limit = hocon::ConfigOptions::default_include_depth;
    {
        TempDir dir;
        write_chain(dir, limit, "");
        auto loaded = config_loader::load_file(dir.file("f0.conf"), file_options(dir.file("f0.conf")));
        ASSERT_TRUE(loaded.has_value()) << loaded.error();
        EXPECT_EQ(loaded->root.as_object()->size(), limit);
    }
    {
        TempDir dir;
        write_chain(dir, limit + 1, "");
        auto loaded = config_loader::load_file(dir.file("f0.conf"), file_options(dir.file("f0.conf")));
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error(), chain_prefixes(dir, 0, limit) + "include depth exceeded at " +
                                      dir.file("f" + std::to_string(limit) + ".conf"));

        // Below a text the text itself is not on the stack: f1 .. f64 load.
        auto from_text = config_loader::load_str("include \"" + dir.file("f1.conf") + "\"", std::nullopt);
        ASSERT_TRUE(from_text.has_value()) << from_text.error();
        auto too_deep = config_loader::load_str("include \"" + dir.file("f0.conf") + "\"", std::nullopt);
        ASSERT_FALSE(too_deep.has_value());
        EXPECT_EQ(too_deep.error(), chain_prefixes(dir, 0, limit) + "include depth exceeded at " +
                                        dir.file("f" + std::to_string(limit) + ".conf"));
    }
    {
        // At the bound and back to the start: the cycle is reported.
        TempDir dir;
        write_chain(dir, limit, dir.file("f0.conf"));
        auto loaded = config_loader::load_file(dir.file("f0.conf"), file_options(dir.file("f0.conf")));
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error(), chain_prefixes(dir, 0, limit) + "include cycle at " + dir.file("f0.conf"));
    }
}

// Files f0 .. f(levels - 1) in a scratch directory, each including the next twice, so that
// the last one is reached 2^(levels - 1) times. `beside` is written into each file too.
void write_fan_out(const TempDir& dir, std::size_t levels, const std::string& beside) {
    for (std::size_t i = 0; i < levels; ++i) {
        std::string text = "v" + std::to_string(i) + " = " + std::to_string(i) + "\n" + beside;
        if (i + 1 < levels) {
            const std::string next = dir.file("f" + std::to_string(i + 1) + ".conf");
            text += "x { include \"" + next + "\" }\ny { include \"" + next + "\" }\n";
        }
        dir.write("f" + std::to_string(i) + ".conf", text);
    }
}

// Every reading of a file counts, so includes that fan out end at the read budget rather
// than reading an exponential number of files; the loader's own readings and those of the
// include statements it leaves to the HOCON parser count in one budget.
TEST(Includes, RepeatedReadingsAreBudgeted) {
    TempDir dir;
    write_fan_out(dir, 12, "");
    auto fanned = config_loader::load_file(dir.file("f0.conf"), file_options(dir.file("f0.conf")));
    const std::string over = ": the files read count more than " + std::to_string(hocon::ReadBudget::min_read_bytes) + " bytes";
    ASSERT_FALSE(fanned.has_value());
    EXPECT_EQ(fanned.error(), chain_prefixes(dir, 0, 11) + "include budget exceeded at " + dir.file("f11.conf") + over);

    TempDir mixed;
    mixed.write("leaf.conf", "leaf = 1\n");
    // A line break inside the statement leaves it to the parser.
    const std::string leaf = "include\n  \"" + mixed.file("leaf.conf") + "\"\n";
    write_fan_out(mixed, 8, leaf + leaf);
    auto both = config_loader::load_file(mixed.file("f0.conf"), file_options(mixed.file("f0.conf")));
    ASSERT_FALSE(both.has_value());
    EXPECT_EQ(both.error(), chain_prefixes(mixed, 0, 5) + "include budget exceeded at " + mixed.file("f5.conf") + over);

    // The same files without the parser's includes are within the budget.
    TempDir within;
    write_fan_out(within, 8, "");
    auto loaded = config_loader::load_file(within.file("f0.conf"), file_options(within.file("f0.conf")));
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
}

TEST(Includes, UnreadableFiles) {
    TempDir dir;
    dir.write("bad.conf", "a = \"\xFF\"\n");
    dir.write("top.conf", "include \"" + dir.file("bad.conf") + "\"\n");
    auto loaded = config_loader::load_file(dir.file("top.conf"), file_options(dir.file("top.conf")));
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error(), dir.file("top.conf") + ": " + dir.file("bad.conf") + ": stream did not contain valid UTF-8");

    // The second candidate failing fails the include.
    dir.write("pair.conf", "a = 1\n");
    dir.write("pair.json", "{\"b\": }\n");
    auto pair = config_loader::load_str("include \"" + dir.file("pair") + "\"", std::nullopt);
    ASSERT_FALSE(pair.has_value());
    const std::string statement = "include required(file(\"" + dir.file("pair.json") + "\"))";
    EXPECT_EQ(pair.error(), parse_error_of(statement));
}

TEST(LoadFile, OtherPathsGoToTheLibrary) {
    TempDir dir;
    dir.write("rules.txt", "a = [{% for x in xs %} 1 {% endfor %}]\n");
    dir.write("plain.txt", "a = 1\n");
    for (const std::string& path : {dir.file("rules.txt"), dir.file("plain.txt"), dir.file("missing.conf"),
                                   dir.file("missing")}) {
        SCOPED_TRACE(path);
        auto loaded = config_loader::load_file(path, file_options(path));
        auto expected = hocon::Config::load(path, file_options(path));
        ASSERT_EQ(loaded.has_value(), expected.has_value());
        if (loaded) {
            EXPECT_EQ(loaded->root, *expected);
            EXPECT_TRUE(loaded->structured_loops.empty());
        } else {
            EXPECT_EQ(loaded.error(), expected.error().render());
        }
    }
}

}  // namespace
}  // namespace veskora::render
