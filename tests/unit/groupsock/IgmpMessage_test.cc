// The IGMP decoder and query encoder, on messages laid out as they appear
// on the wire (checksums as a host computes them) and on malformed ones.
// Every input is copied into a buffer of exactly its size, so a read past
// the end is caught by AddressSanitizer.
#include "groupsock/IgmpMessage.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "groupsock/IgmpWire.hh"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t addr(char const* dotted) { return inet_addr(dotted); }

Bytes const V1_QUERY = {0x11, 0x00, 0xee, 0xff, 0x00, 0x00, 0x00, 0x00};
Bytes const V2_GENERAL_QUERY = {0x11, 0x64, 0xee, 0x9b, 0x00, 0x00, 0x00, 0x00};
Bytes const V2_GROUP_QUERY = {0x11, 0x0a, 0xfd, 0xf0, 0xef, 0x01, 0x02, 0x03};
Bytes const V1_REPORT = {0x12, 0x00, 0xfc, 0xfa, 0xef, 0x01, 0x02, 0x03};
Bytes const V2_REPORT = {0x16, 0x00, 0xf8, 0xfa, 0xef, 0x01, 0x02, 0x03};
Bytes const V2_LEAVE = {0x17, 0x00, 0xf7, 0xfa, 0xef, 0x01, 0x02, 0x03};
// Group 232.1.1.1, sources 10.0.0.1 and 10.0.0.2, max response code 0x8c
// (22.4 s), QRV 2, QQIC 125.
Bytes const V3_QUERY = {0x11, 0x8c, 0xee, 0xee, 0xe8, 0x01, 0x01, 0x01, 0x02, 0x7d,
                        0x00, 0x02, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02};
// One record of each type; the fourth carries one word of aux data.
Bytes const V3_REPORT = {
    0x22, 0x00, 0xb3, 0x70, 0x00, 0x00, 0x00, 0x06,                          //
    0x01, 0x00, 0x00, 0x01, 0xe8, 0x01, 0x01, 0x01, 0x0a, 0x00, 0x00, 0x01,  // IS_IN
    0x02, 0x00, 0x00, 0x00, 0xef, 0x01, 0x02, 0x03,                          // IS_EX
    0x03, 0x00, 0x00, 0x00, 0xef, 0x01, 0x02, 0x04,                          // TO_IN
    0x04, 0x01, 0x00, 0x01, 0xef, 0x01, 0x02, 0x05, 0x0a, 0x00, 0x00, 0x09,  // TO_EX
    0xaa, 0xaa, 0xaa, 0xaa,                                                  //   aux
    0x05, 0x00, 0x00, 0x02, 0xe8, 0x01, 0x01, 0x02, 0x0a, 0x00, 0x00, 0x01,  // ALLOW
    0x0a, 0x00, 0x00, 0x02,                                                  //
    0x06, 0x00, 0x00, 0x01, 0xe8, 0x01, 0x01, 0x03, 0x0a, 0x00, 0x00, 0x03,  // BLOCK
};
// A v2 report of 239.1.2.3 from 10.201.2.2 in its IP datagram: TTL 1,
// Router Alert option, and two bytes of link-layer padding behind it.
Bytes const V2_REPORT_DATAGRAM = {
    0x46, 0xc0, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0xe6, 0x48,  // IP header
    0x0a, 0xc9, 0x02, 0x02, 0xef, 0x01, 0x02, 0x03,                          //   addresses
    0x94, 0x04, 0x00, 0x00,                                                  //   Router Alert
    0x16, 0x00, 0xf8, 0xfa, 0xef, 0x01, 0x02, 0x03,                          // IGMP
    0x00, 0x00,                                                              // padding
};

IgmpParseStatus parse(Bytes const& bytes, IgmpMessage& message) {
  Bytes exact(bytes);
  return parseIgmpMessage(exact.data(), exact.size(), message);
}

IgmpParseStatus parse(Bytes const& bytes) {
  IgmpMessage message;
  return parse(bytes, message);
}

// The bytes with the IGMP checksum at offset recomputed, for malformed
// messages that must get past the checksum test.
Bytes withChecksum(Bytes bytes, size_t offset = 0) {
  storeWireU16(bytes.data() + offset + IGMP_CHECKSUM, 0);
  storeWireU16(bytes.data() + offset + IGMP_CHECKSUM,
               internetChecksum(bytes.data() + offset, bytes.size() - offset));
  return bytes;
}

TEST(IgmpMessage, QueriesReportsAndLeavesOfVersions1And2) {
  struct Case {
    char const* name;
    Bytes bytes;
    uint8_t type;
    unsigned version;
    char const* group;
    unsigned maxResponseTenths;
  } const cases[] = {
      {"v1 query", V1_QUERY, IGMP_MEMBERSHIP_QUERY, 1, "0.0.0.0", 0},
      {"v2 general query", V2_GENERAL_QUERY, IGMP_MEMBERSHIP_QUERY, 2, "0.0.0.0", 100},
      {"v2 group query", V2_GROUP_QUERY, IGMP_MEMBERSHIP_QUERY, 2, "239.1.2.3", 10},
      {"v1 report", V1_REPORT, IGMP_V1_MEMBERSHIP_REPORT, 1, "239.1.2.3", 0},
      {"v2 report", V2_REPORT, IGMP_V2_MEMBERSHIP_REPORT, 2, "239.1.2.3", 0},
      {"v2 leave", V2_LEAVE, IGMP_V2_LEAVE_GROUP, 2, "239.1.2.3", 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    IgmpMessage message;
    ASSERT_EQ(parse(c.bytes, message), IgmpParseStatus::OK);
    EXPECT_EQ(message.type, c.type);
    EXPECT_EQ(message.version, c.version);
    EXPECT_EQ(message.group, addr(c.group));
    EXPECT_EQ(message.maxResponseTenths, c.maxResponseTenths);
    EXPECT_TRUE(message.sources.empty());
    EXPECT_TRUE(message.records.empty());
  }
}

TEST(IgmpMessage, Version3QueryWithSources) {
  IgmpMessage message;
  ASSERT_EQ(parse(V3_QUERY, message), IgmpParseStatus::OK);
  EXPECT_EQ(message.version, 3u);
  EXPECT_EQ(message.group, addr("232.1.1.1"));
  EXPECT_EQ(message.maxResponseTenths, 224u);  // (0xc | 0x10) << 3
  EXPECT_EQ(message.robustness, 2u);
  EXPECT_EQ(message.queryIntervalSeconds, 125u);
  EXPECT_FALSE(message.suppressRouterProcessing);
  EXPECT_EQ(message.sources, (std::vector<uint32_t>{addr("10.0.0.1"), addr("10.0.0.2")}));
}

TEST(IgmpMessage, Version3ReportWithEveryRecordType) {
  IgmpMessage message;
  ASSERT_EQ(parse(V3_REPORT, message), IgmpParseStatus::OK);
  EXPECT_EQ(message.version, 3u);
  struct Expected {
    uint8_t type;
    char const* group;
    std::vector<uint32_t> sources;
  } const expected[] = {
      {IGMP_MODE_IS_INCLUDE, "232.1.1.1", {addr("10.0.0.1")}},
      {IGMP_MODE_IS_EXCLUDE, "239.1.2.3", {}},
      {IGMP_CHANGE_TO_INCLUDE_MODE, "239.1.2.4", {}},
      {IGMP_CHANGE_TO_EXCLUDE_MODE, "239.1.2.5", {addr("10.0.0.9")}},
      {IGMP_ALLOW_NEW_SOURCES, "232.1.1.2", {addr("10.0.0.1"), addr("10.0.0.2")}},
      {IGMP_BLOCK_OLD_SOURCES, "232.1.1.3", {addr("10.0.0.3")}},
  };
  ASSERT_EQ(message.records.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(message.records[i].type, expected[i].type);
    EXPECT_EQ(message.records[i].group, addr(expected[i].group));
    EXPECT_EQ(message.records[i].sources, expected[i].sources);
  }
}

TEST(IgmpMessage, DatagramWithRouterAlertAndPadding) {
  IgmpPacket packet;
  Bytes exact(V2_REPORT_DATAGRAM);
  ASSERT_EQ(parseIgmpPacket(exact.data(), exact.size(), packet), IgmpParseStatus::OK);
  EXPECT_EQ(packet.source, addr("10.201.2.2"));
  EXPECT_EQ(packet.destination, addr("239.1.2.3"));
  EXPECT_EQ(packet.ttl, 1);
  EXPECT_EQ(packet.message.type, IGMP_V2_MEMBERSHIP_REPORT);
  EXPECT_EQ(packet.message.group, addr("239.1.2.3"));
}

TEST(IgmpMessage, MalformedMessagesAreRefusedWithTheirReason) {
  Bytes badChecksum = V2_REPORT;
  badChecksum[7] ^= 0x01;
  Bytes v2QueryPlusOne = V2_GENERAL_QUERY;  // a zero byte leaves the checksum right
  v2QueryPlusOne.push_back(0);
  Bytes querySources = V3_QUERY;
  querySources[IGMP_V3_QUERY_NUM_SOURCES + 1] = 3;  // two are there
  Bytes tooManyRecords = V3_REPORT;
  tooManyRecords[IGMP_V3_REPORT_NUM_RECORDS + 1] = 7;
  Bytes hugeRecordCount = V3_REPORT;
  storeWireU16(hugeRecordCount.data() + IGMP_V3_REPORT_NUM_RECORDS, 0xffff);
  Bytes lastSourcesPastEnd = V3_REPORT;
  lastSourcesPastEnd[V3_REPORT.size() - 12 + IGMP_RECORD_NUM_SOURCES + 1] = 2;
  Bytes auxPastEnd = V3_REPORT;
  auxPastEnd[V3_REPORT.size() - 12 + IGMP_RECORD_AUX_WORDS] = 1;
  Bytes unicastRecord = V3_REPORT;
  unicastRecord[8 + IGMP_RECORD_GROUP] = 10;
  Bytes unicastReport = V2_REPORT;
  unicastReport[IGMP_GROUP] = 10;
  Bytes unicastQuery = V2_GROUP_QUERY;
  unicastQuery[IGMP_GROUP] = 10;
  Bytes dvmrp = V2_REPORT;
  dvmrp[IGMP_TYPE] = 0x13;

  struct Case {
    char const* name;
    Bytes bytes;
    IgmpParseStatus status;
  } const cases[] = {
      {"empty", {}, IgmpParseStatus::SHORT},
      {"seven bytes", Bytes(V2_REPORT.begin(), V2_REPORT.end() - 1), IgmpParseStatus::SHORT},
      {"bad checksum", badChecksum, IgmpParseStatus::BAD_CHECKSUM},
      {"query of 9 bytes", v2QueryPlusOne, IgmpParseStatus::BAD_QUERY_LENGTH},
      {"query source count", withChecksum(querySources), IgmpParseStatus::SOURCES_PAST_END},
      {"one record too many", withChecksum(tooManyRecords), IgmpParseStatus::RECORDS_PAST_END},
      {"record count 65535", withChecksum(hugeRecordCount), IgmpParseStatus::RECORDS_PAST_END},
      {"record sources", withChecksum(lastSourcesPastEnd), IgmpParseStatus::SOURCES_PAST_END},
      {"record aux data", withChecksum(auxPastEnd), IgmpParseStatus::RECORDS_PAST_END},
      {"unicast record", withChecksum(unicastRecord), IgmpParseStatus::NOT_MULTICAST},
      {"unicast report", withChecksum(unicastReport), IgmpParseStatus::NOT_MULTICAST},
      {"unicast group query", withChecksum(unicastQuery), IgmpParseStatus::NOT_MULTICAST},
      {"another protocol", withChecksum(dvmrp), IgmpParseStatus::UNKNOWN_TYPE},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse(c.bytes), c.status) << igmpParseStatusText(parse(c.bytes));
  }
}

// Every shorter prefix of a report, its checksum made right so that the
// record walk itself meets the end, is refused without reading past it.
TEST(IgmpMessage, TruncatedVersion3ReportsAreRefused) {
  for (size_t length = IGMP_MIN_SIZE; length < V3_REPORT.size(); ++length) {
    SCOPED_TRACE(length);
    Bytes prefix = withChecksum(Bytes(V3_REPORT.begin(), V3_REPORT.begin() + length));
    IgmpParseStatus const status = parse(prefix);
    EXPECT_TRUE(status == IgmpParseStatus::RECORDS_PAST_END ||
                status == IgmpParseStatus::SOURCES_PAST_END)
        << igmpParseStatusText(status);
  }
}

TEST(IgmpMessage, MalformedDatagramsAreRefusedWithTheirReason) {
  auto changed = [](size_t offset, uint8_t value, bool fixHeader) {
    Bytes bytes = V2_REPORT_DATAGRAM;
    bytes[offset] = value;
    if (fixHeader) {
      storeWireU16(bytes.data() + 10, 0);
      storeWireU16(bytes.data() + 10, internetChecksum(bytes.data(), 24));
    }
    return bytes;
  };
  struct Case {
    char const* name;
    Bytes bytes;
    IgmpParseStatus status;
  } const cases[] = {
      {"shorter than a header", Bytes(V2_REPORT_DATAGRAM.begin(), V2_REPORT_DATAGRAM.begin() + 19),
       IgmpParseStatus::BAD_IP_HEADER},
      {"total length past the end",
       Bytes(V2_REPORT_DATAGRAM.begin(), V2_REPORT_DATAGRAM.begin() + 31),
       IgmpParseStatus::BAD_IP_HEADER},
      {"header longer than the total", changed(IPV4_VERSION_AND_IHL, 0x49, true),
       IgmpParseStatus::BAD_IP_HEADER},
      {"bad header checksum", changed(IPV4_TTL, 2, false), IgmpParseStatus::BAD_IP_CHECKSUM},
      {"first fragment", changed(IPV4_FLAGS_AND_FRAGMENT, 0x20, true), IgmpParseStatus::FRAGMENT},
      {"UDP", changed(IPV4_PROTOCOL, 17, true), IgmpParseStatus::NOT_IGMP},
      {"IGMP cut by the total length", changed(IPV4_TOTAL_LENGTH + 1, 0x1f, true),
       IgmpParseStatus::SHORT},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    IgmpPacket packet;
    Bytes exact(c.bytes);
    IgmpParseStatus const status = parseIgmpPacket(exact.data(), exact.size(), packet);
    EXPECT_EQ(status, c.status) << igmpParseStatusText(status);
  }
}

TEST(IgmpMessage, QueriesAreBuiltAsHostsExpectThem) {
  uint8_t buffer[64];
  IgmpQuery general;
  general.maxResponseTenths = 100;
  size_t size = buildIgmpQuery(general, buffer, sizeof buffer);
  EXPECT_EQ(Bytes(buffer, buffer + size), V2_GENERAL_QUERY);

  IgmpQuery sourceQuery;
  sourceQuery.version = 3;
  sourceQuery.group = addr("232.1.1.1");
  sourceQuery.maxResponseTenths = 230;  // not a code's value: the one below, 224, is sent
  sourceQuery.sources = {addr("10.0.0.1"), addr("10.0.0.2")};
  size = buildIgmpQuery(sourceQuery, buffer, sizeof buffer);
  EXPECT_EQ(Bytes(buffer, buffer + size), V3_QUERY);

  sourceQuery.robustness = 9;  // beyond QRV's three bits: sent as 0
  sourceQuery.suppressRouterProcessing = true;
  size = buildIgmpQuery(sourceQuery, buffer, sizeof buffer);
  IgmpMessage message;
  ASSERT_EQ(parse(Bytes(buffer, buffer + size), message), IgmpParseStatus::OK);
  EXPECT_EQ(message.robustness, 0u);
  EXPECT_TRUE(message.suppressRouterProcessing);

  EXPECT_EQ(buildIgmpQuery(sourceQuery, buffer, 19), 0u);  // 20 bytes do not fit
}

// Every value gets the code of the largest value not above it.
TEST(IgmpWire, CodesRoundDownToTheNearestValue) {
  for (unsigned value = 0; value <= IGMP_MAX_CODE_VALUE + 100; ++value) {
    uint8_t const code = encodeIgmpCode(value);
    unsigned const sent = decodeIgmpCode(code);
    ASSERT_LE(sent, value) << value;
    if (code < 0xff) {
      ASSERT_GT(decodeIgmpCode(static_cast<uint8_t>(code + 1)), value) << value;
    }
  }
  EXPECT_EQ(decodeIgmpCode(0xff), IGMP_MAX_CODE_VALUE);
}

}  // namespace
