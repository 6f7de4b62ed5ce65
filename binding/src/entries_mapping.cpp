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

PyObject* entry_map_data(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::map_data;
    const Bound b = bind(s, args, kwargs);
    PyObject* pub_array = convert(s, b, 0, as_byte_array);
    PyObject* priv_array = convert(s, b, 1, as_byte_array);
    const std::uint64_t identity = convert(s, b, 2, as_u64);
    const std::vector<PyRef> items = convert(s, b, 3, as_array_sequence);
    const ByteView pub = require_contiguous(pub_array);
    const ByteView priv = require_contiguous(priv_array);
    const std::vector<ByteView> sequences = item_views(items);
    const std::size_t len = mapping::check_map_arguments(identity, sequences);
    return bytes_filled(len, [&](std::uint8_t* out) {
      run_unlocked(sequences.size() * len, reading(pub_array, priv_array, items),
                   [&](StopToken stop) {
                     mapping::map_sequences_into(pub, priv, identity, sequences, {out, len}, stop);
                   });
    });
  });
}

PyObject* entry_inv_data(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::inv_data;
    const Bound b = bind(s, args, kwargs);
    PyObject* pub_array = convert(s, b, 0, as_byte_array);
    const std::vector<PyRef> key_items = convert(s, b, 1, as_array_sequence);
    const std::vector<PyRef> data_items = convert(s, b, 2, as_array_sequence);
    const ByteView pub = require_contiguous(pub_array);
    const std::vector<ByteView> keys = item_views(key_items);
    const std::vector<ByteView> sequences = item_views(data_items);
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
    run_unlocked(n * len, reading(pub_array, key_items, data_items), [&](StopToken stop) {
      mapping::restore_sequences_into(pub, keys, sequences, rows, stop);
    });
    PyRef list = result(PyList_New(Py_ssize_t(n)));
    for (std::size_t i = 0; i < n; ++i)
      PyList_SetItem(list.get(), Py_ssize_t(i), row_objects[i].release());
    return list;
  });
}

}  // namespace kelvora::py
