// SmallList<T, N>: a list of at most a fixed number of elements, given at
// construction, stored inline when that capacity is at most N, so the common
// short call allocates nothing. Elements are constructed in place and
// destroyed with the list (or by clear()).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace kelvora::py {

template <class T, std::size_t N>
class SmallList {
 public:
  explicit SmallList(std::size_t capacity)
      : data_(capacity <= N ? reinterpret_cast<T*>(inline_)
                            : static_cast<T*>(::operator new(capacity * sizeof(T)))) {}
  SmallList(const SmallList&) = delete;
  SmallList& operator=(const SmallList&) = delete;
  ~SmallList() {
    clear();
    if (data_ != reinterpret_cast<T*>(inline_)) ::operator delete(data_);
  }

  // Room is the caller's promise: never more than `capacity` elements.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    T* p = std::construct_at(data_ + size_, std::forward<Args>(args)...);
    ++size_;  // only once constructed: a throwing constructor adds nothing
    return *p;
  }
  void clear() {
    std::destroy_n(data_, size_);
    size_ = 0;
  }
  T& operator[](std::size_t i) { return data_[i]; }
  std::size_t size() const { return size_; }
  std::span<const T> span() const { return {data_, size_}; }

 private:
  alignas(T) std::byte inline_[N * sizeof(T)];
  T* data_;
  std::size_t size_ = 0;
};

}  // namespace kelvora::py
