// Internal to the library: reading a text straight into its resolved value. A text of objects,
// arrays and scalars (and concatenations of scalars) resolves to what it spells, duplicate and
// path keys merged: it needs neither the unresolved tree nor the merged one on the way.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hocon/error.hpp"
#include "hocon/raw.hpp"
#include "hocon/value.hpp"

namespace hocon::detail {

// A buffer of elements that never move once made: they sit in segments of doubling size, growing
// adds the next segment instead of moving everything into a larger block, and clearing keeps
// every segment for the next use. Its segments come from the tree memory, which takes no block
// back before the tree goes: a vector grown there would leave each block it outgrew unused.
template <class T>
class SegmentedBuffer {
public:
    SegmentedBuffer() = default;
    SegmentedBuffer(const SegmentedBuffer&) = delete;
    SegmentedBuffer& operator=(const SegmentedBuffer&) = delete;
    ~SegmentedBuffer() {
        clear();
        for (std::size_t k = 0; k < segments_.size(); ++k) allocator_.deallocate(segments_[k], kFirst << k);
    }

    std::size_t size() const { return size_; }
    T& operator[](std::size_t index) {
        // Most objects have fewer fields than the first segment holds.
        if (index < kFirst) return segments_[0][index];
        // Segment k holds kFirst << k elements from index kFirst * (2^k - 1) on.
        const std::size_t k = std::bit_width(index / kFirst + 1) - 1;
        return segments_[k][index - kFirst * ((std::size_t{1} << k) - 1)];
    }
    T& back() { return (*this)[size_ - 1]; }
    T& emplace_back() {
        if (size_ == capacity_) {
            const std::size_t count = kFirst << segments_.size();
            segments_.push_back(allocator_.allocate(count));
            capacity_ += count;
        }
        T& element = *std::construct_at(&(*this)[size_]);
        ++size_;
        return element;
    }
    void clear() {
        for (std::size_t i = 0; i < size_; ++i) std::destroy_at(&(*this)[i]);
        size_ = 0;
    }

private:
    static constexpr std::size_t kFirst = 16;

    TreeAllocator<T> allocator_;
    std::vector<T*> segments_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The tree the parser builds for such a text. Whatever only resolution could decide (an include
// statement, a substitution, "+=", a concatenation of objects or arrays, a number out of range)
// is refused with an error whose text does not matter: the caller then reads the text the general
// way, which also reports any real error in it.
class PlainTree {
public:
    using Value = hocon::Value;
    struct Field {
        RawString key;
        Value value;
    };
    // The fields of an object being read, as written. They live in the tree memory with the
    // values they hold, and are not moved as they come: a document's root may have hundreds of
    // thousands.
    using Fields = SegmentedBuffer<Field>;
    using Object = Value;  // where an object's fields end up
    using Document = Value;
    using Status = std::expected<void, Error>;

    static std::unexpected<Error> refuse() { return std::unexpected(Error("needs resolution")); }

    // Comments are not kept.
    template <class Fields>
    static std::vector<ObjectField>* comments(Fields&) {
        return nullptr;
    }
    static void comment_after(Field&, std::string_view) {}
    static void lead(Document&, std::vector<ObjectField>&&) {}
    static Object& root_of(Document& document) { return document; }

    static Status include(Fields&, Inclusion&&, SourceLocation&&) { return refuse(); }
    static Field& new_field(Fields& fields) { return fields.emplace_back(); }
    static Status append(Value&) { return refuse(); }
    static std::expected<Value, Error> substitution(RawValue&&) { return refuse(); }
    static Status block(Value&, RawValue&&) { return refuse(); }

    static Object& object_in(Value& out) { return out; }
    // The object of the fields in the order written, keys sorted and merged as resolution merges
    // them: an object written again under a key merges into the one before, anything else hides it.
    Status close_object(Object& out, Fields& fields);
    using Array = Value::Array;
    static Value array(Array&& elements) { return Value(std::move(elements)); }

    void string(Value& out, RawString::Kind, std::string&& text) {
        ++scalars_;
        out.node().emplace<std::string>(std::move(text));
    }
    Status number(Value& out, std::string_view literal) {
        // A literal out of range is an error of resolution, told with the field it stands in.
        const auto number = parse_number(literal);
        if (!number) return refuse();
        ++scalars_;
        out.node().emplace<Number>(*number);
        return {};
    }
    Value boolean(bool value) {
        ++scalars_;
        return Value::boolean(value);
    }
    Value null() {
        ++scalars_;
        return Value();
    }
    // The parts as resolution joins them: each one's text, and the whitespace written between
    // them. `written` is each part as it stands in the text, the literal of a number or boolean.
    std::expected<Value, Error> concat(std::vector<Value>&& parts, std::vector<std::string>&& separators,
                                       std::span<const std::string_view> written);

    // Whether resolution could have refused what was read: see the definition.
    Status close_document() const;

private:
    // A field's place in close_object's sort: the first sixteen bytes of its key, and its index.
    struct SortKey {
        std::uint64_t high;
        std::uint64_t low;
        std::uint32_t index;
    };
    static SortKey sort_key(std::string_view key, std::uint32_t index);

    // A key path and the value written under it, in the order fields were written.
    struct Assignment {
        std::span<const std::string> path;
        Value* value;
    };
    static Status merge_into(std::vector<Assignment>& assignments, Value& out);

    std::size_t scalars_ = 0;
    std::size_t separator_bytes_ = 0;
    std::vector<SortKey> order_;  // scratch of close_object
};

}  // namespace hocon::detail
