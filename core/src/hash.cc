#include "quarlen/hash.h"

// SHA-256 through libcrypto's one-algorithm functions rather than EVP. They
// run the same assembly (SHA-NI or AVX2, chosen at load), and they link in
// only that code: EVP reaches SHA-256 through the provider machinery, which
// drags all of libcrypto's default provider, threads and dlopen into a module
// that links libcrypto statically. OpenSSL 3 marks them deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cassert>

namespace quarlen {
namespace {

std::string to_hex(const unsigned char* digest, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish_hex();
}

std::string unit_hash(std::string_view owner, std::string_view object_type,
                      std::string_view object_name, std::string_view text) {
  Sha256 h;
  h.update(owner);
  h.update("|");
  h.update(object_type);
  h.update("|");
  h.update(object_name);
  h.update("|");
  h.update(text);
  return h.finish_hex();
}

struct Sha256::State {
  SHA256_CTX ctx;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  const int ok = SHA256_Init(&state_->ctx);
  assert(ok == 1);  // only fails for a null context
  (void)ok;
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
  if (bytes.empty()) return;
  SHA256_Update(&state_->ctx, bytes.data(), bytes.size());
}

std::string Sha256::finish_hex() {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &state_->ctx);
  return to_hex(digest, sizeof digest);
}

// Many short digests in a row: one context, set up anew for each, and no
// allocation per digest.
struct Sha256Digester::State {
  SHA256_CTX ctx;
};

Sha256Digester::Sha256Digester() : state_(std::make_unique<State>()) {}

Sha256Digester::~Sha256Digester() = default;

std::array<unsigned char, 32> Sha256Digester::digest(std::string_view bytes) {
  static_assert(SHA256_DIGEST_LENGTH == 32);
  std::array<unsigned char, 32> out;
  SHA256_CTX* ctx = &state_->ctx;
  const int ok = SHA256_Init(ctx) && SHA256_Update(ctx, bytes.data(), bytes.size()) &&
                 SHA256_Final(out.data(), ctx);
  assert(ok == 1);  // only fails for a null context
  (void)ok;
  return out;
}

}  // namespace quarlen
