// Construction of a RuleSet from a loaded document: the shape check, the processor merge, and
// the compilation of every top-level key into the structured tree and into text rules.
#include <string>
#include <utility>

#include "processors/registry.hpp"
#include "render/compile.hpp"
#include "render/config_loader.hpp"
#include "render/ruleset.hpp"

namespace veskora::render {

namespace {
constexpr std::string_view kContextKey = "context";
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

    // Every node compiled below is made in the arena, which is declared before the nodes and so
    // outlives them on every way out of this function.
    support::Arena arena;
    const support::ArenaScope in_arena(arena);

    // Built once: every top-level value is tested and compiled against the same markers.
    const compile::LoopMarkerIndex loops(config.structured_loops);
    StructuredNode::Object structured;
    structured.reserve(root->size());
    // Sized once for the names the document registers, so the lists never grow on the way.
    std::size_t rule_names = 0;
    std::size_t context_names = 0;
    for (const auto& [key, value] : *root) {
        (key == kContextKey && value.is_object() ? context_names : rule_names) += compile::registered_names(value);
    }
    compile::NamedNodes rules;
    rules.reserve(rule_names);
    compile::NamedNodes context_defaults;
    context_defaults.reserve(context_names);
    compile::CompiledTexts compiled;  // of the value at hand, shared by its tree and its rules

    // Compiles one top-level value into the tree and the lists.
    const auto compile_value = [&](const std::string& key, const hocon::Value& value) -> Result<void> {
        const bool is_context = key == kContextKey;
        if (compile::contains_template_loop(value, loops) && (is_context || !value.is_object())) {
            return std::unexpected(RenderError::invalid_template(
                "structured loop blocks must be inside arrays in object-valued rules"));
        }

        auto node = compile::value_to_structured_template_node(value, processors, loops, compiled);
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
    for (auto& [key, value] : *root) {
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
