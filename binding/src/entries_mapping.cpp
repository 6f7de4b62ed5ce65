// map_data, inv_data
//
// The argument arrays are read in place: nothing that can run Python code on
// this thread comes between taking their memory and the core's last read of
// it, and for n x L of kUnlockedWork bytes or more the interpreter lock is
// released for the column passes (unlocked.hpp). The checks run in the
// published order (conversions, contiguity of the tables, contiguity of the
// items, then the core's checks) before any result object exists; the results
// are then written once, straight into the bytes objects that are returned.
#include <span>
#include <vector>

#include "convert.hpp"
#include "entries.hpp"
#include "mapping/mapping.hpp"
#include "unlocked.hpp"

namespace kelvora::py {

namespace {

struct MapData {
  PyObject *pub_key, *priv_key;
  std::uint64_t identity;
  std::vector<PyRef> data_sequences;
};
constexpr auto kMapData = declare("map_data", KELVORA_PARAM(MapData, pub_key, as_byte_array),
                                  KELVORA_PARAM(MapData, priv_key, as_byte_array),
                                  KELVORA_PARAM(MapData, identity, as_u64),
                                  KELVORA_PARAM(MapData, data_sequences, as_array_sequence));

PyRef map_data(const MapData& a) {
  const ByteView pub = require_contiguous(a.pub_key);
  const ByteView priv = require_contiguous(a.priv_key);
  const std::vector<ByteView> sequences = item_views(a.data_sequences);
  const std::size_t len = mapping::check_map_arguments(a.identity, sequences);
  return bytes_filled(len, [&](std::uint8_t* out) {
    run_unlocked(sequences.size() * len, reading(a.pub_key, a.priv_key, a.data_sequences),
                 [&](StopToken stop) {
      mapping::map_sequences_into(pub, priv, a.identity, sequences, {out, len}, stop);
    });
  });
}

struct InvData {
  PyObject* pub_key;
  std::vector<PyRef> priv_keys, data_sequences;
};
constexpr auto kInvData = declare("inv_data", KELVORA_PARAM(InvData, pub_key, as_byte_array),
                                  KELVORA_PARAM(InvData, priv_keys, as_array_sequence),
                                  KELVORA_PARAM(InvData, data_sequences, as_array_sequence));

PyRef inv_data(const InvData& a) {
  const ByteView pub = require_contiguous(a.pub_key);
  const std::vector<ByteView> keys = item_views(a.priv_keys);
  const std::vector<ByteView> sequences = item_views(a.data_sequences);
  const std::size_t len = mapping::check_restore_arguments(keys, sequences);

  // The rows are bytes objects, whose creation never runs the garbage
  // collector; the list, whose creation can (and so run finalisers that
  // change or free an argument array), is made once the core has read
  // everything.
  const std::size_t n = sequences.size();
  std::vector<PyRef> row_objects(n);
  std::vector<std::span<std::uint8_t>> rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    row_objects[i] = result(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(len)));
    rows[i] = {reinterpret_cast<std::uint8_t*>(PyBytes_AsString(row_objects[i].get())), len};
  }
  run_unlocked(n * len, reading(a.pub_key, a.priv_keys, a.data_sequences), [&](StopToken stop) {
    mapping::restore_sequences_into(pub, keys, sequences, rows, stop);
  });
  PyRef list = result(PyList_New(Py_ssize_t(n)));
  for (std::size_t i = 0; i < n; ++i)
    PyList_SetItem(list.get(), Py_ssize_t(i), row_objects[i].release());
  return list;
}

}  // namespace

const Function map_data_function = function<kMapData, map_data>();
const Function inv_data_function = function<kInvData, inv_data>();

}  // namespace kelvora::py
