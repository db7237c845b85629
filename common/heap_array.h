#pragma once
#include <cstddef>
#include <new>
#include <utility>

namespace plovane {

// A growing array for programs built without exceptions: it takes its memory with the
// non-throwing new, and a failure to grow is an answer (false), never an abort. Move-only.
template <class T>
class heap_array {
public:
    heap_array() = default;
    heap_array(const heap_array&) = delete;
    heap_array& operator=(const heap_array&) = delete;
    heap_array(heap_array&& other) noexcept { swap(other); }
    heap_array& operator=(heap_array&& other) noexcept {
        heap_array gone(std::move(other));
        swap(gone);
        return *this;
    }
    ~heap_array() { delete[] items_; }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return items_[i]; }
    const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    T* begin() noexcept { return items_; }
    T* end() noexcept { return items_ + size_; }
    const T* begin() const noexcept { return items_; }
    const T* end() const noexcept { return items_ + size_; }

    // Room for capacity items, so that pushing up to that many cannot fail; false, with the
    // array as it was, when there is no memory for them.
    bool reserve(std::size_t capacity) noexcept { return capacity <= capacity_ || Grow(capacity); }
    // False, with the array as it was, when there is no memory for one more.
    bool push_back(T&& item) noexcept {
        if (size_ == capacity_ && !Grow()) return false;
        items_[size_++] = std::move(item);
        return true;
    }
    // Puts item at position at, the items from there on one place further; false, with the
    // array as it was, when there is no memory for one more.
    bool insert(std::size_t at, T&& item) noexcept {
        if (size_ == capacity_ && !Grow()) return false;
        for (std::size_t i = size_; i > at; --i)
            items_[i] = std::move(items_[i - 1]);
        items_[at] = std::move(item);
        ++size_;
        return true;
    }
    // Removes the item at position at; what it held is released at once.
    void erase(std::size_t at) noexcept {
        for (std::size_t i = at; i + 1 < size_; ++i)
            items_[i] = std::move(items_[i + 1]);
        items_[--size_] = T();
    }
    // Keeps, in their order, only the items for which keep(item) is true.
    template <class Keep>
    void keep_if(Keep keep) noexcept {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (!keep(items_[i])) continue;
            if (kept != i) items_[kept] = std::move(items_[i]);
            ++kept;
        }
        while (size_ > kept)
            items_[--size_] = T();
    }
    void clear() noexcept {
        heap_array gone;
        swap(gone);
    }
    void swap(heap_array& other) noexcept {
        std::swap(items_, other.items_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    bool Grow(std::size_t atLeast = 0) noexcept {
        std::size_t capacity = capacity_ ? capacity_ * 2 : 8;
        if (capacity < atLeast) capacity = atLeast;
        T* items = new (std::nothrow) T[capacity];
        if (!items) return false;
        for (std::size_t i = 0; i < size_; ++i)
            items[i] = std::move(items_[i]);
        delete[] items_;
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace plovane
