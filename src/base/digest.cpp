#include "base/digest.h"

#include <openssl/evp.h>

#include <memory>
#include <new>

namespace {

// The digest md (of want bytes) of the concatenation of parts into digest.
void digest_of(const EVP_MD* md, std::initializer_list<digest_part> parts, uint8_t* digest,
               unsigned want = kDigestBytes) {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) throw std::bad_alloc();
  for (const digest_part& part : parts)
    if (EVP_DigestUpdate(ctx.get(), part.data, part.size) != 1) throw std::bad_alloc();
  unsigned len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1 || len != want) throw std::bad_alloc();
}

// The size bytes at digest as lowercase hex digits.
std::string hex_of(const uint8_t* digest, size_t size) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 15]);
  }
  return out;
}

}  // namespace

void sha256(const void* data, size_t size, uint8_t* digest) { digest_of(EVP_sha256(), {{data, size}}, digest); }

std::string sha256_hex(std::string_view text) {
  uint8_t digest[kDigestBytes];
  sha256(text.data(), text.size(), digest);
  return hex_of(digest, kDigestBytes);
}

std::string md5_hex(const void* data, size_t size) {
  constexpr unsigned kMd5Bytes = 16;
  uint8_t digest[kMd5Bytes];
  digest_of(EVP_md5(), {{data, size}}, digest, kMd5Bytes);
  return hex_of(digest, kMd5Bytes);
}

void sha3_256(std::initializer_list<digest_part> parts, uint8_t* digest) { digest_of(EVP_sha3_256(), parts, digest); }
