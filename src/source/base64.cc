#include "source/base64.h"

#include <array>

#include "model/errors.h"

namespace quillavor {

namespace {

constexpr int8_t kNotInAlphabet = -1;

// Value 0..63 of each alphabet character, kNotInAlphabet for every other byte.
constexpr std::array<int8_t, 256> MakeValues() {
  std::array<int8_t, 256> values{};
  values.fill(kNotInAlphabet);
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return values;
}

constexpr std::array<int8_t, 256> kValues = MakeValues();

int64_t LengthForCharacters(int64_t n) {
  const int64_t rest = n % 4;
  return n / 4 * 3 + (rest == 2 ? 1 : 0) + (rest == 3 ? 2 : 0);
}

}  // namespace

int64_t Base64DecodedLength(std::string_view text) {
  int64_t n = 0;
  for (char c : text) n += kValues[static_cast<uint8_t>(c)] != kNotInAlphabet ? 1 : 0;
  return LengthForCharacters(n);
}

int64_t Base64Decode(std::string_view text, std::span<uint8_t> out) {
  const int64_t needed = Base64DecodedLength(text);
  if (static_cast<int64_t>(out.size()) < needed) {
    throw SourceError("Base64 output buffer of " + std::to_string(out.size()) +
                      " bytes is too small for " + std::to_string(needed) + " bytes");
  }
  size_t written = 0;
  uint32_t group = 0;  // the values collected so far, 6 bits each
  int count = 0;       // characters in `group`
  for (char c : text) {
    const int8_t value = kValues[static_cast<uint8_t>(c)];
    if (value == kNotInAlphabet) continue;
    group = (group << 6) | static_cast<uint32_t>(value);
    if (++count == 4) {
      out[written++] = static_cast<uint8_t>(group >> 16);
      out[written++] = static_cast<uint8_t>(group >> 8);
      out[written++] = static_cast<uint8_t>(group);
      group = 0;
      count = 0;
    }
  }
  // A partial group: 2 characters carry 12 bits (one byte), 3 carry 18 (two).
  if (count == 2) {
    out[written++] = static_cast<uint8_t>(group >> 4);
  } else if (count == 3) {
    out[written++] = static_cast<uint8_t>(group >> 10);
    out[written++] = static_cast<uint8_t>(group >> 2);
  }
  return static_cast<int64_t>(written);
}

}  // namespace quillavor
