// SHA-256 digests in their one text form (64 lowercase hex digits), and the
// fingerprint of a source unit.
#ifndef QUARLEN_HASH_H_
#define QUARLEN_HASH_H_

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace quarlen {

std::string sha256_hex(std::string_view bytes);

// "{owner}|{object_type}|{object_name}|{text}" hashed with sha256_hex.
std::string unit_hash(std::string_view owner, std::string_view object_type,
                      std::string_view object_name, std::string_view text);

// An incremental SHA-256. Movable; finish_hex() may be called once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(std::string_view bytes);
  std::string finish_hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// SHA-256 of many texts one after another, as raw bytes, without looking up
// the digest's implementation for each. Not for two threads at once.
class Sha256Digester {
 public:
  Sha256Digester();
  ~Sha256Digester();
  Sha256Digester(const Sha256Digester&) = delete;
  Sha256Digester& operator=(const Sha256Digester&) = delete;

  std::array<unsigned char, 32> digest(std::string_view bytes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quarlen

#endif  // QUARLEN_HASH_H_
