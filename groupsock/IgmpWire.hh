// The IGMP wire format (IP protocol 2; versions 1, 2 and 3) and the few
// fields of the IPv4 header around it. Offsets are from the start of the IP
// header or of the IGMP message; multi-byte fields are in network byte
// order and stand at any alignment, so they are copied out with memcpy.
//
//   v1/v2 message, v2/v1 query (8 bytes):
//     type 1 | max response time 1 | checksum 2 | group 4
//   v3 query (12 + 4·N bytes):
//     type 0x11 | max response code 1 | checksum 2 | group 4 |
//     Resv 4 bits, S 1 bit, QRV 3 bits | QQIC 1 | N 2 | N sources
//   v3 report (8 bytes, then M group records):
//     type 0x22 | reserved 1 | checksum 2 | reserved 2 | M 2
//   v3 group record (8 + 4·N + 4·aux bytes):
//     record type 1 | aux data length in words 1 | N 2 | group 4 |
//     N sources | aux data
//
// The checksum of every message is the Internet checksum of the whole
// message, the IP payload as far as the IP header's total length reaches.
#ifndef VELDRA_GROUPSOCK_IGMPWIRE_HH
#define VELDRA_GROUPSOCK_IGMPWIRE_HH

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// --- The IPv4 header ---------------------------------------------------------

constexpr size_t IPV4_MIN_HEADER_SIZE = 20;
constexpr size_t IPV4_VERSION_AND_IHL = 0;  // version 4 bits, header length in words 4 bits
constexpr size_t IPV4_TOTAL_LENGTH = 2;
constexpr size_t IPV4_FLAGS_AND_FRAGMENT = 6;
constexpr size_t IPV4_TTL = 8;
constexpr size_t IPV4_PROTOCOL = 9;
constexpr size_t IPV4_SOURCE = 12;
constexpr size_t IPV4_DESTINATION = 16;
constexpr uint16_t IPV4_MORE_FRAGMENTS = 0x2000;
constexpr uint16_t IPV4_FRAGMENT_OFFSET_MASK = 0x1fff;
constexpr uint8_t IPV4_PROTOCOL_IGMP = 2;

// The IP Router Alert option that every IGMP message from version 2 on
// carries; it makes the IP header 24 bytes long.
constexpr uint8_t IPV4_ROUTER_ALERT_OPTION[4] = {0x94, 0x04, 0x00, 0x00};

// --- IGMP messages -------------------------------------------------------------

enum IgmpType : uint8_t {
  IGMP_MEMBERSHIP_QUERY = 0x11,
  IGMP_V1_MEMBERSHIP_REPORT = 0x12,
  IGMP_V2_MEMBERSHIP_REPORT = 0x16,
  IGMP_V2_LEAVE_GROUP = 0x17,
  IGMP_V3_MEMBERSHIP_REPORT = 0x22,
};

// Common to every message.
constexpr size_t IGMP_TYPE = 0;
constexpr size_t IGMP_CODE = 1;  // max response time (v2), code (v3 query); 0 in v1
constexpr size_t IGMP_CHECKSUM = 2;
constexpr size_t IGMP_GROUP = 4;  // not in a v3 report
constexpr size_t IGMP_MIN_SIZE = 8;

// The v3 query behind the common part.
constexpr size_t IGMP_V3_QUERY_FLAGS = 8;  // Resv | S | QRV
constexpr size_t IGMP_V3_QUERY_QQIC = 9;
constexpr size_t IGMP_V3_QUERY_NUM_SOURCES = 10;
constexpr size_t IGMP_V3_QUERY_SOURCES = 12;
constexpr size_t IGMP_V3_QUERY_MIN_SIZE = 12;
constexpr uint8_t IGMP_V3_QUERY_S_FLAG = 0x08;
constexpr uint8_t IGMP_V3_QUERY_QRV_MASK = 0x07;

// The v3 report and its group records.
constexpr size_t IGMP_V3_REPORT_NUM_RECORDS = 6;
constexpr size_t IGMP_V3_REPORT_RECORDS = 8;
constexpr size_t IGMP_RECORD_TYPE = 0;
constexpr size_t IGMP_RECORD_AUX_WORDS = 1;
constexpr size_t IGMP_RECORD_NUM_SOURCES = 2;
constexpr size_t IGMP_RECORD_GROUP = 4;
constexpr size_t IGMP_RECORD_SOURCES = 8;
constexpr size_t IGMP_RECORD_MIN_SIZE = 8;

enum IgmpRecordType : uint8_t {
  IGMP_MODE_IS_INCLUDE = 1,
  IGMP_MODE_IS_EXCLUDE = 2,
  IGMP_CHANGE_TO_INCLUDE_MODE = 3,
  IGMP_CHANGE_TO_EXCLUDE_MODE = 4,
  IGMP_ALLOW_NEW_SOURCES = 5,
  IGMP_BLOCK_OLD_SOURCES = 6,
};

// Where queries go.
constexpr uint32_t IGMP_ALL_SYSTEMS_GROUP = 0xe0000001;  // 224.0.0.1, host order

// The largest value a v3 code (max response code, QQIC) can express:
// (0x0f | 0x10) << (7 + 3).
constexpr unsigned IGMP_MAX_CODE_VALUE = 31744;

// --- Field access ----------------------------------------------------------------

// A 16-bit field, in host order.
inline uint16_t loadWireU16(uint8_t const* field) {
  uint16_t value;
  std::memcpy(&value, field, sizeof value);
  return ntohs(value);
}
inline void storeWireU16(uint8_t* field, uint16_t hostValue) {
  uint16_t const value = htons(hostValue);
  std::memcpy(field, &value, sizeof value);
}
// An IPv4 address, kept in network order as the rest of the system keeps them.
inline uint32_t loadWireAddress(uint8_t const* field) {
  uint32_t address;
  std::memcpy(&address, field, sizeof address);
  return address;
}
inline void storeWireAddress(uint8_t* field, uint32_t address) {
  std::memcpy(field, &address, sizeof address);
}

// The Internet checksum (RFC 1071) of length bytes: the ones' complement of
// the ones' complement sum of the 16-bit words, an odd last byte padded with
// zero. Over a message that holds its own correct checksum it gives 0. The
// result is in host order, ready for storeWireU16.
uint16_t internetChecksum(uint8_t const* data, size_t length);

// The value of a v3 max response code or QQIC: codes below 128 are the value
// itself, from 128 on (mant | 0x10) << (exp + 3).
unsigned decodeIgmpCode(uint8_t code);
// The code of the largest value not above value (up to IGMP_MAX_CODE_VALUE),
// so that a host never waits longer than it was told to.
uint8_t encodeIgmpCode(unsigned value);

#endif
