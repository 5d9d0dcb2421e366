// Parser-level run over the shared conformance cases: every document that must load has to
// parse, and the cases whose failure is purely syntactic have to fail in the parser already.
// Resolution of the successful documents is checked by the resolver's own suite.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hocon/parser.hpp"

namespace hocon {
namespace {

struct Case {
    std::string id;
    std::string text;
    bool expect_error = false;
};

std::vector<Case> load_cases() {
    std::vector<Case> cases;
    std::ifstream in(std::string(VESKORA_CONFORMANCE) + "/hocon/cases.jsonl");
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
            if (key == "expect_error") c.expect_error = true;
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

// Error cases whose documents are syntactically wrong (the rest fail only when resolved).
bool is_syntax_error_case(const std::string& id) {
    for (const char* prefix : {"root-err-", "unq-err-", "comma-err-", "qstr-err-", "path-err-", "sep-err-", "err-",
                               "tq-err-", "cmt-err-", "ws-err-"})
        if (id.starts_with(prefix)) return true;
    return false;
}

TEST(ConformanceParse, DocumentsThatLoadParse) {
    auto cases = load_cases();
    ASSERT_GT(cases.size(), 300u);
    for (const Case& c : cases) {
        if (c.expect_error) continue;
        auto parsed = HoconParser(c.text, ConfigOptions::defaults()).parse();
        EXPECT_TRUE(parsed.has_value()) << c.id << ": " << c.text << "\n  -> " << parsed.error();
    }
}

TEST(ConformanceParse, SyntaxErrorsFailInTheParser) {
    for (const Case& c : load_cases()) {
        if (!c.expect_error || !is_syntax_error_case(c.id)) continue;
        auto parsed = HoconParser(c.text, ConfigOptions::defaults()).parse();
        EXPECT_FALSE(parsed.has_value()) << c.id << ": " << c.text;
    }
}

// Every document of the equivalence folders reads (HOCON and JSON alike, by extension).
TEST(ConformanceParse, EquivalenceDocumentsRead) {
    namespace fs = std::filesystem;
    int read = 0;
    for (const auto& folder : fs::directory_iterator(std::string(VESKORA_CONFORMANCE) + "/hocon")) {
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
