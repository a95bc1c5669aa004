// libFuzzer harness for the trailer decoder alone: bytes in, no sockets, no
// namespace, so it runs far faster than the receive-path harness. Each
// input is one datagram as a tunnel socket would read it.
//
// Checked for every input: the decoder reads nothing outside the datagram
// (AddressSanitizer), agrees with the size rules (at least 12 bytes, 16
// for the source-specific form, found from the last byte), and what it
// decodes, written again with the encoder every sender uses, gives back
// the very same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tunnel/TunnelEncapsulation.hh"

namespace {

[[noreturn]] void fail(char const* what, size_t size) {
  std::fprintf(stderr, "TrailerDecoderFuzzer: %s (%zu bytes)\n", what, size);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size > MAX_TUNNEL_DATAGRAM_SIZE) return 0;
  // A copy of exactly the datagram's size, so that any read past its end is caught.
  std::vector<unsigned char> datagram(data, data + size);
  unsigned const length = static_cast<unsigned>(size);

  DecodedTrailer t;
  unsigned minimum = 0;
  bool const decoded = decodeTunnelTrailer(datagram.data(), length, t, minimum);
  bool const ssm = length > 0 && (datagram[length - 1] & SSM_BIT) != 0;
  unsigned const needed = length >= TRAILER_SIZE && ssm ? SSM_TRAILER_SIZE : TRAILER_SIZE;
  if (minimum != needed) fail("wrong minimum size", size);
  if (decoded != (length >= needed)) fail("accepts or refuses against the size rules", size);
  if (!decoded) return 0;

  if (t.ssm != ssm || t.payloadSize != length - needed ||
      t.trailerOffset != length - TRAILER_SIZE || (!ssm && t.sourceFilter != 0xFFFFFFFFu)) {
    fail("inconsistent layout", size);
  }

  // Encoded again, the fields give back the received bytes.
  std::vector<unsigned char> again(datagram.begin(), datagram.begin() + t.payloadSize);
  again.resize(length);
  unsigned const written = writeTunnelTrailer(again.data() + t.payloadSize, t.command, t.address,
                                              t.port, t.ttl, t.sourceFilter);
  if (written != needed) fail("encoder length differs", size);
  auto* basic = reinterpret_cast<TunnelEncapsulationTrailer*>(again.data() + t.trailerOffset);
  setTrailerCookies(*basic, t.srcCookie, t.dstCookie);
  if (std::memcmp(again.data(), datagram.data(), length) != 0) fail("round trip differs", size);
  return 0;
}
