// Include loading by the parser itself, and reading files by extension, over temporary files.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dump.hpp"
#include "hocon/parser.hpp"

namespace hocon {
namespace {

namespace fs = std::filesystem;
using testing::dump;

// A scratch tree: <root>/work is the working directory during the test, <root>/lib a search
// directory. The previous working directory is restored afterwards.
class Includes : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hocon-include-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "work" / "sub");
        fs::create_directories(root_ / "lib");
        previous_ = fs::current_path();
        fs::current_path(root_ / "work");
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void write(const fs::path& relative, const std::string& content) {
        std::ofstream out(root_ / relative, std::ios::binary);
        out << content;
    }
    std::string lib() const { return (root_ / "lib").string(); }

    std::expected<Document, Error> parse_text(const std::string& text, std::vector<std::string> search = {}) {
        return HoconParser(text, ConfigOptions::create(false, std::move(search)), "main.conf").parse();
    }
    std::string tree(const std::string& text, std::vector<std::string> search = {}) {
        auto parsed = parse_text(text, std::move(search));
        return parsed ? dump(parsed->root) : "error: " + parsed.error().render();
    }

    fs::path root_;
    fs::path previous_;
};

TEST_F(Includes, LookupByForm) {
    write("work/here.conf", "w = 1");
    write("lib/here.conf", "l = 1");
    write("lib/only-lib.conf", "l = 2");
    struct Case {
        const char* text;
        const char* tree;
    };
    const Case cases[] = {
        // The working directory comes first for the plain and file forms.
        {"include \"here.conf\"", "{w: #1}"},
        {"include file(\"here.conf\")", "{w: #1}"},
        // The search list serves the plain and classpath forms only.
        {"include \"only-lib.conf\"", "{l: #2}"},
        {"include file(\"only-lib.conf\")", "{}"},
        {"include classpath(\"here.conf\")", "{l: #1}"},
        {"include required(classpath(\"only-lib.conf\"))", "{l: #2}"},
        // Other extensions name nothing.
        {"include \"notes.txt\"", "{}"},
    };
    write("work/notes.txt", "x = 1");
    for (const Case& c : cases) EXPECT_EQ(tree(c.text, {lib()}), c.tree) << c.text;
}

TEST_F(Includes, NeverRelativeToTheIncludingFile) {
    write("work/sub/outer.conf", "include \"inner.conf\"");
    write("work/sub/inner.conf", "x = 1");
    EXPECT_EQ(tree("include \"sub/outer.conf\""), "{}");
    write("work/inner.conf", "y = 2");
    EXPECT_EQ(tree("include \"sub/outer.conf\""), "{y: #2}");
}

TEST_F(Includes, ExtensionlessTargetLoadsEveryFormatInOrder) {
    write("work/base.properties", "p.q = from properties\n");
    write("work/base.json", "{ \"j\": [1, 2] }");
    write("work/base.conf", "c = ${x}");
    EXPECT_EQ(tree("include \"base\""), "{c: ${x}; j: [#1, #2]; p: {q: \"from properties\"}}");
    auto merged = parse_file((root_ / "work" / "base").string(), ConfigOptions::defaults());
    ASSERT_TRUE(merged.has_value()) << merged.error();
    EXPECT_EQ(dump(merged->root), "{c: ${x}; j: [#1, #2]; p: {q: \"from properties\"}}");
}

TEST_F(Includes, IncludesAreFoundAtAnyDepthOfTheTree) {
    write("work/x.conf", "x = 1");
    EXPECT_EQ(tree("a = [ { include \"x.conf\" } ]\nb = { include \"x.conf\" } { y = 2 }\nc += { include \"x.conf\" }"),
              "{a: [{x: #1}]; b: {x: #1; y: #2}; c: +=({x: #1})}");
}

TEST_F(Includes, Errors) {
    write("work/broken.conf", "a = 1\nb = [\n");
    write("work/self.conf", "include \"self.conf\"");
    write("work/ping.conf", "include \"pong.conf\"");
    write("work/pong.conf", "x = 1\ninclude required(\"ping.conf\")");
    write("work/bad-utf8.conf", "a = \"\xFF\"");
    write("work/array.json", "[1, 2]");
    write("work/bad.json", "{ \"a\": 1, }");
    write("work/bad.properties", "a = \\u12G4");
    write("work/plain", "secret = 1");  // what a name cut at U+0000 would open
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"a = 1\ninclude required(\"missing.conf\")", "main.conf: line 2: required include not found: missing.conf"},
        {"include required(file(\"missing\"))", "main.conf: line 1: required include not found: missing"},
        {"include required(\"plain\\u0000.conf\")", "main.conf: line 1: required include not found: plain\\u0000.conf"},
        {"include required(\"plain\\u0000x\")", "main.conf: line 1: required include not found: plain\\u0000x"},
        {"include \"broken.conf\"", "broken.conf: line 3: expected ']' or a new element, found end of input"},
        {"include \"self.conf\"", "self.conf: line 1: include cycle at self.conf"},
        {"include \"ping.conf\"", "pong.conf: line 2: include cycle at ping.conf"},
        {"include \"bad-utf8.conf\"", "bad-utf8.conf: line 1: the file is not valid UTF-8"},
        {"include \"array.json\"", "array.json: line 1: the JSON root must be an object, found an array"},
        {"include \"bad.json\"", "bad.json: line 1: expected a quoted key, found '}'"},
        {"include \"bad.properties\"", "bad.properties: line 1: malformed \\uxxxx escape in a value"},
    };
    for (const Case& c : cases) EXPECT_EQ(tree(c.text), std::string("error: ") + c.error) << c.text;
    // An absolute classpath target is refused when there is a search list to look in.
    const std::string absolute = (root_ / "work" / "self.conf").string();
    auto parsed = parse_text("include classpath(\"" + absolute + "\")", {lib()});
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().render(), "main.conf: line 1: absolute path in classpath include: " + absolute);
}

// A chain of open HOCON files is bounded; the parsed text itself is not a file on the chain.
TEST_F(Includes, DepthIsBounded) {
    const std::size_t limit = ConfigOptions::default_include_depth;
    for (std::size_t i = 1; i <= limit + 1; ++i)
        write("work/chain" + std::to_string(i) + ".conf",
              "n" + std::to_string(i) + " = 1\ninclude \"chain" + std::to_string(i + 1) + ".conf\"");
    // chain(limit + 1) includes a file that does not exist, which is fine.
    auto at_limit = HoconParser("include \"chain2.conf\"", ConfigOptions::defaults()).parse();
    EXPECT_TRUE(at_limit.has_value()) << at_limit.error();
    auto over = HoconParser("include \"chain1.conf\"", ConfigOptions::defaults()).parse();
    ASSERT_FALSE(over.has_value());
    EXPECT_EQ(over.error().render(), "chain64.conf: line 2: include depth exceeded at chain65.conf");
    // From a file, the file itself is the first on the chain: again 64 files.
    EXPECT_TRUE(parse_file("chain2.conf", ConfigOptions::defaults()).has_value());
    auto from_file = parse_file("chain1.conf", ConfigOptions::defaults());
    ASSERT_FALSE(from_file.has_value());
    EXPECT_EQ(from_file.error().render(), "chain64.conf: line 2: include depth exceeded at chain65.conf");
    auto tight = HoconParser("include \"chain1.conf\"", ConfigOptions::defaults().with_include_depth(2)).parse();
    ASSERT_FALSE(tight.has_value());
    EXPECT_EQ(tight.error().render(), "chain2.conf: line 2: include depth exceeded at chain3.conf");
}

// Every reading of a file counts, a file read again too: includes that fan out end at the
// budget, while reading files again in proportion to the distinct text read is fine.
TEST_F(Includes, RepeatedReadingsAreBudgeted) {
    for (int i = 1; i <= 12; ++i) {
        const std::string next = "fan" + std::to_string(i + 1) + ".conf";
        write("work/fan" + std::to_string(i) + ".conf",
              i < 12 ? "x { include \"" + next + "\" }\ny { include \"" + next + "\" }\n" : "v = 1\n");
    }
    auto fanned = parse_file("fan1.conf", ConfigOptions::defaults());
    ASSERT_FALSE(fanned.has_value());
    EXPECT_EQ(fanned.error().render(), "fan10.conf: line 2: include budget exceeded at fan11.conf: the files read count "
                                       "more than " + std::to_string(ReadBudget::min_read_bytes) + " bytes");

    // Twelve readings of a mebibyte pass the floor but stay within 16 times the distinct text.
    write("work/big.conf", "k = " + std::string(std::size_t{1} << 20, 'x') + "\n");
    std::string twelve;
    for (int i = 0; i < 12; ++i) twelve += "a" + std::to_string(i) + " { include \"big.conf\" }\n";
    EXPECT_TRUE(parse_text(twelve).has_value());
}

// Each file of a chain includes the next from inside its objects, where the file's fields join
// the tree: loading them stays within a modest stack whichever bound the chain meets first,
// the chain's length or the depth of the tree it builds.
TEST_F(Includes, DeepChainFitsInAModestStack) {
    const std::size_t depth = ConfigOptions::default_include_depth;
    auto chain = [&](const std::string& name, std::size_t nesting) {
        for (std::size_t i = 1; i <= depth + 1; ++i) {
            std::string opened, closed;
            for (std::size_t k = 0; k < nesting; ++k) {
                opened += "a {";
                closed += "}";
            }
            write("work/" + name + std::to_string(i) + ".conf",
                  "n = 1\n" + opened + " include \"" + name + std::to_string(i + 1) + ".conf\" " + closed + "\n");
        }
    };
    chain("deep", 3);
    chain("deeper", ConfigOptions::default_nesting_limit - 2);
    struct Job {
        std::string text;
        std::string outcome;
    };
    auto run = [](void* arg) -> void* {
        auto* job = static_cast<Job*>(arg);
        auto parsed = HoconParser(job->text, ConfigOptions::defaults()).parse();
        job->outcome = parsed ? "parsed" : parsed.error().render();
        return nullptr;
    };
#if defined(__SANITIZE_ADDRESS__)
    const std::size_t stack = std::size_t{8} << 20;  // sanitizer frames are several times larger
#else
    const std::size_t stack = std::size_t{1} << 20;
#endif
    const std::pair<std::string, std::string> cases[] = {
        {"include \"deep1.conf\"", "deep64.conf: line 2: include depth exceeded at deep65.conf"},
        {"include \"deeper1.conf\"", "deeper5.conf: line 2: objects and arrays nest deeper than the limit of 256 levels"},
    };
    for (const auto& [text, expected] : cases) {
        Job job{text, {}};
        pthread_attr_t attr;
        ASSERT_EQ(pthread_attr_init(&attr), 0);
        ASSERT_EQ(pthread_attr_setstacksize(&attr, stack), 0);
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
        EXPECT_EQ(job.outcome, expected);
    }
}

TEST_F(Includes, ParseFileByExtension) {
    write("work/doc.conf", "a = 1");
    write("work/doc.json", "{\"b\": 2}");
    write("work/other.txt", "c = 3");
    struct Case {
        const char* path;
        const char* result;
    };
    const Case cases[] = {
        {"doc.conf", "{a: #1}"},
        {"doc.json", "{b: #2}"},
        {"doc", "{a: #1; b: #2}"},
        {"other.txt", "{c: #3}"},
        {"missing.conf", "error: file not found: missing.conf"},
        {"missing", "error: no file found for missing (looked for .conf, .json and .properties)"},
    };
    for (const Case& c : cases) {
        auto parsed = parse_file(c.path, ConfigOptions::defaults());
        EXPECT_EQ(parsed ? dump(parsed->root) : "error: " + parsed.error().render(), c.result) << c.path;
    }
}

}  // namespace
}  // namespace hocon
