#include "hocon/tree.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <span>

#include "hocon/text.hpp"

namespace hocon {

namespace detail {
namespace {

template <class T>
T* copy_node(const T& original) {
    TreeAllocator<T> allocator;
    T* node = allocator.allocate(1);
    std::construct_at(node, original);
    node->memory = TreeAllocator<std::byte>(allocator);
    node->state = Node::State::Open;
    node->resolved = 0;
    return node;
}

template <class T>
void destroy_as(Node* node) noexcept {
    TreeAllocator<T> allocator(node->memory);
    T* typed = static_cast<T*>(node);
    std::destroy_at(typed);
    allocator.deallocate(typed, 1);
}

Node* clone(const Node& node) {
    switch (node.kind) {
        case NodeKind::Object:
        case NodeKind::Array: return copy_node(static_cast<const ContainerNode&>(node));
        case NodeKind::Substitution: return copy_node(static_cast<const SubstitutionNode&>(node));
        case NodeKind::Concatenation: return copy_node(static_cast<const ConcatenationNode&>(node));
        case NodeKind::Append: return copy_node(static_cast<const AppendNode&>(node));
        case NodeKind::Merge: return copy_node(static_cast<const MergeNode&>(node));
        case NodeKind::Number: return copy_node(static_cast<const NumberNode&>(node));
    }
    return nullptr;
}

void destroy(Node* node) noexcept {
    if (node == nullptr) return;
    switch (node->kind) {
        case NodeKind::Object:
        case NodeKind::Array: return destroy_as<ContainerNode>(node);
        case NodeKind::Substitution: return destroy_as<SubstitutionNode>(node);
        case NodeKind::Concatenation: return destroy_as<ConcatenationNode>(node);
        case NodeKind::Append: return destroy_as<AppendNode>(node);
        case NodeKind::Merge: return destroy_as<MergeNode>(node);
        case NodeKind::Number: return destroy_as<NumberNode>(node);
    }
}

}  // namespace
}  // namespace detail

Unresolved::Unresolved(const Unresolved& other) : node_(detail::clone(*other.node_)) {}

Unresolved& Unresolved::operator=(const Unresolved& other) {
    if (this != &other) *this = Unresolved(other);
    return *this;
}

Unresolved& Unresolved::operator=(Unresolved&& other) noexcept {
    if (this != &other) {
        detail::destroy(node_);
        node_ = std::exchange(other.node_, nullptr);
    }
    return *this;
}

Unresolved::~Unresolved() { detail::destroy(node_); }

namespace detail {
namespace {

// Characters that end an unquoted string; a path segment holding any of them (or "." or
// nothing at all) must be quoted to read back as the same segment.
bool segment_needs_quotes(const std::string& segment) {
    if (segment.empty()) return true;
    for (unsigned char c : segment) {
        if (c <= 0x20 || c >= 0x7f) return true;
        switch (c) {
            case '$': case '"': case '{': case '}': case '[': case ']': case ':': case '=':
            case ',': case '+': case '#': case '`': case '^': case '?': case '!': case '@':
            case '*': case '&': case '\\': case '.': case '/':
                return true;
            default:
                break;
        }
    }
    return false;
}

void append_quoted(std::string& out, const std::string& text) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

// How a value takes part in a merge: an object merges with an object before it, a plain value
// (a scalar, or an array, whatever it holds) hides everything before it, a stack of values is
// resolution's to merge, and the other unresolved values can be of any kind.
enum class Shape { Plain, Object, Stack, Other };

Shape shape_of(const Value& value) {
    if (value.is_object()) return Shape::Object;
    const Node* node = node_of(value);
    if (node == nullptr) return Shape::Plain;
    switch (node->kind) {
        case NodeKind::Object: return Shape::Object;
        case NodeKind::Array:
        case NodeKind::Number: return Shape::Plain;
        case NodeKind::Merge: return Shape::Stack;
        default: return Shape::Other;
    }
}

Value make_stack(TreeMemory* memory, Value older, Value newer, const SourceLocation& where) {
    Value::Array stack = Value::array_in(memory);
    stack.reserve(2);
    stack.push_back(std::move(older));
    stack.push_back(std::move(newer));
    return make_unresolved<MergeNode>(memory, where, std::move(stack));
}

// A key path and the value written under it, in the order fields were written.
struct Assignment {
    std::span<const std::string> path;
    Value* value;
    std::uint32_t written;  // the index of the field it comes from
    SourceLocation where;
    bool concatenation = false;  // the field's value was written as a concatenation
};

// Adds the members of an object value to items, numbered on from next: the unresolved ones
// first, in the order they were first written, so that merging the object keeps the order in
// which they resolve, then the rest.
void add_members(std::vector<Assignment>& items, Value& object, std::uint32_t& next, const SourceLocation& where) {
    Value::Object& members = *object_of(object);
    auto add = [&](auto& member) {
        items.push_back(Assignment{std::span<const std::string>(&member.first, 1), &member.second, next++, where});
    };
    const Node* node = node_of(object);
    if (node == nullptr) {
        for (auto& member : members) add(member);
        return;
    }
    for (std::uint32_t index : static_cast<const ContainerNode*>(node)->pending) add(*(members.begin() + index));
    for (auto& member : members)
        if (!member.second.is_unresolved()) add(member);
}

// A value written as a concatenation, in the history of its key: what it makes, kept in a node
// of its own so that what follows it merges as it would with any value only resolution tells.
Value opaque(TreeMemory* memory, Value value, const SourceLocation& where) {
    Value::Array parts = Value::array_in(memory);
    parts.push_back(std::move(value));
    return make_unresolved<ConcatenationNode>(memory, where, std::move(parts),
                                              TreeVector<std::string>(TreeAllocator<std::string>(memory)));
}

Value build_object(TreeMemory* memory, std::vector<Assignment>& items, const SourceLocation& where);

// The values written under one key, in order, as one value. A run of objects and of deeper paths
// is gathered and merged key by key at once, which is what merging each into the one before
// comes to, without going through the object again for every field.
Value fold(TreeMemory* memory, std::span<Assignment> group) {
    std::optional<Value> acc;
    std::optional<SourceLocation> concatenated;  // acc is a plain value written as a concatenation, there
    // Anything but a plain value after a concatenation meets it as the node it was written as.
    auto before_more = [&] {
        if (concatenated) acc = opaque(memory, std::move(*acc), *concatenated);
        concatenated.reset();
    };
    std::vector<Assignment> run;
    std::uint32_t next = 0;  // the order of the run's assignments, as they were written
    bool running = false;  // an object is being written, maybe of no fields
    SourceLocation run_where;
    std::deque<Value> seeds;  // objects already there, whose members the run takes
    bool onto_stack = false;  // the run took the object on top of the stack in acc, and goes back there
    auto start_run = [&](const Assignment& item) {
        if (running) return;
        running = true;
        before_more();
        run_where = item.where;
        onto_stack = false;
        if (!acc) return;
        Value* seed = nullptr;
        if (shape_of(*acc) == Shape::Object) {
            seed = &seeds.emplace_back(std::move(*acc));
            acc.reset();
        } else if (shape_of(*acc) == Shape::Stack) {
            auto& stack = node_as<MergeNode>(*acc).stack;
            if (shape_of(stack.back()) == Shape::Object) {
                seed = &seeds.emplace_back(std::move(stack.back()));
                stack.pop_back();
                onto_stack = true;
            }
        }
        if (seed != nullptr) add_members(run, *seed, next, item.where);
    };
    auto flush = [&] {
        if (!running) return;
        running = false;
        Value object = build_object(memory, run, run_where);
        run.clear();
        if (onto_stack) {
            node_as<MergeNode>(*acc).stack.push_back(std::move(object));
        } else {
            acc = acc ? merge(memory, std::move(*acc), std::move(object), run_where) : std::move(object);
        }
    };
    for (Assignment& item : group) {
        if (item.path.size() > 1) {
            start_run(item);
            run.push_back(Assignment{item.path.subspan(1), item.value, next++, item.where, item.concatenation});
            continue;
        }
        Value& value = *item.value;
        switch (shape_of(value)) {
            case Shape::Plain:
                acc = std::move(value);
                run.clear();
                running = false;
                seeds.clear();
                concatenated.reset();
                if (item.concatenation) concatenated = item.where;
                break;
            case Shape::Object:
                start_run(item);
                add_members(run, value, next, item.where);
                break;
            default:
                flush();
                before_more();
                acc = acc ? merge(memory, std::move(*acc), std::move(value), item.where) : std::move(value);
                break;
        }
    }
    flush();
    return acc ? std::move(*acc) : Value();
}

// The object of assignments in the order written: grouped by their first key segment, each
// group folded in order.
Value build_object(TreeMemory* memory, std::vector<Assignment>& items, const SourceLocation& where) {
    std::stable_sort(items.begin(), items.end(),
                     [](const Assignment& a, const Assignment& b) { return a.path.front() < b.path.front(); });
    Value::Object object(memory);
    std::vector<std::uint32_t> written;
    for (std::size_t begin = 0; begin < items.size();) {
        const std::string& key = items[begin].path.front();
        std::size_t end = begin + 1;
        while (end < items.size() && items[end].path.front() == key) ++end;
        std::uint32_t first = items[begin].written;
        for (std::size_t i = begin; i < end; ++i) first = std::min(first, items[i].written);
        // A value written last under the key alone, and not an object, hides all before it; one
        // written once stays as it is.
        const Assignment& last = items[end - 1];
        const bool alone = last.path.size() == 1 && (end - begin == 1 || shape_of(*last.value) == Shape::Plain);
        Value member =
            alone ? std::move(*last.value) : fold(memory, std::span<Assignment>(items).subspan(begin, end - begin));
        object.append(key, std::move(member));
        written.push_back(first);
        begin = end;
    }
    return finish_object(memory, std::move(object), where, &written);
}

}  // namespace

Key::Key(std::vector<std::string> segments) {
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i) text_ += '.';
        if (segment_needs_quotes(segments[i]))
            append_quoted(text_, segments[i]);
        else
            text_ += segments[i];
    }
    segments_ = std::make_unique<std::vector<std::string>>(std::move(segments));
}

void set_number(TreeMemory* memory, Value& out, std::string_view literal, const SourceLocation& where) {
    const auto parsed = parse_number(literal);
    const bool is_float = parsed && std::holds_alternative<double>(*parsed);
    NumberValue value;
    if (parsed && (!is_float || literal.size() <= sizeof value.literal)) {
        value.number = *parsed;
        if (is_float) {
            value.literal_size = static_cast<std::uint8_t>(literal.size());
            std::memcpy(value.literal, literal.data(), literal.size());
        }
        out.node().emplace<NumberValue>(value);
        return;
    }
    out = make_unresolved<NumberNode>(memory, where, std::string(literal), parsed);
}

Value finish_object(TreeMemory* memory, Value::Object members, const SourceLocation& where,
                    const std::vector<std::uint32_t>* written) {
    TreeVector<std::uint32_t> pending{TreeAllocator<std::uint32_t>(memory)};
    std::uint32_t index = 0;
    for (const auto& member : members) {
        if (member.second.is_unresolved()) pending.push_back(index);
        ++index;
    }
    if (pending.empty()) return Value(std::move(members));
    if (written != nullptr) {
        std::stable_sort(pending.begin(), pending.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return (*written)[a] < (*written)[b]; });
    }
    Value held = make_unresolved<ContainerNode>(memory, NodeKind::Object, where, Value(std::move(members)));
    node_as<ContainerNode>(held).pending = std::move(pending);
    return held;
}

Value finish_array(TreeMemory* memory, Value::Array elements, const SourceLocation& where) {
    const bool pending =
        std::any_of(elements.begin(), elements.end(), [](const Value& element) { return element.is_unresolved(); });
    if (!pending) return Value(std::move(elements));
    return make_unresolved<ContainerNode>(memory, NodeKind::Array, where, Value(std::move(elements)));
}

Value merge(TreeMemory* memory, Value older, Value newer, const SourceLocation& where) {
    const Shape newer_shape = shape_of(newer);
    if (newer_shape == Shape::Plain) return newer;
    const Shape older_shape = shape_of(older);
    switch (newer_shape) {
        case Shape::Object:
            switch (older_shape) {
                case Shape::Object: {
                    std::vector<Assignment> items;
                    std::uint32_t next = 0;
                    add_members(items, older, next, where);
                    add_members(items, newer, next, where);
                    return build_object(memory, items, where);
                }
                case Shape::Plain:
                    return newer;
                case Shape::Stack: {
                    auto& stack = node_as<MergeNode>(older).stack;
                    if (shape_of(stack.back()) == Shape::Object) {
                        stack.back() = merge(memory, std::move(stack.back()), std::move(newer), where);
                    } else {
                        stack.push_back(std::move(newer));
                    }
                    return older;
                }
                case Shape::Other:
                    return make_stack(memory, std::move(older), std::move(newer), where);
            }
            break;
        case Shape::Stack: {
            auto& stack = node_as<MergeNode>(newer).stack;
            // A plain value at the bottom of the newer stack hides everything older.
            if (shape_of(stack.front()) == Shape::Plain) return newer;
            if (older_shape == Shape::Stack) {
                auto& older_stack = node_as<MergeNode>(older).stack;
                for (Value& value : stack) older_stack.push_back(std::move(value));
                return older;
            }
            stack.insert(stack.begin(), std::move(older));
            return newer;
        }
        default:
            break;
    }
    // A substitution, concatenation or append on top of anything.
    if (older_shape == Shape::Stack) {
        node_as<MergeNode>(older).stack.push_back(std::move(newer));
        return older;
    }
    return make_stack(memory, std::move(older), std::move(newer), where);
}

std::expected<Value, std::string> concatenate(TreeMemory* memory, Value::Array parts, TreeVector<std::string> separators,
                                              std::span<const std::string_view> written,
                                              const SourceLocation& where) {
    bool simple = false, object = false, array = false, substitution = false;
    for (const Value& part : parts) {
        const Node* node = node_of(part);
        if (part.is_object() || (node != nullptr && node->kind == NodeKind::Object)) {
            object = true;
        } else if (part.is_array() || (node != nullptr && node->kind == NodeKind::Array)) {
            array = true;
        } else if (node != nullptr && node->kind == NodeKind::Substitution) {
            substitution = true;
        } else {
            simple = true;
        }
    }
    if (object && array) return std::unexpected("cannot concatenate an object with an array");
    if (simple && (object || array))
        return std::unexpected(std::string("cannot concatenate ") + (object ? "an object" : "an array") +
                               " with a string, number, boolean or null");
    if (substitution) return make_unresolved<ConcatenationNode>(memory, where, std::move(parts), std::move(separators));
    if (array) {
        // Between arrays the whitespace does not count: their elements make one array.
        Value::Array elements = Value::array_in(memory);
        for (Value& part : parts) {
            Value::Array& more = part.is_array() ? *part.as_array() : *node_as<ContainerNode>(part).value.as_array();
            for (Value& element : more) elements.push_back(std::move(element));
        }
        return finish_array(memory, std::move(elements), where);
    }
    // A string joins as its text, anything else as written: a number keeps its literal.
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separators[i - 1];
        if (const std::string* string = parts[i].as_string())
            text += *string;
        else
            text += written[i];
    }
    return Value(std::move(text));
}

}  // namespace detail

const Value::Object* object_in(const Value& value) { return detail::object_of(value); }
Value::Object* object_in(Value& value) { return detail::object_of(value); }

void for_each_text(const Value& value, const std::function<void(std::string_view)>& text) {
    std::vector<const Value*> pending{&value};
    auto push_all = [&](const Value::Array& values) {
        for (const Value& element : values) pending.push_back(&element);
    };
    while (!pending.empty()) {
        const Value& current = *pending.back();
        pending.pop_back();
        if (const std::string* string = current.as_string()) {
            text(*string);
        } else if (const Value::Array* elements = current.as_array()) {
            push_all(*elements);
        } else if (const Value::Object* members = current.as_object()) {
            for (const auto& [key, member] : *members) {
                text(key);
                pending.push_back(&member);
            }
        } else if (const detail::Node* node = detail::node_of(current)) {
            switch (node->kind) {
                case detail::NodeKind::Object:
                case detail::NodeKind::Array: pending.push_back(&static_cast<const detail::ContainerNode*>(node)->value); break;
                case detail::NodeKind::Concatenation: push_all(static_cast<const detail::ConcatenationNode*>(node)->parts); break;
                case detail::NodeKind::Merge: push_all(static_cast<const detail::MergeNode*>(node)->stack); break;
                case detail::NodeKind::Append: pending.push_back(&static_cast<const detail::AppendNode*>(node)->array); break;
                default: break;
            }
        }
    }
}

// --- closing an object -------------------------------------------------------------------------

namespace {

using detail::SortKey;

// How many fields ahead of the one it places closing an object fetches: far enough ahead for the
// cache misses of a large object's fields to overlap, near enough that they are still cached
// when placed; chosen by load_bench BM_Load/plain/10240.
constexpr std::uint32_t kFieldsFetchedAhead = 8;

// The sort key of a field's key text.
SortKey sort_key(std::string_view key, std::uint32_t index) {
    unsigned char bytes[16] = {};
    std::memcpy(bytes, key.data(), std::min<std::size_t>(sizeof bytes, key.size()));
    std::uint64_t high = 0, low = 0;
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
        high = std::byteswap(high);
        low = std::byteswap(low);
    }
    return SortKey{high, low, index};
}

}  // namespace

Value ObjectBuilder::close(std::size_t first, const SourceLocation& where) {
    // Most objects have one-segment keys, each written once: their members are the fields in key
    // order. Only the others need merging.
    //
    // Keys are sorted by their first sixteen bytes, held beside the index so that most
    // comparisons touch neither the fields nor the strings; only keys equal in those bytes (one a
    // prefix of the other, or sharing a long start) compare in full.
    const auto count = static_cast<std::uint32_t>(fields_.size() - first);
    std::vector<SortKey>& order = order_;
    order.clear();
    order.reserve(count);
    bool simple = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        const detail::Key& key = fields_[first + i].key;
        simple = simple && !key.is_path();
        order.push_back(sort_key(key.text(), i));
    }
    const auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.high != b.high) return a.high < b.high;
        if (a.low != b.low) return a.low < b.low;
        return fields_[first + a.index].key.text() < fields_[first + b.index].key.text();
    };
    if (!std::is_sorted(order.begin(), order.end(), less)) std::sort(order.begin(), order.end(), less);
    for (std::uint32_t i = 1; i < count && simple; ++i) simple = less(order[i - 1], order[i]);

    Value result;
    if (simple) {
        Value::Object object(memory());
        object.reserve(count);
        bool pending = false;
        // The fields are gathered in key order, which in a large object jumps far between
        // neighbours: each is fetched a few members ahead, so that the fetches overlap.
        for (std::uint32_t i = 0; i < count; ++i) {
            if (i + kFieldsFetchedAhead < count) {
                const char* ahead =
                    reinterpret_cast<const char*>(&fields_[first + order[i + kFieldsFetchedAhead].index]);
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + sizeof(detail::Field) - 1);
            }
            detail::Field& field = fields_[first + order[i].index];
            pending = pending || field.value.is_unresolved();
            object.append(std::move(field.key).take_text(), std::move(field.value));
        }
        if (pending) {
            std::vector<std::uint32_t> written;
            written.reserve(count);
            for (std::uint32_t i = 0; i < count; ++i) written.push_back(order[i].index);
            result = detail::finish_object(memory(), std::move(object), where, &written);
        } else {
            result = Value(std::move(object));
        }
    } else {
        std::vector<detail::Assignment> items;
        items.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            detail::Field& field = fields_[first + i];
            items.push_back(detail::Assignment{field.key.path(), &field.value, i, field.where, field.concatenation});
        }
        result = detail::build_object(memory(), items, where);
    }
    fields_.truncate(first);
    return result;
}

}  // namespace hocon
