#include "hocon/plain.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "hocon/resolve.hpp"

namespace hocon::detail {

std::expected<Value, Error> PlainTree::concat(std::vector<Value>&& parts, std::vector<std::string>&& separators,
                                              std::span<const std::string_view> written) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].is_object() || parts[i].is_array()) return refuse();
        if (i > 0) {
            text += separators[i - 1];
            separator_bytes_ += separators[i - 1].size();
        }
        // A string joins as its text, anything else as written: a number keeps its literal.
        if (const std::string* string = parts[i].as_string())
            text += *string;
        else
            text += written[i];
    }
    return Value(std::move(text));
}

// A key's first sixteen bytes, zero past its end, as two big-endian words: comparing them orders
// keys as their bytes do, except where both words are equal.
PlainTree::SortKey PlainTree::sort_key(std::string_view key, std::uint32_t index) {
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

PlainTree::Status PlainTree::close_object(Object& out, Fields& fields) {
    // Most objects have one-segment keys, each written once: their members are the fields in key
    // order. Only the others need merging.
    //
    // Keys are sorted by their first sixteen bytes, held beside the index so that most
    // comparisons touch neither the fields nor the strings; only keys equal in those bytes (one a
    // prefix of the other, or sharing a long start) compare in full.
    const auto count = static_cast<std::uint32_t>(fields.size());
    order_.clear();
    order_.reserve(count);
    bool simple = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        const RawString& key = fields[i].key;
        simple = simple && key.kind() != RawString::Kind::PathExpression;
        order_.push_back(sort_key(key.text(), i));
    }
    const auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.high != b.high) return a.high < b.high;
        if (a.low != b.low) return a.low < b.low;
        return fields[a.index].key.text() < fields[b.index].key.text();
    };
    if (!std::is_sorted(order_.begin(), order_.end(), less)) std::sort(order_.begin(), order_.end(), less);
    for (std::uint32_t i = 1; i < count && simple; ++i) simple = less(order_[i - 1], order_[i]);
    if (simple) {
        auto& object = out.node().emplace<Value::Object>();
        object.reserve(count);
        // The fields are gathered in key order, which in a large object jumps far between
        // neighbours: each is fetched a few members ahead, so that the fetches overlap.
        constexpr std::uint32_t kAhead = 8;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (i + kAhead < count) {
                const char* ahead = reinterpret_cast<const char*>(&fields[order_[i + kAhead].index]);
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + sizeof(Field) - 1);
            }
            Field& field = fields[order_[i].index];
            object.append(field.key.text(), std::move(field.value));
        }
        return {};
    }
    std::vector<Assignment> assignments;
    assignments.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) assignments.push_back(Assignment{fields[i].key.path(), &fields[i].value});
    return merge_into(assignments, out);
}

// Assignments grouped by their first key segment, in the order written within a group. The newest
// value of a group written under that segment alone and not an object hides everything before it;
// what follows it (objects, and paths that go deeper) merges into one object, key by key.
//
// Resolution keeps a concatenation in the history of its key rather than the string it makes,
// and an object written after it hides, besides the concatenation, every older object that the
// key's enclosing object is later merged with. A string followed by an object is refused, since
// a concatenation is a string here.
PlainTree::Status PlainTree::merge_into(std::vector<Assignment>& assignments, Value& out) {
    std::stable_sort(assignments.begin(), assignments.end(),
                     [](const Assignment& a, const Assignment& b) { return a.path.front() < b.path.front(); });
    auto& object = out.node().emplace<Value::Object>();
    for (std::size_t begin = 0; begin < assignments.size();) {
        const std::string& key = assignments[begin].path.front();
        std::size_t end = begin + 1;
        while (end < assignments.size() && assignments[end].path.front() == key) ++end;
        Value& member = object.append(key);

        std::size_t first = begin;
        for (std::size_t i = end; i-- > begin;) {
            if (assignments[i].path.size() == 1 && !assignments[i].value->is_object()) {
                if (i == end - 1) {
                    first = i;
                } else if (assignments[i].value->is_string()) {
                    return refuse();
                } else {
                    first = i + 1;
                }
                break;
            }
        }
        if (first == end - 1 && assignments[first].path.size() == 1) {
            member = std::move(*assignments[first].value);
        } else {
            std::vector<Assignment> inner;
            for (std::size_t i = first; i < end; ++i) {
                const Assignment& a = assignments[i];
                if (a.path.size() > 1) {
                    inner.push_back(Assignment{a.path.subspan(1), a.value});
                    continue;
                }
                for (auto& [name, value] : *a.value->as_object())
                    inner.push_back(Assignment{std::span<const std::string>(&name, 1), &value});
            }
            if (auto r = merge_into(inner, member); !r) return r;
        }
        begin = end;
    }
    return {};
}

// Without substitutions, what resolution makes is bounded by the merged tree it would build:
// every container made counts at most one value per node of that tree, and every string joined
// holds texts of that tree, except for the whitespace written between the parts. Every scalar read
// is a node of that tree, of bytes_per_value at least, and resolution may make budget_factor times
// the tree: so unless the whitespace between parts outgrows what is left of that margin, no bound
// of resolution can be reached, and what was read is what it would give.
PlainTree::Status PlainTree::close_document() const {
    if (separator_bytes_ > (budget_factor - 3) * bytes_per_value * scalars_) return refuse();
    return {};
}

}  // namespace hocon::detail
