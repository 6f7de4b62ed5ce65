// Internal failures; see failure.hpp.
#include "failure.hpp"

#include "backends.hpp"
#include "messages.hpp"

namespace kelvora {

void fail(std::string message, std::source_location where) {
  throw InternalFailure(std::move(message), where);
}

void fail_unwrap(std::string_view error_name, std::source_location where) {
  fail(messages::unwrap_err(error_name), where);
}

void fail_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
  fail(messages::index_out_of_bounds(len, index), where);
}

void fail_equal(std::string_view what, std::string_view left, std::string_view right,
                std::source_location where) {
  fail(messages::assertion_equal(what, left, right), where);
}

void fail_assert(std::string_view condition, std::source_location where) {
  fail(messages::assertion_failed(condition), where);
}

void fail_unbuilt(const char* back_end) {
  fail(std::string(back_end) + ": back end called but not built");
}

}  // namespace kelvora
