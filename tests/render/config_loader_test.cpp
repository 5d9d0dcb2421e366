#include "render/config_loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "hocon/parser.hpp"
#include "hocon/resolve.hpp"
#include "small_stack.hpp"

namespace veskora::render {
namespace {

namespace fs = std::filesystem;

const std::string kPrefix0 = "__veskora_internal_0_";
const std::string kPrefix1 = "__veskora_internal_1_";
const std::string kPrefix2 = "__veskora_internal_2_";
const fs::path kFixtures = fs::path(VESKORA_FIXTURES) / "loader";

// A compact, order-stable text of a resolved value, for comparisons.
std::string show(const hocon::Value& value) {
    std::ostringstream out;
    switch (value.kind()) {
        case hocon::Value::Kind::Unresolved: out << "<unresolved>"; break;
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

// What a load from text gives: the root, or "error: " and the message.
std::string outcome(const std::string& text, std::optional<hocon::ConfigOptions> options = std::nullopt) {
    auto loaded = config_loader::load_str(text, std::move(options));
    return loaded ? show(loaded->root) : "error: " + loaded.error();
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

// --- where the parser meets includes and blocks ------------------------------------------------

// The include statements of a text are the ones the HOCON parser reads as such, and only those:
// each text is loaded beside a file x.conf holding `inc = 1`, and `inc` tells whether the
// statement was taken as one. Text the parser reads otherwise (strings, comments, array elements,
// values) never includes anything.
TEST(IncludePositions, OnlyWhatTheParserReadsAsAStatementIncludes) {
    TempDir dir;
    dir.write("x.conf", "inc = 1\n");
    ScopedCwd cwd(dir.path());
    struct Case {
        const char* name;
        std::string text;
        std::string result;  // the root, or "error: " and the message
    };
    const std::vector<Case> cases = {
        {"on the first line", "include \"x.conf\"\nx = 1", "{inc:1,x:1}"},
        {"required file with blanks inside", "include  required(\tfile( \"x.conf\" ) )", "{inc:1}"},
        {"glued to its string", "include\"x.conf\"", "{inc:1}"},
        {"after a comment, on the next line", "# c\ninclude \"x.conf\"", "{inc:1}"},
        {"after a field and a comma", "a = 1, include \"x.conf\"", "{a:1,inc:1}"},
        {"inside an object in an array", "a = [ { include \"x.conf\" } ]", "{a:[{inc:1}]}"},
        {"unicode escapes in the target", "include \"\\u0078.conf\"", "{inc:1}"},
        {"keys that start with include", "includes = 1\ninclude_dir = 2\ninclude2 = 3",
         "{include2:3,include_dir:2,includes:1}"},
        {"a quoted key", "\"include\" = 1", "{include:1}"},
        {"inside a string", "a = \"include \\\"x.conf\\\"\"", "{a:\"include \"x.conf\"\"}"},
        {"inside a triple-quoted string", "a = \"\"\"\ninclude \"x.conf\"\n\"\"\"", "{a:\"\ninclude \"x.conf\"\n\"}"},
        {"after a string closed by four quotation marks", "a = \"\"\"x\"\"\"\"\ninclude \"x.conf\"", "{a:\"x\"\",inc:1}"},
        {"inside comments", "# include \"x.conf\"\n// include \"x.conf\"", "{}"},
        {"an array element", "a = [\ninclude \"x.conf\"\n]", "{a:[\"include x.conf\"]}"},
        {"a value", "a = include \"x.conf\"", "{a:\"include x.conf\"}"},
        {"after a value on one line", "a = 1 include \"x.conf\"", "{a:\"1 include x.conf\"}"},
        // A lone carriage return is no line break to the parser: the word continues the value.
        {"after a lone carriage return", "a = 1\rinclude \"x.conf\"", "{a:\"1\rinclude x.conf\"}"},
        {"after a carriage return and a line feed", "a = 1\r\ninclude \"x.conf\"", "{a:1,inc:1}"},
        {"text after the statement", "include \"x.conf\" \"y\"",
         "error: parsing configuration: line 1: expected ',' or a newline after a field, found '\"'"},
        // Spread over lines or written with blanks before its parentheses, a statement is the
        // HOCON library's: it includes by the library's rules, or fails to parse.
        {"a line break before the string", "include\n\"x.conf\"", "{inc:1}"},
        {"a blank before the parenthesis", "include required (\"x.conf\")",
         "error: parsing configuration: line 1: include must be followed by a quoted string, or by file(), classpath() "
         "or url() around one, optionally inside required(), found 'r'"},
        {"the url form", "include url(\"http://x\")",
         "error: parsing configuration: line 1: url() includes are not supported: \"http://x\""},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.text), c.result) << c.name;
}

// A loop block's body ends at the "endfor" that the parser would read as a directive: strings and
// comments in the body are passed over exactly as the parser passes over them. Each piece is
// loaded as the body of a block and, on its own, as an array element; the two values must agree.
TEST(BlockScan, AgreesWithTheParserOnStringsAndComments) {
    const std::vector<std::string> pieces = {
        "\"{% endfor %}\"",
        "\"a\\\"{% endfor %}\"",
        "\"a\\\\\", \"{% endfor %}\"",
        "\"\"\"{% endfor %}\"\"\"",
        "\"\"\"x\"\"\"\", \"{% endfor %}\"",
        "\"\"\"x\"\"\"\"\"\"",
        "\"\"\"\"\"\"\", \"{% endfor %}\"",
        "1 # {% endfor %}\n",
        "1 // {% endfor %}\n",
        "1 # a comment \r {% endfor %}\n",
        "\"//\", \"#\", 2",
        "\"{%\", \"%}\"",
    };
    for (const std::string& piece : pieces) {
        SCOPED_TRACE(piece);
        auto alone = config_loader::load_str("a = [" + piece + "]", std::nullopt);
        ASSERT_TRUE(alone.has_value()) << alone.error();
        auto loaded = config_loader::load_str("a = [{% for x in xs %} [" + piece + "] {% endfor %}]", std::nullopt);
        ASSERT_TRUE(loaded.has_value()) << loaded.error();
        ASSERT_EQ(loaded->structured_loops.size(), 1u);
        EXPECT_EQ(show(loaded->structured_loops.begin()->second.body), show(alone->root.as_object()->at("a")));
    }
}

// Documents that once made a load run for ever: the loader's own names reached the parser where
// no value stands, and every attempt collided with the names it had written itself.
TEST(Attempts, DocumentsThatOnceLoadedForeverEnd) {
    struct Case {
        const char* name;
        std::string text;
        std::string result;  // the root, or "error: " and the message
    };
    const std::vector<Case> cases = {
        {"an include after a lone carriage return", "\"\"\rinclude\"\"",
         "error: parsing configuration: line 1: expected ':', '=', '+=' or '{' after the key '\"\\rinclude\"', found end of "
         "input"},
        {"an include in a string closed by a run of quotation marks", "{b:\"\"\"\"\"\"\"o\"\"\",include\"\"\"\"\"}",
         "{b:\"\"o,include\"\"\"}"},
        {"a block in a string closed by a run of quotation marks",
         "{b:\"\"\"\"\"\"\"o\"\"\"{%for d in o%}{%endfor%}\"\"}",
         "error: parsing configuration: line 1: unterminated triple-quoted string"},
        {"a block glued to a key", "{% for x in items %}x{% endfor %}includea.b:required(\"y\")a.b",
         "error: parsing configuration: line 1: a structured loop block cannot be part of a key"},
        {"a block after a key", "a {% for x in items %}1{% endfor %} = 1",
         "error: parsing configuration: line 1: a structured loop block cannot be part of a key"},
        {"a block in a path key", "a.{% for x in items %}1{% endfor %} = 1",
         "error: parsing configuration: line 1: a structured loop block cannot be part of a key"},
        {"a block that is a whole key", "{% for x in xs %} 1 {% endfor %} = 1", "error: structured loop marker was not found"},
        {"a block in a substitution", "a = ${b.{% for x in xs %} 1 {% endfor %}}",
         "error: structured loop marker was not found"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.text), c.result) << c.name;
}

// Small documents from the pieces that made the scans disagree with the parser, written where
// fields and values stand: every load ends, and none ends by running out of attempts, which
// would mean a collision that the texts do not name. (Loaded by the last loader that rewrote
// texts, three of these documents never ended.)
TEST(Attempts, GeneratedDocumentsEnd) {
    TempDir dir;
    dir.write("x.conf", "inc = 1\n");
    ScopedCwd cwd(dir.path());
    const std::vector<std::string> pieces = {
        "\"", "\"\"\"", "\"\"\"\"", "\"\"\"o\"\"\"", "\r", "\n", "\r\n", "#", "//", " ", "include", "\"x.conf\"",
        "required(", ")", "{% for d in o %}", "{% endfor %}", "{% for d in o %}1{% endfor %}",
        "[{% for d in o %}{x=1}{% endfor %}]", "{%", "%}", "{", "}", "[", "]", ",", "=", ":", "a", "o.b", "${a}",
        "\\\"", "\\u005f", "1", "+=",
    };
    const std::vector<std::pair<std::string, std::string>> frames = {
        {"", ""}, {"{b:", "}"}, {"a = [", "]"}, {"r { a = [", "] }"}};
    std::mt19937 random(20261211);
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> frame(0, frames.size() - 1);
    std::uniform_int_distribution<std::size_t> length(1, 14);
    for (int round = 0; round < 20000; ++round) {
        const auto& [open, close] = frames[frame(random)];
        std::string text = open;
        for (std::size_t n = length(random); n > 0; --n) text += pieces[piece(random)];
        text += close;
        auto loaded = config_loader::load_str(text, std::nullopt);
        if (!loaded) {
            EXPECT_EQ(loaded.error().find("internal name prefixes"), std::string::npos) << text;
        }
    }
}

// --- parse_raw ---------------------------------------------------------------------------------

TEST(ParseRaw, ReadsBlocksAndIncludesWhereTheyStand) {
    TemplateConfigLoader loader(0, hocon::ConfigOptions::defaults());
    hocon::ObjectBuilder fields;
    auto parsed = loader.parse_raw(
        "r { a = [ {% for x in xs %} 1 {% endfor %}, {% for y in ys %} 2 {% endfor %} ] }\n"
        "include \"nowhere.conf\"\n",
        loader.root(fields));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().text();
    EXPECT_EQ(loader.next_id, 2u);
    ASSERT_EQ(loader.loops.size(), 2u);
    EXPECT_EQ(loader.loops.at(kPrefix0 + "0__"), (LoopHeader{"x", "xs"}));
    EXPECT_EQ(loader.loops.at(kPrefix0 + "1__"), (LoopHeader{"y", "ys"}));
    // The optional include found nothing and added nothing; each block stands as its wrapper.
    ASSERT_EQ(fields.size(), 1u);
    const hocon::Value root = fields.close({});
    const hocon::Value& a = root.as_object()->at("r").as_object()->at("a");
    ASSERT_EQ(a.as_array()->size(), 2u);
    EXPECT_EQ(show(a.as_array()->front()), "{" + kPrefix0 + "loop_body:1," + kPrefix0 + "loop_marker:\"" + kPrefix0 + "0__\"}");
    EXPECT_TRUE(loader.stack.empty());
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
        {"decoded from an escape", "a = \"\\u005f_veskora_internal_0_\"", true},
        {"another attempt's prefix", "a = " + kPrefix1, false},
        {"number with a leading zero", "a = __veskora_internal_01_", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateConfigLoader loader(0, hocon::ConfigOptions::defaults());
        hocon::ObjectBuilder fields;
        auto parsed = loader.parse_raw(c.text, loader.root(fields));
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
        hocon::ObjectBuilder fields;
        auto parsed = loader.parse_raw(text, loader.root(fields));
        ASSERT_TRUE(parsed.has_value()) << parsed.error().text();
        EXPECT_TRUE(loader.loops.empty());
        EXPECT_EQ(fields.size(), 0u) << text;
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
        {"nested header checked with its body",
         "a = [ {% for x in xs %} [ {% for 1y in ys %} 1 {% endfor %} ] {% endfor %} ]",
         "invalid template expression: for 1y in ys"},
        {"block beside a string in a concatenation", "a = \"x\" {% for i in xs %} {b = 1} {% endfor %}",
         "parsing configuration: line 1: cannot concatenate an object with a string, number, boolean or null"},
        {"a line number after a block of several lines", "a = [{% for x in xs %}\n1\n{% endfor %}]\nb = {",
         "parsing configuration: line 4: expected '}' or a new field, found end of input"},
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
        hocon::ObjectBuilder fields;
        auto parsed = loader.parse_raw(c.text, loader.root(fields));
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(parsed.error(), LoadError::message(c.message));
    }
}

// Included files and block bodies are read inside the text that holds them, so their depths add
// up; the tree they join is held to 256 levels, which bounds the stack the reading takes. At the
// bound, with the longest include chain and the deepest blocks at once, a load fits in 1 MiB.
TEST(Bounds, DeepestNestingLoadsOnASmallStack) {
    TempDir dir;
    // Files f0 .. f62 each open three objects and include the next; f62 holds arrays around 32
    // blocks nested inside each other, each body an array: with two arrays around them the
    // deepest body is 1 + 63 * 3 + 2 + 32 * 2 = 256 objects and arrays deep.
    auto write = [&](std::size_t arrays_in_last) {
        constexpr std::size_t files = 63;
        for (std::size_t i = 0; i < files; ++i) {
            std::string text = "v = 1\nk { l { m {\n";
            if (i + 1 < files) {
                text += "include \"" + dir.file("f" + std::to_string(i + 1) + ".conf") + "\"\n";
            } else {
                std::string body = "1";
                for (std::size_t b = 0; b < max_structured_loop_nesting; ++b)
                    body = "[{% for x in xs %}" + body + "{% endfor %}]";
                text += "z = " + std::string(arrays_in_last, '[') + body + std::string(arrays_in_last, ']') + "\n";
            }
            dir.write("f" + std::to_string(i) + ".conf", text + "} } }\n");
        }
    };
    write(2);
    on_small_stack(
        [&] {
            auto loaded = config_loader::load_str("include \"" + dir.file("f0.conf") + "\"", std::nullopt);
            ASSERT_TRUE(loaded.has_value()) << loaded.error();
            EXPECT_EQ(loaded->structured_loops.size(), max_structured_loop_nesting);
        },
        sanitizer_stack_factor * 1024 * 1024);
    write(3);
    auto too_deep = config_loader::load_str("include \"" + dir.file("f0.conf") + "\"", std::nullopt);
    ASSERT_FALSE(too_deep.has_value());
    EXPECT_TRUE(too_deep.error().ends_with("objects and arrays nest deeper than the limit of 256 levels")) << too_deep.error();
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
    auto resolved = hocon::resolve(*hocon::HoconParser("a = ${missing_value_for_loader_test}",
                                                       hocon::ConfigOptions::defaults())
                                        .parse());
    ASSERT_FALSE(resolved.has_value());
    EXPECT_EQ(unresolved.error(), "resolving configuration: " + resolved.error().render());
}

// A document loads to the same values whether or not it holds anything for resolution to do:
// each is loaded as written and with one optional substitution that finds nothing appended.
std::string with_field_for_resolution(const std::string& text) {
    const bool crlf = text.find("\r\n") != std::string::npos;
    return text + (crlf ? "\r\n" : "\n") + "zz_force = ${?zz_undefined_name}" + (crlf ? "\r\n" : "\n");
}

TEST(Roads, DocumentsLoadAlikeWithAFieldForResolution) {
    TempDir dir;
    dir.write("part.conf", "p = { q = 1, r = [1, 2] }\np.q = 2\n");
    ScopedCwd cwd(dir.path());
    std::string wide_object = "o = {";
    std::string long_path = "k", half_path;
    for (int i = 0; i < 60; ++i) {
        wide_object += " f" + std::to_string(i) + " = " + std::to_string(i * 7) + (i % 3 ? "," : "\n");
        long_path += ".s" + std::to_string(i);
        if (i == 30) half_path = long_path;
    }
    wide_object += "}\no { f7 = { x = 1 } }\n";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"duplicate keys", "a = 1\nb = x\na = 2\nb = y z\n"},
        {"path keys over objects and back", "a { b = 1, c { d = 2 } }\na.c.e = 3\na = { b = 4 }\na.c.d = 5\n"},
        {"objects over scalars and null", "a = 1\na { b = 2 }\nc = null\nc { d = 3 }\ne { f = 1 }\ne = null\n"},
        {"arrays replaced, not merged", "a = [1, 2]\na = [3]\nb { c = [1] }\nb.c = [{ d = 1 }]\n"},
        {"numbers beyond int64", "a = 9223372036854775808\nb = -9223372036854775809\nd = 0.1\n"
                                 "e = 18446744073709551615\nf = [1.50, -0, 1e300, 123456789012345678901234]\n"},
        {"escapes", "a = \"tab\\there \\u00e9 \\\"q\\\" \\\\\"\nb = \"\"\"raw \\n \"quoted\" \"\"\"\nc = unquoted text\n"},
        {"byte order mark", "\xEF\xBB\xBF" "a = 1\nb { c = 2 }\n"},
        {"CRLF line ends", "a = 1\r\nb {\r\n  c = two words\r\n}\r\nb.d = 3\r\n"},
        {"Unicode spaces", "a\xC2\xA0=\xE2\x80\x83" "1\nb\xE3\x80\x80{ c = 2 }\n" "d = x\xC2\xA0y\n"},
        {"60-field objects", wide_object},
        {"60-segment paths", long_path + " = 1\n" + long_path + ".t = 2\n" + half_path + ".u = 3\n"},
        {"concatenations", "a = [1] [2]\nb = { x = 1 } { y = 2 }\nc = 1 2 three\n"},
        {"an include", "include \"part.conf\"\np.r = [3]\nq { include \"part.conf\" }\n"},
        {"a loop block", "a = [{% for x in xs %} { n = 1 } {% endfor %}]\nb { c = 1 }\n"},
        {"substitutions already", "a = 1\nb = ${a}\nc = [1] ${?none}\nd = ${?none}\nc += 2\n"},
    };
    for (const auto& [name, text] : cases) {
        const std::string as_written = outcome(text);
        EXPECT_EQ(as_written.find("error"), std::string::npos) << name << ": " << as_written;
        EXPECT_EQ(outcome(with_field_for_resolution(text)), as_written) << name;
    }

    // Seeded documents of duplicate and path keys, nested objects, arrays and scalars.
    std::mt19937 random(20261211);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    const std::vector<std::string> keys = {"a", "b", "c", "a.b", "b.c", "a.b.c", "\"a.b\"", "c.a"};
    const std::vector<std::string> scalars = {"1", "null", "true", "-0.5", "text", "\"q\"", "[]", "[1, two]",
                                              "99999999999999999999", "${?a}"};
    std::function<std::string(int)> value = [&](int depth) -> std::string {
        if (depth > 2 || pick(3) > 0) return scalars[pick(scalars.size())];
        std::string object = "{";
        for (std::size_t n = pick(4); n > 0; --n) object += " " + keys[pick(keys.size())] + " = " + value(depth + 1) + ",";
        return object + " }";
    };
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (std::size_t n = 1 + pick(6); n > 0; --n) text += keys[pick(keys.size())] + " = " + value(0) + "\n";
        EXPECT_EQ(outcome(with_field_for_resolution(text)), outcome(text)) << text;
    }
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
        EXPECT_EQ(outcome(c.text, options), c.result);
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
        auto expected = hocon::load(path, file_options(path));
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
