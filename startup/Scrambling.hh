// The scrambling of built-in scripts: a running-offset substitution over the
// 95 printable characters. Shared by the build-time scrambler and the store,
// which must agree on every constant.
#ifndef VELDRA_STARTUP_SCRAMBLING_HH
#define VELDRA_STARTUP_SCRAMBLING_HH

namespace scrambling {

constexpr long START = -7;             // offset of a script's first character
constexpr long CHAR_STEP = 3;          // the offset falls by this after every character
constexpr long LINE_STEP = 5;          // and, in the store, by this at every line end
constexpr long DESCRAMBLE_BASE = -11;  // where the descramble command's offset starts

constexpr int FIRST_PRINTABLE = 32;
constexpr int LAST_PRINTABLE = 126;
constexpr int PRINTABLE_COUNT = 95;

// ((s + k) mod 95) + 32, the remainder taken in 0..94.
inline char descrambleChar(signed char stored, long offset) {
  long r = (stored + offset) % PRINTABLE_COUNT;
  if (r < 0) r += PRINTABLE_COUNT;
  return static_cast<char>(r + FIRST_PRINTABLE);
}

// The printable byte that descrambleChar turns back into c at this offset.
inline char scrambleChar(char c, long offset) {
  long r = (c - 2 * FIRST_PRINTABLE - offset) % PRINTABLE_COUNT;
  if (r < 0) r += PRINTABLE_COUNT;
  return static_cast<char>(r + FIRST_PRINTABLE);
}

// The offset of a line's first character in the store: the line start value
// falls by LINE_STEP per line, and the per-character fall continues across lines.
inline long lineOffset(unsigned lineIndex, unsigned charsBefore) {
  return START - LINE_STEP * static_cast<long>(lineIndex) -
         CHAR_STEP * static_cast<long>(charsBefore);
}

}  // namespace scrambling

#endif
