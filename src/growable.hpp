// A growable array in memory of its own, for what a run of many servers holds: telk does
// without the C++ library's containers, which would bring in its run-time library.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

/// An array of trivially copyable `T` that grows as it is appended to. Running out of memory
/// ends telk: nothing it could do without would be right. (Memory comes from realloc alone,
/// and the end from a trap: each function of the C library telk calls is bound at every
/// start, whether a run needs it or not.)
template <typename T> class growable {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    growable() = default;
    growable(const growable &) = delete;
    growable &operator=(const growable &) = delete;
    growable(growable &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          room_(std::exchange(other.room_, 0))
    {
    }
    ~growable() { std::free(data_); }

    /// Appends `items`.
    void append(std::span<const T> items)
    {
        if (items.empty()) return;
        reserve(size_ + items.size());
        // reserve made room, and T may be a pointer:
        // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker,bugprone-sizeof-expression)
        std::memcpy(data_ + size_, items.data(), items.size() * sizeof(T));
        size_ += items.size();
    }
    void push(const T &item) { append({&item, 1}); }

    /// Makes room for `count` items in all.
    void reserve(std::size_t count)
    {
        if (count <= room_) return;
        const std::size_t room = std::max(count, room_ * 2 + 16);
        void *grown = std::realloc(data_, room * sizeof(T)); // NOLINT(bugprone-sizeof-expression)
        if (grown == nullptr) __builtin_trap();              // out of memory
        data_ = static_cast<T *>(grown);
        room_ = room;
    }

    void clear() { size_ = 0; }
    /// Counts `count` items as there, which were written into the reserved room.
    void resize(std::size_t count) { size_ = std::min(count, room_); }
    T *data() { return data_; }
    const T *data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](std::size_t at) { return data_[at]; }
    const T &operator[](std::size_t at) const { return data_[at]; }
    std::span<T> items() { return {data_, size_}; }
    std::span<const T> items() const { return {data_, size_}; }

  private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t room_ = 0;
};

/// An array of `T` of a size known at the start, in memory of its own: each constructed in
/// place, and destroyed when the array goes.
template <typename T> class owned_array {
  public:
    explicit owned_array(std::size_t count)
        : items_(static_cast<T *>(std::realloc(nullptr, count * sizeof(T)))), count_(count)
    {
        if (items_ == nullptr && count > 0) __builtin_trap(); // out of memory
        for (std::size_t i = 0; i < count_; ++i)
            new (&items_[i]) T();
    }
    owned_array(const owned_array &) = delete;
    owned_array &operator=(const owned_array &) = delete;
    ~owned_array()
    {
        for (std::size_t i = 0; i < count_; ++i)
            items_[i].~T();
        std::free(items_);
    }
    std::span<T> items() { return {items_, count_}; }

  private:
    T *items_;
    std::size_t count_;
};

/// Bytes that grow as text is appended.
using text_buffer = growable<char>;

inline std::string_view view_of(const text_buffer &text) { return {text.data(), text.size()}; }

/// Appends `number` in decimal to `text`.
template <typename Number> void append_number(text_buffer &text, Number number)
{
    std::array<char, std::numeric_limits<Number>::digits10 + 2> digits; // and a sign
    const char *end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
    text.append({digits.data(), static_cast<std::size_t>(end - digits.data())});
}
