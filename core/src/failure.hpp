// Internal failure: the one exception type the core throws when a precondition
// of an operation is violated (a failed assertion, a division by zero, a table
// lookup out of range, an error value used where a value was required).
//
// Expected failures are not reported this way: operations that can fail in an
// expected way return std::expected<T, SomeError> instead. An InternalFailure
// carries its message and the source location that raised it; the Python
// binding turns it into PanicException after a short report on stderr.
// Failures raised on pool workers travel back to the calling thread unchanged.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace kelvora {

class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Throws InternalFailure with the given message. The texts callers match
// are in messages.hpp.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// "called `Result::unwrap()` on an `Err` value: <error_name>"
[[noreturn]] void fail_unwrap(std::string_view error_name,
                              std::source_location where = std::source_location::current());

// "index out of bounds: the len is <len> but the index is <index>"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             std::source_location where = std::source_location::current());

// "assertion `left == right` failed: <what>\n  left: <left>\n right: <right>"
[[noreturn]] void fail_equal(std::string_view what, std::string_view left, std::string_view right,
                             std::source_location where = std::source_location::current());

// "assertion failed: <condition>"
[[noreturn]] void fail_assert(std::string_view condition,
                              std::source_location where = std::source_location::current());

// Bounds-checked table lookup: table[index], or the index failure.
template <class Table>
inline auto checked_at(const Table& table, std::uint64_t index,
                       std::source_location where = std::source_location::current()) {
  if (index >= table.size()) fail_index(table.size(), index, where);
  return table[index];
}

}  // namespace kelvora

// "assertion failed: <condition>" when the condition does not hold.
#define KV_ASSERT(cond) \
  do {                  \
    if (!(cond)) ::kelvora::fail_assert(#cond); \
  } while (0)
