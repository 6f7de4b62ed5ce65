// get_chunk_size, get_chunk_size_min
#include "convert.hpp"
#include "entries.hpp"
#include "involute/chunk_sizes/chunks.hpp"
#include "unlocked.hpp"

namespace kelvora::py {

namespace {

struct GetChunkSize {
  PyObject* packet;
};
constexpr auto kGetChunkSize =
    declare("get_chunk_size", KELVORA_PARAM(GetChunkSize, packet, as_byte_array));

PyRef get_chunk_size(const GetChunkSize& a) {
  const ByteView packet = require_contiguous(a.packet);
  return int_result(
      run_unlocked(packet.size(), reading(a.packet),
                                 [&](StopToken stop) { return chunk_size(packet, stop); }));
}

struct GetChunkSizeMin {
  PyObject* packet;
  std::uint64_t min_size;
};
constexpr auto kGetChunkSizeMin =
    declare("get_chunk_size_min", KELVORA_PARAM(GetChunkSizeMin, packet, as_byte_array),
            KELVORA_PARAM(GetChunkSizeMin, min_size, as_u64));

PyRef get_chunk_size_min(const GetChunkSizeMin& a) {
  const ByteView packet = require_contiguous(a.packet);
  return int_result(run_unlocked(
      packet.size(), reading(a.packet), [&](StopToken stop) { return chunk_size_min(packet, a.min_size, stop); }));
}

}  // namespace

const Function get_chunk_size_function = function<kGetChunkSize, get_chunk_size>();
const Function get_chunk_size_min_function = function<kGetChunkSizeMin, get_chunk_size_min>();

}  // namespace kelvora::py
