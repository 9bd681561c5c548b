#include "quarlen/hash.h"

#include <gtest/gtest.h>

#include <string>

namespace quarlen {
namespace {

TEST(HashTest, DigestsAgreeWhateverTheWayIn) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(unit_hash("APP", "FUNCTION", "F1", "abc"),
            "65b8e7ddf27d0a6140592b5a94ef0d53593584f5016395a41d8c629b3dfc2ea0");
  EXPECT_EQ(unit_hash("A", "B", "C", "D"), sha256_hex("A|B|C|D"));  // joined with bars, unescaped
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7);
  for (size_t split : {0u, 1u, 63u, 64u, 65u, 999u}) {
    Sha256 h;
    h.update(std::string_view(data).substr(0, split));
    h.update(std::string_view(data).substr(split));
    EXPECT_EQ(h.finish_hex(), sha256_hex(data)) << split;
  }
  // One digester, one text after another.
  static constexpr char kDigits[] = "0123456789abcdef";
  Sha256Digester digester;
  for (const std::string& text : {std::string("abc"), std::string(), data}) {
    std::string hex;
    for (unsigned char b : digester.digest(text)) {
      hex += kDigits[b >> 4];
      hex += kDigits[b & 0x0F];
    }
    EXPECT_EQ(hex, sha256_hex(text)) << text.size();
  }
}

}  // namespace
}  // namespace quarlen
