// Decoding IGMP messages and the IPv4 datagrams that carry them, and
// encoding queries. Every read is bounded by the length checked just before
// it; the rules followed are those of RFC 2236 and RFC 3376 for a router.
#include "groupsock/IgmpMessage.hh"

#include <netinet/in.h>

#include <algorithm>

#include "groupsock/IgmpWire.hh"

namespace {

bool isMulticast(uint32_t address) { return IN_MULTICAST(ntohl(address)); }

// Reads count addresses from data into sources; the caller has checked
// that they lie within the message.
void readAddresses(uint8_t const* data, size_t count, std::vector<uint32_t>& sources) {
  sources.resize(count);
  for (size_t i = 0; i < count; ++i) sources[i] = loadWireAddress(data + 4 * i);
}

// A query: 8 bytes are version 1 (max response time 0) or 2, 12 and more
// version 3; RFC 3376 7.1 has lengths in between ignored.
IgmpParseStatus parseQuery(uint8_t const* data, size_t length, IgmpMessage& message) {
  message.group = loadWireAddress(data + IGMP_GROUP);
  if (message.group != 0 && !isMulticast(message.group)) return IgmpParseStatus::NOT_MULTICAST;
  if (length == IGMP_MIN_SIZE) {
    message.maxResponseTenths = data[IGMP_CODE];
    message.version = message.maxResponseTenths == 0 ? 1 : 2;
    return IgmpParseStatus::OK;
  }
  if (length < IGMP_V3_QUERY_MIN_SIZE) return IgmpParseStatus::BAD_QUERY_LENGTH;

  message.version = 3;
  message.maxResponseTenths = decodeIgmpCode(data[IGMP_CODE]);
  uint8_t const flags = data[IGMP_V3_QUERY_FLAGS];
  message.suppressRouterProcessing = (flags & IGMP_V3_QUERY_S_FLAG) != 0;
  message.robustness = flags & IGMP_V3_QUERY_QRV_MASK;
  message.queryIntervalSeconds = decodeIgmpCode(data[IGMP_V3_QUERY_QQIC]);
  size_t const numSources = loadWireU16(data + IGMP_V3_QUERY_NUM_SOURCES);
  if (numSources > (length - IGMP_V3_QUERY_SOURCES) / 4) return IgmpParseStatus::SOURCES_PAST_END;
  readAddresses(data + IGMP_V3_QUERY_SOURCES, numSources, message.sources);
  return IgmpParseStatus::OK;
}

// A version 3 report: M group records, each with its sources and aux data,
// all of which must lie within the message.
IgmpParseStatus parseV3Report(uint8_t const* data, size_t length, IgmpMessage& message) {
  message.version = 3;
  size_t const numRecords = loadWireU16(data + IGMP_V3_REPORT_NUM_RECORDS);
  // Every record takes at least 8 bytes: a count that cannot fit is refused
  // before anything is reserved for it.
  if (numRecords > (length - IGMP_V3_REPORT_RECORDS) / IGMP_RECORD_MIN_SIZE)
    return IgmpParseStatus::RECORDS_PAST_END;
  message.records.resize(numRecords);
  size_t offset = IGMP_V3_REPORT_RECORDS;
  for (IgmpGroupRecord& record : message.records) {
    if (length - offset < IGMP_RECORD_MIN_SIZE) return IgmpParseStatus::RECORDS_PAST_END;
    uint8_t const* r = data + offset;
    record.type = r[IGMP_RECORD_TYPE];
    record.group = loadWireAddress(r + IGMP_RECORD_GROUP);
    size_t const numSources = loadWireU16(r + IGMP_RECORD_NUM_SOURCES);
    size_t const auxBytes = 4 * static_cast<size_t>(r[IGMP_RECORD_AUX_WORDS]);
    size_t const room = length - offset - IGMP_RECORD_SOURCES;
    if (numSources > room / 4) return IgmpParseStatus::SOURCES_PAST_END;
    if (auxBytes > room - 4 * numSources) return IgmpParseStatus::RECORDS_PAST_END;
    if (!isMulticast(record.group)) return IgmpParseStatus::NOT_MULTICAST;
    readAddresses(r + IGMP_RECORD_SOURCES, numSources, record.sources);
    offset += IGMP_RECORD_SOURCES + 4 * numSources + auxBytes;
  }
  return IgmpParseStatus::OK;
}

}  // namespace

char const* igmpParseStatusText(IgmpParseStatus status) {
  switch (status) {
    case IgmpParseStatus::OK:
      return "ok";
    case IgmpParseStatus::SHORT:
      return "too short";
    case IgmpParseStatus::BAD_CHECKSUM:
      return "bad checksum";
    case IgmpParseStatus::BAD_QUERY_LENGTH:
      return "query of 9 to 11 bytes";
    case IgmpParseStatus::SOURCES_PAST_END:
      return "source list runs past the end";
    case IgmpParseStatus::RECORDS_PAST_END:
      return "group records run past the end";
    case IgmpParseStatus::NOT_MULTICAST:
      return "group is not a multicast address";
    case IgmpParseStatus::UNKNOWN_TYPE:
      return "not an IGMP message type";
    case IgmpParseStatus::NOT_IPV4:
      return "not IPv4";
    case IgmpParseStatus::BAD_IP_HEADER:
      return "bad IP header length";
    case IgmpParseStatus::BAD_IP_CHECKSUM:
      return "bad IP header checksum";
    case IgmpParseStatus::FRAGMENT:
      return "IP fragment";
    case IgmpParseStatus::NOT_IGMP:
      return "not IGMP";
  }
  return "unknown";
}

IgmpParseStatus parseIgmpMessage(uint8_t const* data, size_t length, IgmpMessage& message) {
  message = IgmpMessage();
  if (length < IGMP_MIN_SIZE) return IgmpParseStatus::SHORT;
  if (internetChecksum(data, length) != 0) return IgmpParseStatus::BAD_CHECKSUM;
  message.type = data[IGMP_TYPE];
  switch (message.type) {
    case IGMP_MEMBERSHIP_QUERY:
      return parseQuery(data, length, message);
    case IGMP_V1_MEMBERSHIP_REPORT:
    case IGMP_V2_MEMBERSHIP_REPORT:
    case IGMP_V2_LEAVE_GROUP:
      message.version = message.type == IGMP_V1_MEMBERSHIP_REPORT ? 1 : 2;
      message.group = loadWireAddress(data + IGMP_GROUP);
      return isMulticast(message.group) ? IgmpParseStatus::OK : IgmpParseStatus::NOT_MULTICAST;
    case IGMP_V3_MEMBERSHIP_REPORT:
      return parseV3Report(data, length, message);
    default:
      return IgmpParseStatus::UNKNOWN_TYPE;
  }
}

IgmpParseStatus parseIgmpPacket(uint8_t const* data, size_t length, IgmpPacket& packet) {
  packet = IgmpPacket();
  if (length < IPV4_MIN_HEADER_SIZE) return IgmpParseStatus::BAD_IP_HEADER;
  // Known first, so that whoever traces a refusal can name the sender.
  packet.source = loadWireAddress(data + IPV4_SOURCE);
  packet.destination = loadWireAddress(data + IPV4_DESTINATION);
  packet.ttl = data[IPV4_TTL];
  if (data[IPV4_VERSION_AND_IHL] >> 4 != 4) return IgmpParseStatus::NOT_IPV4;
  size_t const headerSize = 4 * static_cast<size_t>(data[IPV4_VERSION_AND_IHL] & 0x0f);
  size_t const totalLength = loadWireU16(data + IPV4_TOTAL_LENGTH);
  if (headerSize < IPV4_MIN_HEADER_SIZE || totalLength < headerSize || totalLength > length)
    return IgmpParseStatus::BAD_IP_HEADER;
  if (internetChecksum(data, headerSize) != 0) return IgmpParseStatus::BAD_IP_CHECKSUM;
  uint16_t const fragment = loadWireU16(data + IPV4_FLAGS_AND_FRAGMENT);
  if ((fragment & (IPV4_MORE_FRAGMENTS | IPV4_FRAGMENT_OFFSET_MASK)) != 0)
    return IgmpParseStatus::FRAGMENT;
  if (data[IPV4_PROTOCOL] != IPV4_PROTOCOL_IGMP) return IgmpParseStatus::NOT_IGMP;
  return parseIgmpMessage(data + headerSize, totalLength - headerSize, packet.message);
}

size_t igmpQuerySize(IgmpQuery const& query) {
  return query.version == 3 ? IGMP_V3_QUERY_SOURCES + 4 * query.sources.size() : IGMP_MIN_SIZE;
}

size_t buildIgmpQuery(IgmpQuery const& query, uint8_t* buffer, size_t size) {
  size_t const messageSize = igmpQuerySize(query);
  if (messageSize > size || query.sources.size() > 0xffff) return 0;
  std::fill(buffer, buffer + messageSize, 0);
  buffer[IGMP_TYPE] = IGMP_MEMBERSHIP_QUERY;
  storeWireAddress(buffer + IGMP_GROUP, query.group);
  if (query.version == 3) {
    buffer[IGMP_CODE] = encodeIgmpCode(query.maxResponseTenths);
    uint8_t const qrv = query.robustness <= IGMP_V3_QUERY_QRV_MASK ? query.robustness : 0;
    buffer[IGMP_V3_QUERY_FLAGS] = (query.suppressRouterProcessing ? IGMP_V3_QUERY_S_FLAG : 0) | qrv;
    buffer[IGMP_V3_QUERY_QQIC] = encodeIgmpCode(query.queryIntervalSeconds);
    storeWireU16(buffer + IGMP_V3_QUERY_NUM_SOURCES, static_cast<uint16_t>(query.sources.size()));
    for (size_t i = 0; i < query.sources.size(); ++i)
      storeWireAddress(buffer + IGMP_V3_QUERY_SOURCES + 4 * i, query.sources[i]);
  } else {
    buffer[IGMP_CODE] = static_cast<uint8_t>(std::clamp(query.maxResponseTenths, 1u, 255u));
  }
  storeWireU16(buffer + IGMP_CHECKSUM, internetChecksum(buffer, messageSize));
  return messageSize;
}
