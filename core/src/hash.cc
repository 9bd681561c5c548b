#include "quarlen/hash.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cassert>
#include <new>

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
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return to_hex(digest, sizeof digest);
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
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(),
                                                               &EVP_MD_CTX_free};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (state_->ctx == nullptr) throw std::bad_alloc();
  const int ok = EVP_DigestInit_ex(state_->ctx.get(), EVP_sha256(), nullptr);
  assert(ok == 1);  // SHA-256 is always available in libcrypto
  (void)ok;
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
  if (bytes.empty()) return;
  EVP_DigestUpdate(state_->ctx.get(), bytes.data(), bytes.size());
}

std::string Sha256::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->ctx.get(), digest, &size);
  assert(size == SHA256_DIGEST_LENGTH);
  return to_hex(digest, size);
}

// Each call of SHA256() or EVP_sha256() looks the algorithm up under a lock:
// for short texts that costs more than the hashing. The algorithm is fetched
// once and the context reused.
struct Sha256Digester::State {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md{EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                     &EVP_MD_free};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(),
                                                               &EVP_MD_CTX_free};
};

Sha256Digester::Sha256Digester() : state_(std::make_unique<State>()) {
  if (state_->md == nullptr || state_->ctx == nullptr) throw std::bad_alloc();
}

Sha256Digester::~Sha256Digester() = default;

std::array<unsigned char, 32> Sha256Digester::digest(std::string_view bytes) {
  static_assert(SHA256_DIGEST_LENGTH == 32);
  std::array<unsigned char, 32> out;
  unsigned int size = 0;
  EVP_MD_CTX* ctx = state_->ctx.get();
  const int ok = EVP_DigestInit_ex2(ctx, state_->md.get(), nullptr) &&
                 EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) &&
                 EVP_DigestFinal_ex(ctx, out.data(), &size);
  assert(ok == 1 && size == out.size());  // SHA-256 cannot fail on memory it was given
  (void)ok;
  return out;
}

}  // namespace quarlen
