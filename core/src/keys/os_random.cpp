// The random source's failure, on every platform; see os_random.hpp.
#include "keys/os_random.hpp"

#include <string>

#include "failure.hpp"
#include "messages.hpp"

namespace kelvora {

// See header.
void fail_os_random(std::source_location where) { fail(std::string(messages::kOsRandom), where); }

}  // namespace kelvora
