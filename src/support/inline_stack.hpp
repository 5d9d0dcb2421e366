// InlineStack: a stack of small plain values that keeps its first few in place and moves to the
// heap only when it grows deeper. A render's stacks of active names rarely pass a few levels, so
// most renders then make no allocation for them at all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace veskora::support {

template <class T, std::size_t N>
class InlineStack {
    static_assert(std::is_trivially_copyable_v<T>, "values are copied in and out freely");
    static_assert(N > 0);

public:
    using value_type = T;
    using const_iterator = const T*;
    using iterator = const_iterator;

    InlineStack() = default;
    // The values may live inside the object itself.
    InlineStack(const InlineStack&) = delete;
    InlineStack& operator=(const InlineStack&) = delete;

    void push_back(const T& value) {
        if (size_ == capacity_) grow();
        std::construct_at(data_ + size_, value);
        ++size_;
    }
    void pop_back() { --size_; }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    friend bool operator==(const InlineStack& stack, std::span<const T> values) {
        return std::equal(stack.begin(), stack.end(), values.begin(), values.end());
    }

private:
    // Doubles the room; once on the heap the values stay there for the stack's life.
    void grow() {
        auto larger = std::make_unique_for_overwrite<T[]>(2 * capacity_);
        std::copy(begin(), end(), larger.get());
        heap_ = std::move(larger);
        data_ = heap_.get();
        capacity_ *= 2;
    }

    // Left unwritten until used: clearing it would cost a render more than the stack saves.
    union Room {
        Room() {}
        T values[N];
    } inline_;
    T* data_ = inline_.values;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
    std::unique_ptr<T[]> heap_;
};

}  // namespace veskora::support
