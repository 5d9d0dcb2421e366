// Render benchmarks through the exported interface: the story grammar, a literal rule with and
// without a context, a template loop, the JSON of a structured loop block, eight threads on one
// handle, and the floor every text render stands on (one allocation, a copy and a free).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common.hpp"

namespace {

using veskora::bench::fail;
using veskora::bench::Ruleset;

constexpr const char* kLiteral = "The ferry leaves at dawn from the northern pier.";

// `count` words w0, w1, ... as a HOCON array.
std::string words(int count) {
    std::string list = "[";
    for (int i = 0; i < count; ++i) list += (i > 0 ? ", w" : "w") + std::to_string(i);
    return list + "]";
}

const Ruleset& story() {
    static const Ruleset rules = Ruleset::from_file(veskora::bench::kFixtures + "/story.conf");
    return rules;
}

const Ruleset& literal() {
    static const Ruleset rules = Ruleset::from_string(std::string("literal = \"") + kLiteral + "\"");
    return rules;
}

const Ruleset& loop() {
    static const Ruleset rules = Ruleset::from_string(
        "items = " + words(1000) + "\nloop = \"{% for item in items %}{item} {% endfor %}\"");
    return rules;
}

const Ruleset& report() {
    static const Ruleset rules = Ruleset::from_string("items = " + words(100) + R"(
report {
  title = Inventory
  entries = [
    {% for item in items %}
    { name = "{item}", position = "{loop.index}" }
    {% endfor %}
  ]
})");
    return rules;
}

// Makes the compiler assume the text is read. Through a copy of the pointer: DoNotOptimize on
// the pointer itself may change it as far as the compiler knows (GCC's sanitizer build did), and
// the pointer freed would then not be the one handed out.
void keep(const char* text) {
    const char* const held = text;
    benchmark::DoNotOptimize(held);
}

// One text render of `rule`, checked and freed.
void render(benchmark::State& state, const Ruleset& rules, const char* rule,
            const char* const* keys = nullptr, const char* const* values = nullptr,
            std::size_t count = 0) {
    for (auto _ : state) {
        char* text = nullptr;
        char* error = nullptr;
        const int32_t status =
            count == 0 ? veskora_ruleset_render(rules.get(), rule, &text, &error)
                       : veskora_ruleset_render_with_context(rules.get(), rule, keys, values,
                                                             count, &text, &error);
        if (status != VESKORA_OK) {
            fail(rule, error);
        }
        keep(text);
        veskora_string_free(text);
    }
    state.SetItemsProcessed(state.iterations());
}

// One rule of two templates over four choice lists, through three processors.
void BM_StoryGrammar(benchmark::State& state) { render(state, story(), "story"); }
BENCHMARK(BM_StoryGrammar)->Threads(1)->Threads(8)->UseRealTime();

void BM_LiteralRule(benchmark::State& state) { render(state, literal(), "literal"); }
BENCHMARK(BM_LiteralRule);

// The same rule with ten context entries the render never reads: the cost of taking a context.
void BM_LiteralRuleWithContext10(benchmark::State& state) {
    static const char* const keys[] = {"name", "home", "season", "weather", "time",
                                       "mood", "guest", "colour", "number", "title"};
    static const char* const values[] = {"Mira", "the valley", "autumn", "rain", "dusk",
                                         "calm", "Tomas",      "green",  "seven", "Lady"};
    render(state, literal(), "literal", keys, values, 10);
}
BENCHMARK(BM_LiteralRuleWithContext10);

void BM_TemplateLoop1000(benchmark::State& state) { render(state, loop(), "loop"); }
BENCHMARK(BM_TemplateLoop1000);

// Compact JSON of an object rule whose array is a loop block over 100 elements.
void BM_JsonLoopBlock100(benchmark::State& state) {
    for (auto _ : state) {
        char* json = nullptr;
        char* error = nullptr;
        if (veskora_ruleset_render_structured_json(report().get(), "report", false, &json,
                                                   &error) != VESKORA_OK) {
            fail("report", error);
        }
        keep(json);
        veskora_string_free(json);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JsonLoopBlock100);

// What handing out the literal's text costs at least: an allocation, a copy and a free. Its
// thread scaling shows what the machine itself allows.
void BM_MallocCopyFree(benchmark::State& state) {
    const std::size_t size = std::strlen(kLiteral) + 1;
    for (auto _ : state) {
        char* copy = static_cast<char*>(std::malloc(size));
        std::memcpy(copy, kLiteral, size);
        keep(copy);
        std::free(copy);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MallocCopyFree)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
