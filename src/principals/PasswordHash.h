// Password hashes: the Whirlpool digest, the salted and iterated password hash, salts and
// the constant-time comparison of hashes. Shared by the server and the security conversion
// tool. Every function is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel {

using WhirlpoolDigest = std::array<unsigned char, 64>;

// Whirlpool (512-bit) of the bytes.
WhirlpoolDigest whirlpool(std::string_view bytes);

// The password hash: Whirlpool of the salt text's bytes followed by the password's bytes,
// then `rounds` times Whirlpool of the previous 64 raw bytes, rendered as 128 upper-case
// hexadecimal digits. The password is taken exactly as given (no terminator, no folding).
// Throws DiskOrMemoryError when the digest cannot be set up.
std::string hashPassword(std::string_view password, uint32_t rounds, std::string_view salt);

// A new salt: the low 32 bits of the performance counter as 8 upper-case hex digits.
std::string makeSalt();
// The salt text of a counter value: 8 upper-case hex digits, most significant first.
std::string formatSalt(uint32_t counter);

// Exact comparison of two hash texts whose running time does not depend on where they
// differ, so a caller cannot learn a stored hash byte by byte from response times.
bool hashesEqual(std::string_view computed, std::string_view stored);

}  // namespace dovrel
