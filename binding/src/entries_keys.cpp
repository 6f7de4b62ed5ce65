// gen_key
#include "convert.hpp"
#include "entries.hpp"

namespace kelvora::py {

PyObject* entry_gen_key(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::gen_key;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_text);
    (void)convert(s, b, 1, as_text);
    (void)convert(s, b, 2, as_byte_array);
    raise(PyExc_NotImplementedError, "gen_key is not implemented yet");
  });
}

}  // namespace kelvora::py
