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

struct GenKey {
  std::string party_id;
  std::string purpose;
  PyObject* master_seed;
};
constexpr auto kGenKey = declare("gen_key", param("party_id", as_text, &GenKey::party_id),
                                 param("purpose", as_text, &GenKey::purpose),
                                 param("master_seed", as_byte_array, &GenKey::master_seed));

PyRef gen_key(const GenKey& a) {
  ByteView seed;
  if (!contiguous_view(a.master_seed, seed)) raise(PyExc_ValueError, messages::kSeedNotContiguous);
  if (seed.size() != kMasterSeedSize) raise(PyExc_ValueError, messages::kSeedLength);
  KeyTable table = derive_key_table(utf8_view(a.party_id), utf8_view(a.purpose),
                                    seed.first<kMasterSeedSize>());
  // The native copy is wiped once it has been copied into its bytes object,
  // also when that copy fails.
  WipeOnExit wipe(table.data(), table.size());
  return bytes_result(table);
}

}  // namespace

const Function gen_key_function = function<kGenKey, gen_key>();

}  // namespace kelvora::py
