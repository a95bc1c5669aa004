// libFuzzer harness for the IGMP decoder: each input is one datagram as the
// listener reads it from the wire, or one bare IGMP message.
//
//   input:  selector byte | bytes
//   selector bit 0  the bytes are a bare IGMP message, not an IP datagram
//            bit 1  put the right IP header checksum in first
//            bit 2  put the right IGMP checksum in first
//
// The checksums are mended on request so that the fuzzer gets past them to
// the record walk. A query that decodes is encoded again and must decode to
// the same fields. Pure code: no sockets, no namespace needed.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "groupsock/IgmpMessage.hh"
#include "groupsock/IgmpWire.hh"

namespace {

constexpr uint8_t BARE = 0x01;
constexpr uint8_t FIX_IP_CHECKSUM = 0x02;
constexpr uint8_t FIX_IGMP_CHECKSUM = 0x04;
constexpr size_t IPV4_CHECKSUM = 10;

// Writes the checksum of the length bytes at data into its field at offset.
void mendChecksum(uint8_t* data, size_t length, size_t offset) {
  if (length < offset + 2) return;
  storeWireU16(data + offset, 0);
  storeWireU16(data + offset, internetChecksum(data, length));
}

// The IGMP message inside an IP datagram, as far as the header tells.
void mendDatagram(std::vector<uint8_t>& bytes, uint8_t selector) {
  if (bytes.size() < IPV4_MIN_HEADER_SIZE) return;
  size_t const headerSize = 4 * static_cast<size_t>(bytes[IPV4_VERSION_AND_IHL] & 0x0f);
  size_t const totalLength = loadWireU16(bytes.data() + IPV4_TOTAL_LENGTH);
  if ((selector & FIX_IGMP_CHECKSUM) && headerSize <= totalLength && totalLength <= bytes.size())
    mendChecksum(bytes.data() + headerSize, totalLength - headerSize, IGMP_CHECKSUM);
  if ((selector & FIX_IP_CHECKSUM) && headerSize <= bytes.size())
    mendChecksum(bytes.data(), headerSize, IPV4_CHECKSUM);
}

// A decoded v2 or v3 query, encoded and decoded again, says the same.
void checkQueryRoundTrip(IgmpMessage const& message) {
  if (message.type != IGMP_MEMBERSHIP_QUERY || message.version == 1) return;
  IgmpQuery query;
  query.version = message.version;
  query.group = message.group;
  query.maxResponseTenths = message.maxResponseTenths;
  query.sources = message.sources;
  query.robustness = message.robustness;
  query.queryIntervalSeconds = message.queryIntervalSeconds;
  query.suppressRouterProcessing = message.suppressRouterProcessing;
  std::vector<uint8_t> encoded(igmpQuerySize(query));
  if (buildIgmpQuery(query, encoded.data(), encoded.size()) != encoded.size()) std::abort();
  IgmpMessage again;
  if (parseIgmpMessage(encoded.data(), encoded.size(), again) != IgmpParseStatus::OK) std::abort();
  if (again.version != message.version || again.group != message.group ||
      again.maxResponseTenths != message.maxResponseTenths || again.sources != message.sources ||
      again.robustness != message.robustness ||
      again.queryIntervalSeconds != message.queryIntervalSeconds ||
      again.suppressRouterProcessing != message.suppressRouterProcessing)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size < 1) return 0;
  uint8_t const selector = data[0];
  // Exactly the input's size, so that a read past its end is caught.
  std::vector<uint8_t> bytes(data + 1, data + size);
  IgmpParseStatus status;
  IgmpPacket packet;
  if (selector & BARE) {
    if (selector & FIX_IGMP_CHECKSUM) mendChecksum(bytes.data(), bytes.size(), IGMP_CHECKSUM);
    status = parseIgmpMessage(bytes.data(), bytes.size(), packet.message);
  } else {
    mendDatagram(bytes, selector);
    status = parseIgmpPacket(bytes.data(), bytes.size(), packet);
  }
  if (igmpParseStatusText(status) == nullptr) std::abort();
  if (status == IgmpParseStatus::OK) checkQueryRoundTrip(packet.message);
  return 0;
}
