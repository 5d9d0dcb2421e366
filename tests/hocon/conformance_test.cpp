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

#include "hocon/config.hpp"
#include "hocon/parser.hpp"
#include "value_text.hpp"

namespace hocon {
namespace {

namespace fs = std::filesystem;
using testing::json;

const fs::path data_dir = fs::path(VESKORA_CONFORMANCE) / "hocon";

struct Case {
    std::string id;
    std::string text;
    std::optional<RawObject> expect;  // absent when the document must fail
};

std::expected<Value, Error> resolve_text(const std::string& text) {
    auto parsed = HoconParser(text, ConfigOptions::defaults()).parse();
    if (!parsed) return std::unexpected(parsed.error());
    auto config = Config::from(std::move(*parsed));
    if (!config) return std::unexpected(config.error());
    return config->resolve();
}

std::expected<Value, Error> resolve_fields(RawObject fields) {
    auto config = Config::from(std::move(fields));
    if (!config) return std::unexpected(config.error());
    return config->resolve();
}

std::vector<Case> load_cases() {
    std::vector<Case> cases;
    std::ifstream in(data_dir / "cases.jsonl", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        auto parsed = parse_json(line);
        if (!parsed) {
            ADD_FAILURE() << "unreadable case line: " << parsed.error();
            continue;
        }
        Case c;
        for (const ObjectField& field : parsed->fields) {
            const KeyValueField* kv = field.as_key_value();
            if (!kv) continue;
            const std::string key = kv->key.text();
            if (key == "id" && kv->value.as_string()) c.id = kv->value.as_string()->text();
            if (key == "hocon" && kv->value.as_string()) c.text = kv->value.as_string()->text();
            if (key == "expect" && kv->value.as_object()) c.expect = *kv->value.as_object();
        }
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
        auto expected = resolve_fields(std::move(*c.expect));
        ASSERT_TRUE(expected.has_value()) << c.id << ": expectation unreadable: " << expected.error();
        if (!actual) {
            ADD_FAILURE() << c.id << ": " << c.text << "\n  failed: " << actual.error();
        } else {
            EXPECT_EQ(json(*actual), json(*expected)) << c.id << ": " << c.text;
            EXPECT_TRUE(*actual == *expected) << c.id;
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
        auto original = Config::load((folder / "original.json").string(), ConfigOptions::defaults());
        ASSERT_TRUE(original.has_value()) << folder << ": " << original.error();
        std::size_t documents = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename() == "original.json") continue;
            auto actual = Config::load(entry.path().string(), ConfigOptions::defaults());
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

// Every document that is read straight into a value resolves, to that value.
TEST(Conformance, DocumentsReadPlainlyResolveAlike) {
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
    for (const std::string& text : texts) {
        auto plain = HoconParser(text, ConfigOptions::defaults()).parse_plain();
        if (!plain) continue;
        auto actual = resolve_text(text);
        ASSERT_TRUE(actual.has_value()) << text << "\n  read plainly, but: " << actual.error();
        EXPECT_EQ(json(*plain), json(*actual)) << text;
        EXPECT_TRUE(*plain == *actual) << text;
    }
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
