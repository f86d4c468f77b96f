// Fuzz target: the scanner over arbitrary bytes. Every input is tokenised twice: once with
// next() alone, checking what each token may hold, and once through the expect functions
// that the grammars use, one of them deliberately mismatched so that the refusal texts are
// built too. Only the scanner's positioned TextError may leave it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Cp866.h"
#include "foundation/Errors.h"
#include "foundation/Scanner.h"
#include "foundation/TextView.h"
#include "fuzz/FuzzSupport.h"

using namespace dovrel;

namespace {

void checkToken(const Scanner& scanner, const char* begin, const char* end) {
  if (scanner.line() == 0) fuzz::fail("line 0");
  switch (scanner.kind()) {
    case TOKEN_STRING: {
      const TextView s = scanner.string();
      if (s.length() > 0 && (s.pointer() < begin || s.pointer() + s.length() > end)) {
        fuzz::fail("string token outside the text");
      }
      break;
    }
    case TOKEN_NAME:
      if (scanner.name().empty() || scanner.name().size() > 31) fuzz::fail("bad name length");
      for (char c : scanner.name()) {
        if (c >= 'A' && c <= 'Z') fuzz::fail("name not folded");
      }
      break;
    case TOKEN_NONE:
      fuzz::fail("TOKEN_NONE after next()");
    default:
      break;
  }
  (void)Scanner::description(scanner.kind());
  (void)scanner.currentDescription(true);
}

// Each token read with plain next(). A text of n bytes has at most n + 1 tokens.
void scanPlain(TextView text, bool loginLines) {
  Scanner scanner(text);
  try {
    if (loginLines) {
      scanner.readLine();
      scanner.readLine();
    }
    for (uint64_t i = 0; i <= text.length() + 1; ++i) {
      scanner.next();
      checkToken(scanner, text.pointer(), text.pointer() + text.length());
      if (scanner.kind() == TOKEN_END) {
        scanner.next();  // stays at the end
        if (scanner.kind() != TOKEN_END) fuzz::fail("token after the end");
        return;
      }
    }
    fuzz::fail("more tokens than bytes");
  } catch (const TextError&) {
  }
}

// The same tokens through expect, expectName, expectNumber, expectString and
// expectKeyword; the token at `mismatchAt` is asked for as the wrong kind.
void scanExpecting(TextView text, uint32_t mismatchAt) {
  Scanner scanner(text);
  try {
    scanner.next();
    for (uint32_t i = 0; scanner.kind() != TOKEN_END; ++i) {
      if (i == mismatchAt) {
        if (scanner.kind() == TOKEN_NUMBER) {
          scanner.expectString();
        } else {
          scanner.expectNumber();
        }
        fuzz::fail("mismatched expect accepted");
      }
      switch (scanner.kind()) {
        case TOKEN_NAME:
          if (i % 2 == 0) {
            scanner.expectName("поля"_cp866);
          } else {
            scanner.expectKeyword(std::string(scanner.name()));
          }
          break;
        case TOKEN_NUMBER:
          scanner.expectNumber();
          break;
        case TOKEN_STRING:
          scanner.expectString();
          break;
        default:
          scanner.expect(scanner.kind());
          break;
      }
    }
    scanner.expectKeyword("table");
    fuzz::fail("expectKeyword accepted the end of the text");
  } catch (const TextError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX / 2) return 0;
  const TextView text(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
  scanPlain(text, false);
  // Queries begin with two raw lines read before any token.
  if (size >= 6 && std::string_view(text.pointer(), 6) == "User: ") scanPlain(text, true);
  scanExpecting(text, static_cast<uint32_t>(size % 5));
  return 0;
}
