// HKDF-SHA256; see hkdf.hpp.
#include "primitives/hkdf.hpp"

#include <algorithm>

#include "primitives/hmac.hpp"

namespace kelvora {

// See header. HMAC pads a short key with zeros, so an empty salt already acts
// as the 32 zero bytes RFC 5869 asks for.
Sha256Digest hkdf_extract(ByteView salt, ByteView ikm) { return hmac_sha256(salt, ikm); }

// See header.
bool hkdf_expand(const Sha256Digest& prk, ByteView info, std::span<std::uint8_t> out) {
  if (out.size() > kHkdfMaxOutput) return false;
  const HmacSha256 mac(prk);
  Sha256Digest t{};
  WipeOnExit wipe_t(t.data(), t.size());
  std::size_t done = 0;
  for (std::uint8_t i = 1; done < out.size(); ++i) {
    Sha256 h = mac.begin();  // finish() wipes its state
    if (i > 1) h.update(t);
    h.update(info);
    h.update(&i, 1);
    // Built in place (an assignment would leave a temporary copy behind).
    Sha256Digest next = mac.finish(h);
    const std::size_t take = std::min(out.size() - done, next.size());
    std::copy_n(next.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(done));
    done += take;
    t = next;
    secure_wipe(next.data(), next.size());
  }
  return true;
}

}  // namespace kelvora
