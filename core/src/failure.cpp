// Internal failures; see failure.hpp.
#include "failure.hpp"

#include "backends.hpp"

namespace kelvora {

void fail(std::string message, std::source_location where) {
  throw InternalFailure(std::move(message), where);
}

void fail_unwrap(std::string_view error_name, std::source_location where) {
  std::string m = "called `Result::unwrap()` on an `Err` value: ";
  m += error_name;
  fail(std::move(m), where);
}

void fail_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
  fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index),
       where);
}

void fail_equal(std::string_view what, std::string_view left, std::string_view right,
                std::source_location where) {
  std::string m = "assertion `left == right` failed: ";
  m += what;
  m += "\n  left: ";
  m += left;
  m += "\n right: ";
  m += right;
  fail(std::move(m), where);
}

void fail_unbuilt(const char* back_end) {
  fail(std::string(back_end) + ": back end called but not built");
}

}  // namespace kelvora
