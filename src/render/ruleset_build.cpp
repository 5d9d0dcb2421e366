// Construction of a RuleSet from a loaded document: the shape check, the processor merge, and
// the compilation of every top-level key into the structured tree and into text rules.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "processors/registry.hpp"
#include "render/compile.hpp"
#include "render/config_loader.hpp"
#include "render/ruleset.hpp"

namespace veskora::render {

namespace {
constexpr std::string_view kContextKey = "context";

// Values ahead at which the build fetches three levels of a top-level value, each level six values
// after the level above, whose lines it reads. Each trades misses overlapped against lines evicted
// before use; chosen by load_bench BM_Load/plain/10240 and /51200.
constexpr std::size_t kTextsAhead = 16;         // the value's own texts and containers
constexpr std::size_t kChildrenAhead = 10;      // what its containers hold
constexpr std::size_t kGrandchildrenAhead = 4;  // what those hold
// Member lists in flight against lines evicted before use; chosen by load_bench BM_Load/plain/10240.
constexpr std::size_t kMembersAhead = 8;

// In a large document, the top-level values that follow one another in key order lie far apart
// in memory, and each one's containers and texts are cache misses that wait on one another. The
// build asks for them some values ahead, a level of the value at a time, so that the misses
// overlap with the compiling instead. These helpers are always inlined: GCC drops a call to a
// function that does nothing but prefetch.

// Asks for the first lines of what the values `Depth` levels below `value` point to (their
// texts, elements or members), for a few of each container's first values.
template <int Depth>
[[gnu::always_inline]] inline void prefetch_below(const hocon::Value& value) {
    // Children fetched per container, against lines not read; chosen by load_bench BM_Load/plain/10240.
    constexpr std::size_t kChildren = 8;
    // Bytes fetched per text or list, against the same; chosen by load_bench BM_Load/plain/10240.
    constexpr std::size_t kBytes = 256;
    if constexpr (Depth == 0) {
        const char* data = nullptr;
        std::size_t bytes = 0;
        if (const auto* text = value.as_string()) {
            data = text->data();
            bytes = text->size();
        } else if (const auto* elements = value.as_array()) {
            data = reinterpret_cast<const char*>(elements->data());
            bytes = elements->size() * sizeof(hocon::Value);
        } else if (const auto* members = value.as_object(); members != nullptr && !members->empty()) {
            data = reinterpret_cast<const char*>(&*members->begin());
            bytes = members->size() * sizeof(hocon::Value::Object::value_type);
        }
        for (std::size_t at = 0; at < std::min(bytes, kBytes); at += 64) __builtin_prefetch(data + at);
    } else if (const auto* elements = value.as_array()) {
        for (std::size_t i = 0; i < std::min(kChildren, elements->size()); ++i) {
            prefetch_below<Depth - 1>((*elements)[i]);
        }
    } else if (const auto* members = value.as_object()) {
        std::size_t i = 0;
        for (auto it = members->begin(); it != members->end() && i < kChildren; ++it, ++i)
            prefetch_below<Depth - 1>(it->second);
    }
}

// The same for the value of the root's member at `index`, if there is one.
template <int Depth>
[[gnu::always_inline]] inline void prefetch_member(const hocon::Value::Object& root, std::size_t index) {
    if (index < root.size()) {
        prefetch_below<Depth>((root.begin() + static_cast<std::ptrdiff_t>(index))->second);
    }
}

// For the count of the names a document registers, which reads objects only: the members of the
// root's member at `index`, if there is one and it is an object.
[[gnu::always_inline]] inline void prefetch_object_members(const hocon::Value::Object& root, std::size_t index) {
    if (index >= root.size()) return;
    const auto* members = (root.begin() + static_cast<std::ptrdiff_t>(index))->second.as_object();
    if (members != nullptr && !members->empty()) __builtin_prefetch(&*members->begin());
}

}  // namespace

Result<RuleSet> RuleSet::from_template_config(TemplateConfig config, ProcessorMap host_processors) {
    auto* root = config.root.as_object();
    if (root == nullptr) return std::unexpected(RenderError::config_root_not_object());

    // Host processors replace built-ins of the same name; the merged map compiles every
    // template, so pipelines may name host processors.
    ProcessorMap processors = processors::builtin_processors();
    for (auto& [name, processor] : host_processors) {
        processors.insert_or_assign(name, std::move(processor));
    }
    host_processors.clear();

    // Every node, list and text compiled below is made in the ruleset's arena, which goes with
    // them on every way out of this function, and into the ruleset on the last.
    auto arena = std::make_unique<support::Arena>();

    // Built once: every top-level value is tested and compiled against the same markers.
    const compile::LoopMarkerIndex loops(config.structured_loops);
    StructuredNode::Object structured(*arena);
    structured.reserve(root->size());
    // Sized once for the names the document registers, so the lists never grow on the way.
    std::size_t rule_names = 0;
    std::size_t context_names = 0;
    std::size_t counted = 0;
    for (const auto& [key, value] : *root) {
        prefetch_object_members(*root, counted++ + kMembersAhead);
        (key == kContextKey && value.is_object() ? context_names : rule_names) += compile::registered_names(value);
    }
    compile::NamedNodes rules(*arena);
    rules.reserve(rule_names);
    compile::NamedNodes context_defaults(*arena);
    context_defaults.reserve(context_names);
    compile::CompiledTexts compiled;  // of the value at hand, shared by its tree and its rules

    // Compiles one top-level value into the tree and the lists.
    const auto compile_value = [&](const std::string& key, const hocon::Value& value) -> Result<void> {
        const bool is_context = key == kContextKey;
        if ((is_context || !value.is_object()) && compile::contains_template_loop(value, loops)) {
            return std::unexpected(RenderError::invalid_template(
                "structured loop blocks must be inside arrays in object-valued rules"));
        }

        auto node = compile::value_to_structured_template_node(*arena, value, processors, loops, compiled);
        if (!node) return std::unexpected(std::move(node.error()));
        structured.emplace(key, std::move(*node));

        if (is_context && value.is_object()) {
            for (const auto& [member_key, member] : *value.as_object()) {
                auto inserted = compile::append_context_text_nodes(context_defaults, member_key,
                                                                   member, processors, compiled);
                if (!inserted) return inserted;
            }
            return {};
        }
        return compile::append_named_text_nodes(rules, key, value, processors, loops, compiled);
    };
    std::size_t index = 0;
    for (auto& [key, value] : *root) {
        prefetch_member<0>(*root, index + kTextsAhead);
        prefetch_member<1>(*root, index + kChildrenAhead);
        prefetch_member<2>(*root, index + kGrandchildrenAhead);
        ++index;
        if (auto compiled_value = compile_value(key, value); !compiled_value) {
            return std::unexpected(std::move(compiled_value.error()));
        }
        // Nothing refers to the value any more. Dropped now, while its memory is in the cache, it
        // costs far less than in one more walk of a large document once every value is compiled.
        compiled.clear();
        value = hocon::Value();
    }

    return RuleSet(std::move(arena), StructuredNode(std::move(structured)), NodeMap(std::move(rules)),
                   NodeMap(std::move(context_defaults)), std::move(processors));
}

}  // namespace veskora::render
