// The digest against the standard's own examples, across the one-block and two-block
// paddings.
#include "image/sha256.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace vql {
namespace {

TEST(Sha256, GivesTheStandardsDigests) {
  const struct {
    std::string_view message;
    std::string_view digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> bytes(c.message.begin(), c.message.end());
    EXPECT_EQ(Sha256Hex(bytes), c.digest) << c.message;
  }
}

}  // namespace
}  // namespace vql
