// The HOCON conformance data, resolved: every document of cases.jsonl must resolve to its
// expected JSON or fail as expected, and every document of every equivalence folder must
// resolve equal to the folder's original.json. The data lives in tests/fixtures/conformance
// and is read at run time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "hocon/parser.hpp"
#include "hocon/resolve.hpp"
#include "value_text.hpp"

namespace hocon {
namespace {

namespace fs = std::filesystem;
using testing::json;

const fs::path data_dir = fs::path(VESKORA_CONFORMANCE) / "hocon";

struct Case {
    std::string id;
    std::string text;
    std::optional<Value> expect;  // absent when the document must fail
};

std::expected<Value, Error> resolve_text(const std::string& text) {
    auto parsed = HoconParser(text, ConfigOptions::defaults()).parse();
    if (!parsed) return std::unexpected(parsed.error());
    return resolve(std::move(*parsed));
}

std::vector<Case> load_cases() {
    std::vector<Case> cases;
    std::ifstream in(data_dir / "cases.jsonl", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        auto parsed = parse_json(line);
        if (!parsed || !parsed->root.is_object()) {
            ADD_FAILURE() << "unreadable case line: " << line;
            continue;
        }
        const Value::Object& fields = *parsed->root.as_object();
        Case c;
        if (auto it = fields.find("id"); it != fields.end() && it->second.is_string()) c.id = *it->second.as_string();
        if (auto it = fields.find("hocon"); it != fields.end() && it->second.is_string()) c.text = *it->second.as_string();
        if (auto it = fields.find("expect"); it != fields.end() && it->second.is_object()) c.expect = it->second;
        cases.push_back(std::move(c));
    }
    return cases;
}

TEST(Conformance, EveryCaseResolvesAsExpected) {
    auto cases = load_cases();
    ASSERT_EQ(cases.size(), 395u);
    std::size_t checked = 0;
    for (Case& c : cases) {
        auto actual = resolve_text(c.text);
        if (!c.expect) {
            EXPECT_FALSE(actual.has_value()) << c.id << " should fail: " << c.text << "\n  resolved to "
                                             << json(*actual);
            ++checked;
            continue;
        }
        const Value& expected = *c.expect;
        if (!actual) {
            ADD_FAILURE() << c.id << ": " << c.text << "\n  failed: " << actual.error();
        } else {
            EXPECT_EQ(json(*actual), json(expected)) << c.id << ": " << c.text;
            EXPECT_TRUE(*actual == expected) << c.id;
        }
        ++checked;
    }
    EXPECT_EQ(checked, cases.size());
}

TEST(Conformance, EveryEquivalenceFolderMatchesItsOriginal) {
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(data_dir))
        if (entry.is_directory()) folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());
    ASSERT_FALSE(folders.empty());
    for (const fs::path& folder : folders) {
        auto original = load((folder / "original.json").string(), ConfigOptions::defaults());
        ASSERT_TRUE(original.has_value()) << folder << ": " << original.error();
        std::size_t documents = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename() == "original.json") continue;
            auto actual = load(entry.path().string(), ConfigOptions::defaults());
            if (!actual) {
                ADD_FAILURE() << entry.path() << ": " << actual.error();
                continue;
            }
            EXPECT_EQ(json(*actual), json(*original)) << entry.path();
            EXPECT_TRUE(*actual == *original) << entry.path();
            ++documents;
        }
        EXPECT_GT(documents, 0u) << folder;
    }
}

// The document with one more field that only resolution can decide, and that adds nothing: it
// must resolve to what the document does. Whatever the rest holds, a document takes the same
// road; this shows that a value left final as it is read is the value resolution would give.
std::string forced(const std::string& text) {
    const std::string line = "\nzz_force = ${?zz_undefined_name}\n";
    const std::size_t start = text.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    if (start != std::string::npos && text[start] == '{') {
        const std::size_t close = text.rfind('}');
        return text.substr(0, close) + line + text.substr(close);
    }
    return text + line;
}

TEST(Conformance, DocumentsResolveAlikeWithAFieldForResolution) {
    std::vector<std::string> texts;
    for (const Case& c : load_cases()) texts.push_back(c.text);
    for (const auto& folder : fs::directory_iterator(data_dir)) {
        if (!folder.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(folder.path())) {
            if (file.path().extension() != ".conf") continue;
            std::ifstream in(file.path(), std::ios::binary);
            texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    std::size_t compared = 0;
    for (const std::string& text : texts) {
        auto as_written = resolve_text(text);
        if (!as_written) continue;
        // Where a comment after the root holds a brace, the line lands in it: nothing to compare.
        if (!HoconParser(forced(text), ConfigOptions::defaults()).parse()) continue;
        auto with_field = resolve_text(forced(text));
        ASSERT_TRUE(with_field.has_value()) << forced(text) << "\n  -> " << with_field.error();
        EXPECT_EQ(json(*with_field), json(*as_written)) << text;
        ++compared;
    }
    EXPECT_GT(compared, 300u);
}

// Error cases whose documents are syntactically wrong (the rest fail only when resolved).
bool is_syntax_error_case(const std::string& id) {
    for (const char* prefix : {"root-err-", "unq-err-", "comma-err-", "qstr-err-", "path-err-", "sep-err-", "err-",
                               "tq-err-", "cmt-err-", "ws-err-"})
        if (id.starts_with(prefix)) return true;
    return false;
}

// The parser alone: every document that must load parses, and the syntactically wrong ones
// fail in the parser already rather than in resolution.
TEST(ConformanceParse, DocumentsThatLoadParse) {
    for (const Case& c : load_cases()) {
        if (!c.expect) continue;
        auto parsed = HoconParser(c.text, ConfigOptions::defaults()).parse();
        EXPECT_TRUE(parsed.has_value()) << c.id << ": " << c.text << "\n  -> " << parsed.error();
    }
}

TEST(ConformanceParse, SyntaxErrorsFailInTheParser) {
    for (const Case& c : load_cases()) {
        if (c.expect || !is_syntax_error_case(c.id)) continue;
        auto parsed = HoconParser(c.text, ConfigOptions::defaults()).parse();
        EXPECT_FALSE(parsed.has_value()) << c.id << ": " << c.text;
    }
}

// Every document of the equivalence folders reads (HOCON and JSON alike, by extension).
TEST(ConformanceParse, EquivalenceDocumentsRead) {
    int read = 0;
    for (const auto& folder : fs::directory_iterator(data_dir)) {
        if (!folder.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(folder.path())) {
            auto parsed = parse_file(file.path().string(), ConfigOptions::defaults());
            EXPECT_TRUE(parsed.has_value()) << file.path() << ": " << parsed.error();
            ++read;
        }
    }
    EXPECT_GT(read, 10);
}

}  // namespace
}  // namespace hocon
