// The per-process hash key: the same throughout a process, and a new one in
// each child after fork(), where a key made once per process image (from the
// clock and a stack address, say) would be inherited.
#include "hash_key.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <set>

namespace kelvora {
namespace {

// The key a forked child sees, sent back through a pipe.
std::uint64_t key_in_child() {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return 0;
  const pid_t child = ::fork();
  if (child == 0) {
    const std::uint64_t key = process_hash_key();
    const bool sent = ::write(pipe_fds[1], &key, sizeof key) == sizeof key;
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::uint64_t key = 0;
  if (child < 0 || ::read(pipe_fds[0], &key, sizeof key) != sizeof key) key = 0;
  ::close(pipe_fds[0]);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  return key;
}

TEST(HashKey, OnePerProcessANewOneInEachForkedChild) {
  const std::uint64_t key = process_hash_key();
  EXPECT_NE(key, 0u);
  EXPECT_EQ(process_hash_key(), key);
  std::set<std::uint64_t> keys{key};
  for (int i = 0; i < 3; ++i) {
    const std::uint64_t child = key_in_child();
    ASSERT_NE(child, 0u);
    EXPECT_TRUE(keys.insert(child).second) << "a child repeated a key";
  }
  EXPECT_EQ(process_hash_key(), key);
}

}  // namespace
}  // namespace kelvora
