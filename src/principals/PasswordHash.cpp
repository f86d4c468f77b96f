// Password hashes on libgcrypt's Whirlpool. The library is initialised once, on first use,
// from whichever thread comes first.
#include "principals/PasswordHash.h"

#include <gcrypt.h>

#include <cstring>

#include "foundation/Assert.h"
#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "platform/Clock.h"

namespace dovrel {

namespace {

constexpr std::size_t DIGEST_SIZE = 64;

// libgcrypt must be told its version and that initialisation is over before the first
// digest. A function-local static makes this happen exactly once, whatever thread asks.
void initialiseGcrypt() {
  static const bool ready = [] {
    // Refusing to run with an older library than the headers is a build fault, not input.
    DOVREL_ASSERT_TEXT(gcry_check_version(GCRYPT_VERSION) != nullptr,
                       "gcry_check_version(GCRYPT_VERSION) != NULL");
    // Digests need no secure memory; without this the library warns on first use.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  static_cast<void>(ready);
}

// An open Whirlpool context, closed on every path.
class DigestHandle {
 public:
  DigestHandle() {
    if (gcry_md_open(&handle_, GCRY_MD_WHIRLPOOL, 0) != 0) {
      throw DiskOrMemoryError("не удалось начать вычисление хэша пароля"_cp866);
    }
  }
  ~DigestHandle() { gcry_md_close(handle_); }
  DigestHandle(const DigestHandle&) = delete;
  DigestHandle& operator=(const DigestHandle&) = delete;

  void write(const void* bytes, std::size_t count) { gcry_md_write(handle_, bytes, count); }
  // Finishes the digest into `out` and starts a fresh one.
  void finishInto(unsigned char* out) {
    std::memcpy(out, gcry_md_read(handle_, GCRY_MD_WHIRLPOOL), DIGEST_SIZE);
    gcry_md_reset(handle_);
  }

 private:
  gcry_md_hd_t handle_ = nullptr;
};

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

}  // namespace

WhirlpoolDigest whirlpool(std::string_view bytes) {
  initialiseGcrypt();
  static_assert(sizeof(WhirlpoolDigest) == DIGEST_SIZE);
  WhirlpoolDigest digest;
  DigestHandle handle;
  handle.write(bytes.data(), bytes.size());
  handle.finishInto(digest.data());
  return digest;
}

std::string hashPassword(std::string_view password, uint32_t rounds, std::string_view salt) {
  initialiseGcrypt();
  WhirlpoolDigest digest;
  DigestHandle handle;
  handle.write(salt.data(), salt.size());
  handle.write(password.data(), password.size());
  handle.finishInto(digest.data());
  for (uint32_t i = 0; i < rounds; ++i) {
    handle.write(digest.data(), digest.size());
    handle.finishInto(digest.data());
  }
  std::string text(2 * DIGEST_SIZE, '0');
  for (std::size_t i = 0; i < DIGEST_SIZE; ++i) {
    text[2 * i] = HEX_DIGITS[digest[i] >> 4];
    text[2 * i + 1] = HEX_DIGITS[digest[i] & 0xF];
  }
  return text;
}

std::string formatSalt(uint32_t counter) {
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i) {
    text[i] = HEX_DIGITS[counter & 0xF];
    counter >>= 4;
  }
  return text;
}

std::string makeSalt() { return formatSalt(platform::performanceCounterLow32()); }

bool hashesEqual(std::string_view computed, std::string_view stored) {
  // Every byte of `computed` is looked at, whatever the outcome; a stored text of another
  // length differs anyway (its length is no secret: every hash the server writes has 128).
  unsigned difference = computed.size() == stored.size() ? 0 : 1;
  for (std::size_t i = 0; i < computed.size(); ++i) {
    unsigned char other = i < stored.size() ? static_cast<unsigned char>(stored[i]) : 0;
    difference |= static_cast<unsigned char>(computed[i]) ^ other;
  }
  return difference == 0;
}

}  // namespace dovrel
