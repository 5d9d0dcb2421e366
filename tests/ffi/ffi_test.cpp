// The exported interface driven from C++ through the shared library: file loading, isolation of
// render calls, the example ruleset, one handle rendered from many threads with a host
// processor, and rulesets loaded on several threads at once and freed on others. The status and message tables live in the C test beside this file.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "veskora.h"

namespace {

const std::filesystem::path kHere = std::filesystem::path(__FILE__).parent_path();

// A rendered text, or the status and message of a failure; frees what the library handed out.
struct Outcome {
    std::int32_t status = -1;
    std::optional<std::string> text;
    std::optional<std::string> error;
};

Outcome take(std::int32_t status, char* text, char* error) {
    Outcome outcome;
    outcome.status = status;
    if (text != nullptr) {
        outcome.text = text;
    }
    if (error != nullptr) {
        outcome.error = error;
    }
    veskora_string_free(text);
    veskora_string_free(error);
    return outcome;
}

class Handle {
public:
    explicit Handle(veskora_ruleset* handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { veskora_ruleset_free(handle_); }
    const veskora_ruleset* get() const { return handle_; }

private:
    veskora_ruleset* handle_;
};

Handle load_string(const char* text) {
    veskora_ruleset* handle = nullptr;
    char* error = nullptr;
    const std::int32_t status = veskora_ruleset_from_string(text, &handle, &error);
    EXPECT_EQ(status, VESKORA_OK) << (error ? error : "");
    veskora_string_free(error);
    return Handle(handle);
}

Outcome render(const veskora_ruleset* handle, const char* name) {
    char* text = nullptr;
    char* error = nullptr;
    const std::int32_t status = veskora_ruleset_render(handle, name, &text, &error);
    return take(status, text, error);
}

Outcome render_inferred(const veskora_ruleset* handle, const char* name) {
    char* text = nullptr;
    char* error = nullptr;
    const std::int32_t status = veskora_ruleset_render_inferred(handle, name, &text, &error);
    return take(status, text, error);
}

TEST(FileLoading, LoadsEachFormAndKeepsMessagesOfTheLoader) {
    const std::string conf = (kHere / "data" / "rules.conf").string();
    const std::string missing = (kHere / "data" / "missing.conf").string();
    struct Case {
        std::string path;
        std::int32_t status;
        std::string expected;  // the text of rule "greeting", or the start of the message
    };
    const std::vector<Case> cases = {
        {conf, VESKORA_OK, "Hello from a file, world!"},
        // Without an extension the path stands for its candidate files.
        {(kHere / "data" / "rules").string(), VESKORA_OK, "Hello from a file, world!"},
        {missing, VESKORA_ERR_LOAD, "failed to parse config: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        veskora_ruleset* raw = nullptr;
        char* error = nullptr;
        const std::int32_t status = veskora_ruleset_from_file(c.path.c_str(), &raw, &error);
        Handle handle(raw);
        ASSERT_EQ(status, c.status) << (error ? error : "");
        if (status == VESKORA_OK) {
            EXPECT_EQ(error, nullptr);
            EXPECT_EQ(render(handle.get(), "greeting").text, c.expected);
        } else {
            EXPECT_EQ(raw, nullptr);
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(std::string(error).rfind(c.expected, 0), 0u) << error;
        }
        veskora_string_free(error);
    }
}

std::int32_t exclaim(const char* input, veskora_processor_result* result, void*) {
    return veskora_processor_result_set_output(result, (std::string(input) + "!").c_str());
}

TEST(FileLoading, HostProcessorsServeAFileRulesetWithAnInclude) {
    const std::string conf = (kHere / "data" / "host.conf").string();
    const char* names[] = {"exclaim"};
    const veskora_processor_callback callbacks[] = {exclaim};
    void* user_data[] = {nullptr};
    veskora_ruleset* raw = nullptr;
    char* error = nullptr;
    ASSERT_EQ(veskora_ruleset_from_file_with_processors(conf.c_str(), names, callbacks, user_data,
                                                        1, &raw, &error),
              VESKORA_OK)
        << (error ? error : "");
    Handle handle(raw);
    EXPECT_EQ(render(handle.get(), "loud").text, "world!");
    EXPECT_EQ(render(handle.get(), "greeting").text, "Hello from a file, world!");
}

// Bindings, cached context defaults and unique-choice marks belong to one call.
TEST(RenderCalls, NothingOfOneCallReachesTheNext) {
    Handle handle = load_string(
        "bind = \"{% x := who %}{x}\"\n"
        "use = \"{x}\"\n"
        "who = world\n"
        "pick = [a]\n"
        "unique = \"{pick!}\"\n"
        "context { place = \"{who}s\" }\n"
        "where = \"{place}\"\n");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(render(handle.get(), "bind").text, "world");
        const Outcome use = render(handle.get(), "use");
        EXPECT_EQ(use.status, VESKORA_ERR_RENDER);
        EXPECT_EQ(use.error, "unknown rule: x");
        // A one-option unique choice is exhausted only within one call.
        EXPECT_EQ(render(handle.get(), "unique").text, "a");
        EXPECT_EQ(render(handle.get(), "where").text, "worlds");
    }
}

// Overwrites the host's buffer that `user_data` points to, as a host may once its strings are
// handed over.
std::int32_t scribble(const char* input, veskora_processor_result* result, void* user_data) {
    static_cast<char*>(user_data)[0] = '#';
    return veskora_processor_result_set_output(result, input);
}

// A host's context, short and long, ASCII or not: the later of two entries of a key wins, a
// binding outside loops shadows an entry, and the text is the library's own copy while
// callbacks run.
TEST(RenderCalls, HostContextLaterEntriesWinAndTextIsCopied) {
    char buffer[] = "late";
    const char* names[] = {"scribble"};
    const veskora_processor_callback callbacks[] = {scribble};
    void* user_data[] = {buffer};
    veskora_ruleset* raw = nullptr;
    ASSERT_EQ(veskora_ruleset_from_string_with_processors(
                  "show = \"{who | scribble}/{who}/{none}/{zz}\"\n"
                  "shadow = \"{% who := zz %}{who}\"\n",
                  names, callbacks, user_data, 1, &raw, nullptr),
              VESKORA_OK);
    Handle handle(raw);
    for (const std::size_t filler : {0, 40}) {
        SCOPED_TRACE(filler);
        buffer[0] = 'l';
        std::vector<std::string> keys = {"who", "none", "zz"};
        std::vector<std::string> values = {"early", "", "l\u00e4st"};
        for (std::size_t i = 0; i < filler; ++i) {
            keys.push_back("k" + std::to_string(i));
            values.push_back("v");
        }
        std::vector<const char*> key_pointers;
        std::vector<const char*> value_pointers;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            key_pointers.push_back(keys[i].c_str());
            value_pointers.push_back(values[i].c_str());
        }
        key_pointers.push_back("who");
        value_pointers.push_back(buffer);
        const auto render_with = [&](const char* rule) {
            char* text = nullptr;
            char* error = nullptr;
            const std::int32_t status = veskora_ruleset_render_with_context(
                handle.get(), rule, key_pointers.data(), value_pointers.data(),
                key_pointers.size(), &text, &error);
            return take(status, text, error);
        };
        EXPECT_EQ(render_with("show").text, "late/late//l\u00e4st");
        EXPECT_EQ(buffer[0], '#');
        EXPECT_EQ(render_with("shadow").text, "l\u00e4st");
    }
}

TEST(RenderCalls, InferredRenderOfContextAndNestedObjects) {
    Handle handle = load_string(
        "context { mood = calm }\n"
        "outer { inner { n = 1 }, list = [] , empty {} }\n");
    EXPECT_EQ(render_inferred(handle.get(), "context").text, "{\n\t\"mood\": \"calm\"\n}");
    EXPECT_EQ(render_inferred(handle.get(), "outer").text,
              "{\n\t\"empty\": {},\n\t\"inner\": {\n\t\t\"n\": 1\n\t},\n\t\"list\": []\n}");
    EXPECT_EQ(render_inferred(handle.get(), "outer.inner").text, "{\n\t\"n\": 1\n}");
    const Outcome text = render(handle.get(), "context");
    EXPECT_EQ(text.status, VESKORA_ERR_RENDER);
    EXPECT_EQ(text.error, "unknown rule: context");
}

// Every rule of the demo's ruleset renders: a broken example would greet README readers with an
// error.
TEST(ExampleRuleset, EveryRuleRenders) {
    const std::string path = (kHere / ".." / ".." / "examples" / "example.conf").string();
    // The demo supplies "emphasize" as a host processor.
    const char* names[] = {"emphasize"};
    const veskora_processor_callback callbacks[] = {exclaim};
    void* user_data[] = {nullptr};
    veskora_ruleset* raw = nullptr;
    char* error = nullptr;
    ASSERT_EQ(veskora_ruleset_from_file_with_processors(path.c_str(), names, callbacks, user_data,
                                                        1, &raw, &error),
              VESKORA_OK)
        << (error ? error : "");
    Handle handle(raw);
    for (const char* name :
         {"story", "greeting", "hero", "quest", "party", "motto", "character"}) {
        SCOPED_TRACE(name);
        const Outcome outcome = render_inferred(handle.get(), name);
        EXPECT_EQ(outcome.status, VESKORA_OK) << outcome.error.value_or("");
        EXPECT_FALSE(outcome.text.value_or("").empty());
    }
    char* json = nullptr;
    ASSERT_EQ(veskora_ruleset_render_structured_json(handle.get(), "character", false, &json,
                                                     &error),
              VESKORA_OK)
        << (error ? error : "");
    EXPECT_EQ(std::string(json).front(), '{');
    veskora_string_free(json);
}

struct Counter {
    std::atomic<std::uint64_t> calls{0};
};

std::int32_t counting_bracket(const char* input, veskora_processor_result* result,
                              void* user_data) {
    static_cast<Counter*>(user_data)->calls.fetch_add(1, std::memory_order_relaxed);
    return veskora_processor_result_set_output(result, ("<" + std::string(input) + ">").c_str());
}

// One handle, eight threads, 100,000 renders in total through a host processor, with a random
// choice and a per-call context. Run under ThreadSanitizer in CI.
TEST(Concurrency, EightThreadsRenderOneHandleWithAHostProcessor) {
    Counter counter;
    const char* names[] = {"bracket"};
    const veskora_processor_callback callbacks[] = {counting_bracket};
    void* user_data[] = {&counter};
    veskora_ruleset* raw = nullptr;
    char* error = nullptr;
    ASSERT_EQ(veskora_ruleset_from_string_with_processors(
                  "line = \"{who} saw {animal | bracket} {n}\"\n"
                  "animal = [cat, dog, owl]\n",
                  names, callbacks, user_data, 1, &raw, &error),
              VESKORA_OK)
        << (error ? error : "");
    Handle handle(raw);

    constexpr int kThreads = 8;
    constexpr int kRendersPerThread = 100000 / kThreads;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string who = "t" + std::to_string(t);
            const std::set<std::string> allowed = {who + " saw <cat> ", who + " saw <dog> ",
                                                   who + " saw <owl> "};
            for (int i = 0; i < kRendersPerThread; ++i) {
                const std::string n = std::to_string(i);
                const char* keys[] = {"who", "n"};
                const char* values[] = {who.c_str(), n.c_str()};
                char* text = nullptr;
                const std::int32_t status = veskora_ruleset_render_with_context(
                    handle.get(), "line", keys, values, 2, &text, nullptr);
                const std::string line = text != nullptr ? text : "";
                veskora_string_free(text);
                const bool ok = status == VESKORA_OK && line.ends_with(n) &&
                                allowed.count(line.substr(0, line.size() - n.size())) == 1;
                if (!ok) {
                    bad.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(counter.calls.load(), std::uint64_t{kThreads} * kRendersPerThread);
}

// A ruleset large enough that its load and its tree take arena regions, with substitutions and
// loop blocks, so that every part of a load runs.
std::string busy_ruleset(int groups) {
    std::string text = "context { place = tavern }\n";
    for (int g = 0; g < groups; ++g) {
        const std::string n = std::to_string(g);
        text += "word" + n + " = [alpha, beta, ${context.place}]\n";
        text += "line" + n + " = \"The \"${context.place}\" of {word" + n + "}\"\n";
        text += "object" + n + " { title = \"{line" + n + "}\", tags = [{% for t in word" + n +
                " %} { tag = \"{t}\" } {% endfor %}] }\n";
    }
    return text;
}

TEST(Concurrency, RulesetsLoadOnSeveralThreadsAndAreFreedOnOthers) {
    constexpr int kLoaders = 4;
    constexpr int kFreers = 4;
    constexpr int kLoadsPerThread = 3;
    constexpr int kGroups = 2000;
    const std::string text = busy_ruleset(kGroups);

    std::mutex mutex;
    std::condition_variable ready;
    std::deque<veskora_ruleset*> loaded;
    int loads_left = kLoaders * kLoadsPerThread;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kLoaders; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kLoadsPerThread; ++i) {
                veskora_ruleset* handle = nullptr;
                if (veskora_ruleset_from_string(text.c_str(), &handle, nullptr) != VESKORA_OK) bad.fetch_add(1);
                const std::lock_guard lock(mutex);
                loaded.push_back(handle);
                --loads_left;
                ready.notify_all();
            }
        });
    }
    for (int t = 0; t < kFreers; ++t) {
        threads.emplace_back([&, t] {
            while (true) {
                veskora_ruleset* handle = nullptr;
                {
                    std::unique_lock lock(mutex);
                    ready.wait(lock, [&] { return !loaded.empty() || loads_left == 0; });
                    if (loaded.empty()) return;
                    handle = loaded.front();
                    loaded.pop_front();
                }
                const std::string rule = "line" + std::to_string((t * 7919) % kGroups);
                char* text_out = nullptr;
                const std::int32_t status = veskora_ruleset_render(handle, rule.c_str(), &text_out, nullptr);
                const std::string rendered = text_out != nullptr ? text_out : "";
                veskora_string_free(text_out);
                if (status != VESKORA_OK || !rendered.starts_with("The tavern of ")) bad.fetch_add(1);
                veskora_ruleset_free(handle);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_TRUE(loaded.empty());
}

}  // namespace
