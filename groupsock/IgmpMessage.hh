// IGMP messages decoded from bytes, and queries encoded into bytes. Pure
// functions: no sockets, no environment, nothing read past the given length.
// Addresses are in network order, as everywhere in the system.
#ifndef VELDRA_GROUPSOCK_IGMPMESSAGE_HH
#define VELDRA_GROUPSOCK_IGMPMESSAGE_HH

#include <cstddef>
#include <cstdint>
#include <vector>

// One group record of a version 3 report. Records of types other than the
// six known ones are kept as read; the receiver decides to skip them.
struct IgmpGroupRecord {
  uint8_t type = 0;  // IgmpRecordType
  uint32_t group = 0;
  std::vector<uint32_t> sources;
};

// A decoded IGMP message. Which fields mean something depends on the type:
// queries fill group (0 for a general query), maxResponseTenths and, in
// version 3, the sources, suppressRouterProcessing, robustness and
// queryIntervalSeconds; v1/v2 reports and v2 leaves fill group; v3 reports
// fill records.
struct IgmpMessage {
  uint8_t type = 0;      // IgmpType
  unsigned version = 0;  // 1, 2 or 3
  uint32_t group = 0;
  unsigned maxResponseTenths = 0;  // in tenths of a second; 0 in a v1 query
  bool suppressRouterProcessing = false;
  unsigned robustness = 0;            // QRV, 0 when the querier left it out
  unsigned queryIntervalSeconds = 0;  // QQI
  std::vector<uint32_t> sources;
  std::vector<IgmpGroupRecord> records;
};

// An IGMP message with the IP header fields that matter to a router.
struct IgmpPacket {
  uint32_t source = 0;  // the reporter or querier
  uint32_t destination = 0;
  uint8_t ttl = 0;
  IgmpMessage message;
};

// Why bytes did not decode. Everything but IGMP_UNKNOWN_TYPE is malformed;
// an unknown type is another protocol's message (DVMRP, mtrace, ...) that
// an IGMP router ignores.
enum class IgmpParseStatus {
  OK,
  SHORT,             // shorter than the smallest message of its kind
  BAD_CHECKSUM,      // the IGMP checksum does not add up
  BAD_QUERY_LENGTH,  // a query of 9 to 11 bytes, neither v1/v2 nor v3
  SOURCES_PAST_END,  // a source list runs past the end of the message
  RECORDS_PAST_END,  // the group records run past the end (bad record count)
  NOT_MULTICAST,     // a report, leave or group query for a non-multicast address
  UNKNOWN_TYPE,      // not one of the five IGMP message types
  NOT_IPV4,          // IP version other than 4
  BAD_IP_HEADER,     // header or total length inconsistent with the datagram
  BAD_IP_CHECKSUM,   // the IP header checksum does not add up
  FRAGMENT,          // a fragment: IGMP messages are never fragmented
  NOT_IGMP,          // IP protocol other than 2
};

// A short lower-case text for status, e.g. "bad checksum".
char const* igmpParseStatusText(IgmpParseStatus status);

// Decodes the IGMP message of length bytes at data. On OK message holds it;
// otherwise message is unspecified. Bytes behind the last field of a query
// or report count for the checksum and are otherwise ignored.
IgmpParseStatus parseIgmpMessage(uint8_t const* data, size_t length, IgmpMessage& message);

// Decodes an IPv4 datagram carrying IGMP: checks the header (with any
// options) and its checksum, takes the payload as far as the total length
// says (link-layer padding behind it is not part of the message) and
// decodes that. The IP source, destination and TTL are filled whenever the
// datagram holds a whole minimal header, also when it is refused.
IgmpParseStatus parseIgmpPacket(uint8_t const* data, size_t length, IgmpPacket& packet);

// A query to send: general when group is 0, group-specific otherwise,
// group-and-source-specific with sources (version 3 only).
struct IgmpQuery {
  unsigned version = 2;  // 2 or 3
  uint32_t group = 0;
  unsigned maxResponseTenths = 100;
  std::vector<uint32_t> sources;
  unsigned robustness = 2;  // QRV; above 7 it is sent as 0, as the protocol wants
  unsigned queryIntervalSeconds = 125;
  bool suppressRouterProcessing = false;
};

// The size of query as a message: 8 bytes in version 2, 12 + 4 per source
// in version 3.
size_t igmpQuerySize(IgmpQuery const& query);

// Writes query as an IGMP message with its checksum into buffer and returns
// its size, or 0 when it does not fit into size bytes. A version 2 query
// has no sources (they are not written) and a max response time of 1 to 255
// tenths (clamped); version 3 values above what a code can hold are sent as
// the largest one.
size_t buildIgmpQuery(IgmpQuery const& query, uint8_t* buffer, size_t size);

#endif
