// Name resolution through loop scopes and the context, bound text with the re-entry check on
// structured nodes, loop sources, bindings and unique-choice marks.
#include "render/state.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "render/nodes.hpp"
#include "render/ruleset.hpp"
#include "support/name_map.hpp"

namespace veskora::render {

namespace {

constexpr std::string_view kLoop = "loop";
constexpr std::string_view kLoopPrefix = "loop.";

// From this many entries on, a host's context is sorted for binary search: below it a scan from
// the back costs less than sorting.
constexpr std::size_t kSortedContextEntries = 16;

bool by_key(const ContextEntry& a, const ContextEntry& b) { return a.key < b.key; }

// What a name resolves to, without copying: views into the state or the ruleset, valid until
// the state changes. The "loop." members carry their number or flag. Kept small, since it sits
// in the frames of every name lookup.
struct Resolved {
    enum class Kind { None, Text, Structured, Runtime, LoopNumber, LoopFlag, Loop } kind = Kind::None;
    std::string_view text;
    const StructuredNode* node = nullptr;
    const VeskoraValue* value = nullptr;
    std::uint64_t number = 0;  // LoopNumber
    bool flag = false;         // LoopFlag
};

// The failure of a name that resolve refuses.
[[gnu::cold, gnu::noinline]] RenderError unknown_name(std::string_view name) {
    return RenderError::unknown_rule(std::string(name));
}

// The text bound to a name; an empty map answers without hashing the name.
const std::string* find_text(const ContextMap& map, std::string_view name) {
    if (map.empty()) return nullptr;
    const auto it = map.find(name);
    return it == map.end() ? nullptr : &it->second;
}

const std::string* find_text(const std::optional<ContextMap>& map, std::string_view name) {
    return map ? find_text(*map, name) : nullptr;
}

// Fills `r` (left as None when nothing answers); false for a missing member of a loop element
// or an unknown "loop." name. `r` is the caller's: built in a result and copied out, GCC
// assembles it with narrow stores and copies it with wide loads, which stalls every lookup.
bool resolve(const RenderState& state, std::string_view name, Resolved& r) {
    for (auto scope = state.scopes.rbegin(); scope != state.scopes.rend(); ++scope) {
        const std::string_view variable = scope->variable;
        const auto* node = std::get_if<const StructuredNode*>(&scope->element.value);
        if (support::same_name(name, variable)) {
            if (node != nullptr) {
                r.kind = Resolved::Kind::Structured;
                r.node = *node;
            } else {
                r.kind = Resolved::Kind::Runtime;
                r.value = &std::get<VeskoraValue>(scope->element.value);
            }
            return true;
        }
        if (name.size() > variable.size() && name[variable.size()] == '.' &&
            support::same_name(name.substr(0, variable.size()), variable)) {
            const std::string_view path = name.substr(variable.size() + 1);
            if (node != nullptr) {
                r.kind = Resolved::Kind::Structured;
                r.node = (*node)->child(path);
                if (r.node != nullptr) return true;
            } else {
                r.kind = Resolved::Kind::Runtime;
                r.value = std::get<VeskoraValue>(scope->element.value).child(path);
                if (r.value != nullptr) return true;
            }
            // A missing member ends the lookup: nothing outside may answer for the element.
            return false;
        }
        if (name == kLoop) {
            r.kind = Resolved::Kind::Loop;
            return true;
        }
        if (name.starts_with(kLoopPrefix)) {
            const std::string_view member = name.substr(kLoopPrefix.size());
            if (member == "index") {
                r.kind = Resolved::Kind::LoopNumber;
                r.number = scope->index + 1;
            } else if (member == "index0") {
                r.kind = Resolved::Kind::LoopNumber;
                r.number = scope->index;
            } else if (member == "length") {
                r.kind = Resolved::Kind::LoopNumber;
                r.number = scope->length;
            } else if (member == "first") {
                r.kind = Resolved::Kind::LoopFlag;
                r.flag = scope->index == 0;
            } else if (member == "last") {
                r.kind = Resolved::Kind::LoopFlag;
                r.flag = scope->index + 1 == scope->length;
            } else {
                return false;
            }
            return true;
        }
        if (const std::string* text = find_text(scope->bindings, name)) {
            r.kind = Resolved::Kind::Text;
            r.text = *text;
            return true;
        }
    }
    if (const std::string* text = find_text(state.context_map, name)) {
        r.kind = Resolved::Kind::Text;
        r.text = *text;
    } else if (const std::string_view* value = state.host_context.find(name)) {
        r.kind = Resolved::Kind::Text;
        r.text = *value;
    }
    return true;
}

// The runtime value of a Runtime, LoopNumber or LoopFlag resolution, as an owned copy.
VeskoraValue runtime_copy(const Resolved& r) {
    if (r.kind == Resolved::Kind::LoopNumber) return VeskoraValue{VeskoraNumber{r.number}};
    if (r.kind == Resolved::Kind::LoopFlag) return VeskoraValue{r.flag};
    return *r.value;
}

Result<LoopElements> elements_of(const StructuredNode& node, std::string_view source) {
    const auto* entries = std::get_if<StructuredNode::Array>(&node.data);
    if (entries == nullptr) {
        return std::unexpected(RenderError::not_iterable(std::string(source), kind_text(node)));
    }
    // Checked before the first element renders, so that the error does not depend on the body.
    for (const auto& entry : *entries) {
        if (entry.value_node() == nullptr) {
            return std::unexpected(
                RenderError::not_iterable(std::string(source), "array with generated entries"));
        }
    }
    return LoopElements(*entries);
}

}  // namespace

void HostContext::take(std::vector<ContextEntry>&& entries) {
    entries_ = std::move(entries);
    std::size_t bytes = 0;
    for (const auto& [key, value] : entries_) bytes += key.size() + value.size();
    text_ = std::make_unique_for_overwrite<char[]>(bytes);
    char* end = text_.get();
    const auto keep = [&](std::string_view& view) {
        if (view.empty()) return;
        std::memcpy(end, view.data(), view.size());
        view = std::string_view(end, view.size());
        end += view.size();
    };
    for (auto& [key, value] : entries_) {
        keep(key);
        keep(value);
    }
    // Stable, so equal keys keep their order and the last of them is the later entry.
    if (entries_.size() >= kSortedContextEntries) std::stable_sort(entries_.begin(), entries_.end(), by_key);
}

const std::string_view* HostContext::find(std::string_view key) const {
    if (entries_.size() >= kSortedContextEntries) {
        const auto after = std::upper_bound(entries_.begin(), entries_.end(), ContextEntry{key, {}}, by_key);
        return after != entries_.begin() && std::prev(after)->key == key ? &std::prev(after)->value : nullptr;
    }
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
        if (entry->key == key) return &entry->value;
    }
    return nullptr;
}

RenderState::RenderState(const RuleSet& ruleset, ContextMap context, std::uint64_t options)
    : ruleset(&ruleset), context_map(std::move(context)), recursion_limit(options) {}

std::vector<std::string> RenderState::active_names_and(std::string_view name) const {
    std::vector<std::string> names;
    names.reserve(rule_stack.size() + 1);
    for (std::string_view active : rule_stack) names.emplace_back(active);
    names.emplace_back(name);
    return names;
}

RenderState RenderState::with_context_and_options(const RuleSet& ruleset, ContextMap context,
                                                  std::uint64_t options) {
    return RenderState(ruleset, std::move(context), options);
}

Result<std::optional<ScopedValue>> RenderState::scoped_value(std::string_view name) const {
    Resolved r;
    if (!resolve(*this, name, r)) return std::unexpected(unknown_name(name));
    // Filled in place: moving a finished ScopedValue into the result makes GCC 12 warn about
    // the variant's inactive storage.
    Result<std::optional<ScopedValue>> result{std::in_place};
    if (r.kind == Resolved::Kind::None) return result;
    auto& value = result->emplace().value;
    switch (r.kind) {
        case Resolved::Kind::Text: value.emplace<std::string>(r.text); break;
        case Resolved::Kind::Structured: value.emplace<const StructuredNode*>(r.node); break;
        case Resolved::Kind::Runtime:
        case Resolved::Kind::LoopNumber:
        case Resolved::Kind::LoopFlag: value.emplace<VeskoraValue>(runtime_copy(r)); break;
        case Resolved::Kind::Loop:
        case Resolved::Kind::None: value.emplace<ScopedValue::Loop>(); break;
    }
    return result;
}

Result<bool> RenderState::has_scoped_value(std::string_view name) const {
    Resolved r;
    if (!resolve(*this, name, r)) return std::unexpected(unknown_name(name));
    return r.kind != Resolved::Kind::None;
}

namespace {

[[gnu::cold, gnu::noinline]] Result<bool> bound_error(RenderError error) {
    return std::unexpected(std::move(error));
}

[[gnu::cold, gnu::noinline]] Result<bool> circular_bound(const RenderState& state, std::string_view name) {
    return std::unexpected(RenderError::circular_reference(state.active_names_and(name)));
}

}  // namespace

Result<bool> RenderState::append_bound_text(std::string_view name, std::string& out) {
    if (binds_nothing()) return false;
    Resolved r;
    if (!resolve(*this, name, r)) return bound_error(unknown_name(name));
    switch (r.kind) {
        case Resolved::Kind::None: return false;
        case Resolved::Kind::Text: out.append(r.text); return true;
        case Resolved::Kind::LoopNumber: append_number_text(out, VeskoraNumber{r.number}); return true;
        case Resolved::Kind::LoopFlag: out.append(r.flag ? "true" : "false"); return true;
        case Resolved::Kind::Runtime:
            if (auto done = r.value->append_rendered_text(out); !done) return bound_error(std::move(done.error()));
            return true;
        case Resolved::Kind::Loop: return bound_error(RenderError::unsupported_value("object"));
        case Resolved::Kind::Structured: break;
    }
    return append_structured_text(r.node, name, out);
}

Result<void> RenderState::append_loop_element(std::size_t outward, std::string_view name,
                                              std::string& out) {
    const IterationValue& element = scopes[scopes.size() - 1 - outward].element;
    if (const auto* node = std::get_if<const StructuredNode*>(&element.value)) {
        if (auto done = append_structured_text(*node, name, out); !done) return std::unexpected(std::move(done.error()));
        return {};
    }
    return std::get<VeskoraValue>(element.value).append_rendered_text(out);
}

Result<bool> RenderState::append_guarded_structured_text(const StructuredNode* node,
                                                         std::string_view name, std::string& out) {
    // A structured element renders under the same re-entry check as a rule, counted on the
    // node's place in the tree rather than on the name.
    const auto active = static_cast<std::uint64_t>(std::count(node_stack.begin(), node_stack.end(), node));
    if (active > 0 && recursion_limit == 0) return circular_bound(*this, name);
    if (active > recursion_limit) return true;
    if (at_nesting_bound()) return circular_bound(*this, name);
    node_stack.push_back(node);
    rule_stack.push_back(name);
    ++depth;
    auto done = node->generate_text(*this, out);
    --depth;
    rule_stack.pop_back();
    node_stack.pop_back();
    if (!done) return bound_error(std::move(done.error()));
    return true;
}

Result<std::optional<std::string>> RenderState::resolve_bound_text(std::string_view name) {
    std::string text;
    auto bound = append_bound_text(name, text);
    if (!bound) return std::unexpected(std::move(bound.error()));
    if (!*bound) return std::optional<std::string>{};
    return std::optional<std::string>{std::move(text)};
}

Result<LoopElements> RenderState::iterable_elements(std::string_view source) {
    Resolved r;
    if (!resolve(*this, source, r)) return std::unexpected(unknown_name(source));
    switch (r.kind) {
        case Resolved::Kind::Runtime: {
            const auto* array = std::get_if<VeskoraValue::Array>(&r.value->data);
            if (array == nullptr) {
                return std::unexpected(RenderError::not_iterable(std::string(source), kind_text(*r.value)));
            }
            std::vector<IterationValue> elements;
            elements.reserve(array->size());
            for (const auto& element : *array) elements.emplace_back().value.emplace<VeskoraValue>(element);
            return LoopElements(std::move(elements));
        }
        case Resolved::Kind::LoopNumber:
            return std::unexpected(RenderError::not_iterable(std::string(source), "number"));
        case Resolved::Kind::LoopFlag:
            return std::unexpected(RenderError::not_iterable(std::string(source), "boolean"));
        case Resolved::Kind::Text:
            return std::unexpected(RenderError::not_iterable(std::string(source), "string"));
        case Resolved::Kind::Loop:
            return std::unexpected(RenderError::not_iterable(std::string(source), "object"));
        case Resolved::Kind::Structured: return elements_of(*r.node, source);
        case Resolved::Kind::None: break;
    }
    if (const StructuredNode* node = ruleset->structured_context_node(source)) {
        return elements_of(*node, source);
    }
    auto node = ruleset->structured_node(source);
    if (!node) return std::unexpected(std::move(node.error()));
    return elements_of(**node, source);
}

namespace {

ContextMap& scope_bindings(IterationScope& scope) {
    if (!scope.bindings) scope.bindings.emplace();
    return *scope.bindings;
}

}  // namespace

Result<void> RenderState::bind(std::string_view name, std::string text, bool check) {
    if (check && is_immutable_loop_name(name)) {
        return std::unexpected(RenderError::immutable_loop_binding(std::string(name)));
    }
    auto& target = scopes.empty() ? context_map : scope_bindings(scopes.back());
    if (auto it = target.find(name); it != target.end()) {
        it->second = std::move(text);
    } else {
        target.emplace(std::string(name), std::move(text));
    }
    return {};
}

bool RenderState::is_immutable_loop_name(std::string_view name) const {
    if (scopes.empty()) return false;
    if (name == kLoop || name.starts_with(kLoopPrefix)) return true;
    return std::any_of(scopes.begin(), scopes.end(), [&](const IterationScope& scope) {
        const std::string_view variable = scope.variable;
        return name.starts_with(variable) &&
               (name.size() == variable.size() || name[variable.size()] == '.');
    });
}

void RenderState::cache_context_default(std::string_view name, std::string text) {
    if (auto it = context_map.find(name); it != context_map.end()) {
        it->second = std::move(text);
    } else {
        context_map.emplace(std::string(name), std::move(text));
    }
}

void RenderState::mark_unique_choice_index(std::string_view key, std::uint64_t index) {
    if (!unique_choices_) unique_choices_.emplace();
    auto it = unique_choices_->find(key);
    if (it == unique_choices_->end()) it = unique_choices_->emplace(std::string(key), std::set<std::uint64_t>{}).first;
    it->second.insert(index);
}

const std::set<std::uint64_t>* RenderState::unique_choice_indices(std::string_view key) const {
    if (!unique_choices_) return nullptr;
    const auto it = unique_choices_->find(key);
    return it == unique_choices_->end() ? nullptr : &it->second;
}

void RenderState::push_iteration_scope(std::string_view variable, IterationValue element,
                                       std::uint64_t index, std::uint64_t length) {
    scopes.push_back(IterationScope{variable, std::move(element), std::nullopt, index, length});
}

void RenderState::pop_iteration_scope() {
    if (!scopes.empty()) scopes.pop_back();
}

const char* kind_text(const ScopedValue& value) {
    if (std::holds_alternative<std::string>(value.value)) return "string";
    if (const auto* node = std::get_if<const StructuredNode*>(&value.value)) return kind_text(**node);
    if (const auto* runtime = std::get_if<VeskoraValue>(&value.value)) return kind_text(*runtime);
    return "object";
}

}  // namespace veskora::render
