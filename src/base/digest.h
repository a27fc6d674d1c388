// SHA-256, SHA3-256 and MD5 through OpenSSL, for the checksums of saved
// files, the hash chain of proofs and the proof's fingerprint in result lines. A digest that OpenSSL cannot make (it could not
// allocate) throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

constexpr size_t kDigestBytes = 32;  // the length of SHA-256 and SHA3-256

// A piece of the bytes a digest is taken over.
struct digest_part {
  const void* data;
  size_t size;
};

// SHA-256 of the size bytes at data into digest (kDigestBytes).
void sha256(const void* data, size_t size, uint8_t* digest);

// SHA-256 of text as 64 lowercase hex digits.
std::string sha256_hex(std::string_view text);

// SHA3-256 of the concatenation of parts into digest (kDigestBytes).
void sha3_256(std::initializer_list<digest_part> parts, uint8_t* digest);

// MD5 of the size bytes at data as 32 lowercase hex digits.
std::string md5_hex(const void* data, size_t size);
