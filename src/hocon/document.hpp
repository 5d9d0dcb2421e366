// A document as read: its tree of values, every value that needs no resolution already final,
// and what its reading gathered besides (the names of the files it read, its measure). Also the
// pieces a reader builds it with: the fields of an object as they are read, merged when the
// object is complete, and the place where a text read inside another one joins the tree.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hocon/error.hpp"
#include "hocon/value.hpp"

namespace hocon {

// What the reading of a document gathers besides its tree.
struct DocumentStats {
    // The names of the files read, which the locations in the tree point to.
    std::deque<std::string> files;
    // The document measured as resolution measures what it makes: a value counts bytes_per_value
    // and a string, number or key its text besides (resolve.hpp). The bound on what resolution
    // may make is taken from it.
    std::size_t measure = 0;
    bool appends = false;  // a "+=" was read

    // The name kept for the document's life, for locations to point to.
    const std::string* keep_file(std::string name) { return &files.emplace_back(std::move(name)); }
};

// A document as read.
struct Document {
    Value root;  // an object, unresolved when anything in it is
    DocumentStats stats;
};

// What an include statement named: include file("x"), classpath("x") or url("x"); the plain
// form include "x" has no location kind.
enum class IncludeLocation { File, Classpath, Url };

struct Inclusion {
    std::string target;                       // the decoded string of the statement
    bool required = false;                    // wrapped in required(...)
    std::optional<IncludeLocation> location;  // absent for the plain form
};

namespace detail {

// A key as written: its text, and for a path expression (a.b."c.d") its segments.
class Key {
public:
    Key() = default;
    explicit Key(std::string text) : text_(std::move(text)) {}
    explicit Key(std::vector<std::string> segments);

    const std::string& text() const { return text_; }
    // The text of a key, which is left empty.
    std::string take_text() && { return std::move(text_); }
    bool is_path() const { return segments_ != nullptr; }
    std::span<const std::string> path() const {
        if (segments_) return *segments_;
        return std::span<const std::string>(&text_, 1);
    }

private:
    std::string text_;  // for a path expression, its segments joined by "."
    std::unique_ptr<std::vector<std::string>> segments_;
};

// One field of an object being read: where it was written, its key and its value, and whether
// the value was written as a concatenation of parts (a concatenation of strings or arrays is the
// value it makes, but in the history of its key it hides what came before it as a value of a
// kind only resolution tells does: an object written after it does not merge with anything older).
struct Field {
    Key key;
    Value value;
    SourceLocation where;
    bool concatenation = false;
};

// A key's first sixteen bytes, zero past its end, as two big-endian words, and the index of its
// field: comparing the words orders keys as their bytes do, except where both are equal.
struct SortKey {
    std::uint64_t high;
    std::uint64_t low;
    std::uint32_t index;
};

// A buffer of elements that never move once made: they sit in segments of doubling size, growing
// adds the next segment instead of moving everything into a larger block, and clearing keeps
// every segment for the next use. Its segments come from the tree's memory, which takes no block
// back before the tree goes: a vector grown there would leave each block it outgrew unused.
template <class T>
class SegmentedBuffer {
public:
    explicit SegmentedBuffer(TreeMemory* memory) : allocator_(memory) {}
    SegmentedBuffer(const SegmentedBuffer&) = delete;
    SegmentedBuffer& operator=(const SegmentedBuffer&) = delete;
    ~SegmentedBuffer() {
        clear();
        for (std::size_t k = 0; k < segments_.size(); ++k) allocator_.deallocate(segments_[k], kFirst << k);
    }

    TreeMemory* memory() const { return allocator_.memory(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t index) {
        // Most objects have fewer fields than the first segment holds.
        if (index < kFirst) return segments_[0][index];
        // Segment k holds kFirst << k elements from index kFirst * (2^k - 1) on.
        const std::size_t k = std::bit_width(index / kFirst + 1) - 1;
        return segments_[k][index - kFirst * ((std::size_t{1} << k) - 1)];
    }
    const T& operator[](std::size_t index) const { return const_cast<SegmentedBuffer&>(*this)[index]; }
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
    // Drops the elements from `size` on.
    void truncate(std::size_t size) {
        for (std::size_t i = size; i < size_; ++i) std::destroy_at(&(*this)[i]);
        if (size < size_) size_ = size;
    }
    void clear() { truncate(0); }

private:
    static constexpr std::size_t kFirst = 16;

    TreeAllocator<T> allocator_;
    std::vector<T*> segments_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace detail

// The fields of an object as they are read, in order, and their merge into the object's value:
// an object written again under a key merges into the one before, a plain value hides what came
// before it, and what only resolution can decide is kept, in order, for it to decide.
class ObjectBuilder {
public:
    // Fields and objects made from `memory`, or from the heap when it is null.
    explicit ObjectBuilder(TreeMemory* memory = nullptr) : fields_(memory) {}

    // Where the objects closed here, and what a reader reads into them, take their memory.
    TreeMemory* memory() const { return fields_.memory(); }
    std::size_t size() const { return fields_.size(); }
    // The field at `index`, as read.
    const detail::Field& field(std::size_t index) const { return fields_[index]; }
    detail::Field& add() { return fields_.emplace_back(); }
    // A field of a single key.
    void add(std::string key, Value value) {
        detail::Field& field = add();
        field.key = detail::Key(std::move(key));
        field.value = std::move(value);
    }

    // The object of the fields from `first` on, which are then dropped. `where` is where the
    // object stands, for resolution's messages.
    Value close(std::size_t first, const SourceLocation& where);
    Value close(const SourceLocation& where) { return close(0, where); }

private:
    detail::SegmentedBuffer<detail::Field> fields_;
    std::vector<detail::SortKey> order_;  // the fields of the object being closed, in key order
};

// Where a text is read into: the object its top-level fields join (the document's root, or the
// object holding an include statement) and how deep that object stands in the tree, the key path
// there, and the document whose reading it is part of. For a block, the parser gives the object
// or array that holds the block.
struct Place {
    ObjectBuilder* fields = nullptr;         // whose memory what is read there is made from
    std::size_t depth = 1;                   // the document's root at 1
    std::span<const std::string_view> path;  // the keys from the root down to it
    // How many of the path's keys an included text's substitutions are first looked up under:
    // the include's own place, so that they can name what the file itself holds.
    std::size_t prefix = 0;
    DocumentStats* stats = nullptr;
};

// The object a value is, or holds while some of it is unresolved: null for any other value.
const Value::Object* object_in(const Value& value);
Value::Object* object_in(Value& value);

// Calls `text` with every key and string in the value, unresolved parts and all: for a reader
// that checks what it was handed.
void for_each_text(const Value& value, const std::function<void(std::string_view)>& text);

}  // namespace hocon
