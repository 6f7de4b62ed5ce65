// gen_key
#include <string>

#include "convert.hpp"
#include "entries.hpp"
#include "keys/key_table.hpp"
#include "messages.hpp"

namespace kelvora::py {
namespace {

// The text kind's UTF-8, read in place where the C API offers a str's own
// UTF-8 form (the limited API from 3.10 on): the str stays alive for the call
// and CPython keeps that form with it, for an ASCII str its own characters.
// The 3.9 limited API offers it only as a new bytes object, which as_text
// copies.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 >= 0x030A0000
using Text = ByteView;

ByteView as_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) as_text(obj);  // raises the text kind's TypeError
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PythonError{};
  return ByteView(reinterpret_cast<const std::uint8_t*>(utf8), std::size_t(size));
}

ByteView utf8_view(ByteView text) { return text; }
#else
using Text = std::string;
constexpr auto as_utf8 = as_text;

ByteView utf8_view(const std::string& text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
#endif

struct GenKey {
  Text party_id, purpose;
  PyObject* master_seed;
};
constexpr auto kGenKey = declare("gen_key", KELVORA_PARAM(GenKey, party_id, as_utf8),
                                 KELVORA_PARAM(GenKey, purpose, as_utf8),
                                 KELVORA_PARAM(GenKey, master_seed, as_byte_array));

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
