// The arithmetic of the IGMP wire format: the Internet checksum and the
// floating-point codes of version 3.
#include "groupsock/IgmpWire.hh"

// Sums 16-bit big-endian words into 32 bits and folds the carries back in;
// the sum of a 64 KiB message cannot overflow 32 bits before folding.
uint16_t internetChecksum(uint8_t const* data, size_t length) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (i < length) sum += static_cast<uint32_t>(data[i] << 8);
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

unsigned decodeIgmpCode(uint8_t code) {
  if (code < 0x80) return code;
  unsigned const exponent = (code >> 4) & 0x07;
  unsigned const mantissa = code & 0x0f;
  return (mantissa | 0x10) << (exponent + 3);
}

// A value of 128 or more lies in [2^(e+7), 2^(e+8)) for the exponent e it
// is written with; the mantissa is then the four bits below the leading one,
// which truncates towards the value below.
uint8_t encodeIgmpCode(unsigned value) {
  if (value < 0x80) return static_cast<uint8_t>(value);
  if (value >= IGMP_MAX_CODE_VALUE) return 0xff;
  unsigned bits = 0;
  for (unsigned v = value; v != 0; v >>= 1) ++bits;
  unsigned const exponent = bits - 8;
  unsigned const mantissa = (value >> (exponent + 3)) & 0x0f;
  return static_cast<uint8_t>(0x80 | exponent << 4 | mantissa);
}
