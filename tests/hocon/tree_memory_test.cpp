// Tree memory: which containers draw on a scope's source, and how long the source lives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "hocon/tree_memory.hpp"
#include "hocon/value.hpp"

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

Value sample_tree() {
    Value::Array tags{Value(std::string("a")), Value(std::string("b"))};
    return Value(Value::Object{{"tags", Value(std::move(tags))}, {"level", Value(Number{std::uint64_t{3}})}});
}

TEST(TreeMemory, ContainersDrawOnTheScopeAndKeepItAliveTillTheLastGoes) {
    Ledger ledger;
    std::unique_ptr<Value> kept;
    {
        const TreeMemoryScope scope(std::make_unique<CountingMemory>(ledger));
        Value tree = sample_tree();
        EXPECT_EQ(ledger.allocations, 3u);  // the array, its copy in the object, the object's members
        kept = std::make_unique<Value>(std::move(tree.as_object()->at("tags")));
    }
    EXPECT_FALSE(ledger.destroyed);
    // Grown after its scope closed, the array takes the heap and still holds its first elements.
    kept->as_array()->emplace_back(std::string("c"));
    EXPECT_EQ(ledger.allocations, 3u);
    EXPECT_EQ(*kept, Value(Value::Array{Value(std::string("a")), Value(std::string("b")), Value(std::string("c"))}));
    kept.reset();
    EXPECT_TRUE(ledger.destroyed);
}

TEST(TreeMemory, CopiesAndOtherThreadsUseTheHeap) {
    Ledger ledger;
    Value copy;
    Value moved;
    {
        const TreeMemoryScope scope(std::make_unique<CountingMemory>(ledger));
        Value tree = sample_tree();
        const std::size_t made = ledger.allocations;
        // On another thread the scope is not open: what the tree grows there comes from the heap.
        std::thread([&] { tree.as_object()->at("tags").as_array()->emplace_back(); }).join();
        EXPECT_EQ(ledger.allocations, made);
        moved = std::move(tree);
        std::thread([&] { copy = moved; }).join();
        EXPECT_EQ(ledger.allocations, made);
    }
    moved = Value();
    // The copy holds nothing of the source, which went with the last container drawing on it.
    EXPECT_TRUE(ledger.destroyed);
    EXPECT_EQ(copy.as_object()->at("tags").as_array()->size(), 3u);
}

}  // namespace
}  // namespace hocon
