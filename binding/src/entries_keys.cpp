// gen_key
#include <string>

#include "convert.hpp"
#include "entries.hpp"
#include "keys/key_table.hpp"
#include "messages.hpp"

namespace kelvora::py {
namespace {

ByteView utf8_view(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

PyObject* entry_gen_key(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::gen_key;
    const Bound b = bind(s, args, kwargs);
    const std::string party = convert(s, b, 0, as_text);
    const std::string purpose = convert(s, b, 1, as_text);
    PyObject* seed_array = convert(s, b, 2, as_byte_array);
    ByteView seed;
    if (!contiguous_view(seed_array, seed)) raise(PyExc_ValueError, messages::kSeedNotContiguous);
    if (seed.size() != kMasterSeedSize) raise(PyExc_ValueError, messages::kSeedLength);
    KeyTable table = derive_key_table(utf8_view(party), utf8_view(purpose),
                                      seed.first<kMasterSeedSize>());
    // The native copy is wiped once it has been copied into its bytes
    // object, also when that copy fails.
    WipeOnExit wipe(table.data(), table.size());
    return bytes_result(table);
  });
}

}  // namespace kelvora::py
