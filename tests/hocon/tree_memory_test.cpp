// Tree memory: which containers draw on a source, and how long the source lives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "hocon/parser.hpp"
#include "hocon/resolve.hpp"
#include "hocon/tree.hpp"
#include "hocon/tree_memory.hpp"
#include "hocon/value.hpp"
#include "value_text.hpp"

namespace hocon {
namespace {

// A source that counts what it hands out and says when it is destroyed.
struct Ledger {
    std::size_t allocations = 0;
    bool destroyed = false;
};

class CountingMemory final : public TreeMemory {
public:
    explicit CountingMemory(Ledger& ledger) : ledger_(ledger) {}
    ~CountingMemory() override {
        for (void* block : blocks_) std::free(block);
        ledger_.destroyed = true;
    }
    void* allocate(std::size_t bytes) override {
        ++ledger_.allocations;
        return blocks_.emplace_back(std::malloc(bytes));
    }

private:
    Ledger& ledger_;
    std::vector<void*> blocks_;  // from the heap, as the memory is never freed one by one
};

Value sample_tree(TreeMemory* memory) {
    Value::Array tags = Value::array_in(memory);
    tags.emplace_back(std::string("a"));
    tags.emplace_back(std::string("b"));
    Value::Object object(memory);
    object.append("level", Value(Number{std::uint64_t{3}}));
    object.append("tags", Value(std::move(tags)));
    return Value(std::move(object));
}

TEST(TreeMemory, ContainersDrawOnTheirSourceAndKeepItAliveTillTheLastGoes) {
    Ledger ledger;
    std::optional<Value> kept;
    {
        const TreeAllocator<std::byte> maker(new CountingMemory(ledger));
        Value tree = sample_tree(maker.memory());
        EXPECT_GE(ledger.allocations, 2u);
        kept = std::move(tree.as_object()->at("tags"));
    }
    EXPECT_FALSE(ledger.destroyed);
    kept->as_array()->emplace_back(std::string("c"));
    EXPECT_EQ(*kept, Value(Value::Array{Value(std::string("a")), Value(std::string("b")), Value(std::string("c"))}));
    kept.reset();
    EXPECT_TRUE(ledger.destroyed);
}

// A copy owes the source nothing, wherever it is made; what a container was moved out of is left
// on the heap, so growing it does not draw on the source either.
TEST(TreeMemory, CopiesAndMovedFromContainersUseTheHeap) {
    Ledger ledger;
    Value copy;
    {
        const TreeAllocator<std::byte> maker(new CountingMemory(ledger));
        Value tree = sample_tree(maker.memory());
        const std::size_t made = ledger.allocations;
        std::thread([&] { copy = tree; }).join();
        Value::Array& tags = *tree.as_object()->at("tags").as_array();
        Value::Array moved = std::move(tags);
        tags.emplace_back(std::string("x"));
        EXPECT_EQ(ledger.allocations, made);
        EXPECT_EQ(moved.get_allocator().memory(), maker.memory());
    }
    // The copy holds nothing of the source, which went with the last container made from it.
    EXPECT_TRUE(ledger.destroyed);
    EXPECT_EQ(copy.as_object()->at("tags").as_array()->size(), 2u);
}

// A reader's extension for a text without include statements.
struct NoIncludes final : ParserExtension {
    std::expected<void, Error> include(const Inclusion&, bool, const SourceLocation&, const Place&) override {
        return {};
    }
};

// A document read into a builder with a source is made from it, unresolved parts and what
// resolution puts in their places too, and the source goes with the resolved tree.
TEST(TreeMemory, ADocumentReadWithASourceIsMadeFromIt) {
    Ledger ledger;
    std::optional<Value> resolved;
    {
        ObjectBuilder fields(new CountingMemory(ledger));
        DocumentStats stats;
        const std::string text = "a { b = [1, 2] }\nc = ${a} { d = ${a.b} }\ne = [${a.b}]\n";
        NoIncludes extension;
        ASSERT_TRUE(HoconParser(text, ConfigOptions::defaults()).parse_into(Place{&fields, 1, {}, 0, &stats}, extension));
        Document document{fields.close(SourceLocation{}), std::move(stats)};
        EXPECT_EQ(detail::memory_of(document.root), fields.memory());
        auto result = resolve(std::move(document));
        ASSERT_TRUE(result.has_value()) << result.error().render();
        EXPECT_EQ(detail::memory_of(result->as_object()->at("c")), fields.memory());
        resolved = std::move(*result);
    }
    EXPECT_FALSE(ledger.destroyed);
    EXPECT_EQ(testing::json(*resolved), R"({"a":{"b":[1,2]},"c":{"b":[1,2],"d":[1,2]},"e":[[1,2]]})");
    resolved.reset();
    EXPECT_TRUE(ledger.destroyed);
}

}  // namespace
}  // namespace hocon
