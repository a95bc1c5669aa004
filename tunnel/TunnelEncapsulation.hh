// The tunnel wire format. Every datagram on a tunnel ends with a 12-byte
// trailer; the source-specific form puts a 4-byte source-filter address in
// front of it. The payload, if any, comes first, untouched:
//
//   payload | [ssmSource 4] | srcCookie 2 | dstCookie 2 | address 4 | port 2 | ttl 1 | command 1
//
// address, port and ssmSource are in network byte order; the cookies are
// opaque two-byte values, written in the sender's host order and only ever
// compared and echoed. Fields stand at any alignment: copy them out with
// memcpy, never through a misaligned load.
#ifndef VELDRA_TUNNEL_TUNNELENCAPSULATION_HH
#define VELDRA_TUNNEL_TUNNELENCAPSULATION_HH

#include <cstdint>
#include <cstring>

// Command codes; bit 7 marks the source-specific form.
constexpr uint8_t SSM_BIT = 0x80;
enum TunnelCommand : uint8_t {
  DATA = 0x01,
  JOIN = 0x02,
  LEAVE = 0x03,
  TEAR_DOWN = 0x04,
  PROBE = 0x05,
  PROBE_ACK = 0x06,
  PROBE_NACK = 0x07,
  JOIN_RTP = 0x08,
  LEAVE_RTP = 0x09,
  SSM_DATA = SSM_BIT | DATA,
  SSM_JOIN = SSM_BIT | JOIN,
  SSM_LEAVE = SSM_BIT | LEAVE,
  SSM_JOIN_RTP = SSM_BIT | JOIN_RTP,
  SSM_LEAVE_RTP = SSM_BIT | LEAVE_RTP,
};

constexpr unsigned TRAILER_SIZE = 12;      // the basic trailer
constexpr unsigned SSM_SOURCE_SIZE = 4;    // the source filter in front of it
constexpr unsigned SSM_TRAILER_SIZE = 16;  // both together
// The largest datagram a tunnel reads: 51200 bytes of payload and an SSM
// trailer.
constexpr unsigned MAX_TUNNEL_DATAGRAM_SIZE = 51216;

// The basic trailer, byte for byte. Every field is a byte array, so the
// struct may be laid over any byte of a buffer.
struct TunnelEncapsulationTrailer {
  uint8_t srcCookie[2];  // the sender's own cookie for the tunnel
  uint8_t dstCookie[2];  // the cookie the sender believes the receiver holds
  uint8_t address[4];    // the group (0 for commands without one)
  uint8_t port[2];       // the group's port
  uint8_t ttl;           // time-to-live to use for the group at the receiver
  uint8_t command;
};
static_assert(sizeof(TunnelEncapsulationTrailer) == TRAILER_SIZE, "trailer layout");
static_assert(alignof(TunnelEncapsulationTrailer) == 1, "trailer may stand at any byte");

inline uint16_t trailerCookie(uint8_t const (&field)[2]) {
  uint16_t cookie;
  std::memcpy(&cookie, field, sizeof cookie);
  return cookie;
}
inline void setTrailerCookie(uint8_t (&field)[2], uint16_t cookie) {
  std::memcpy(field, &cookie, sizeof cookie);
}
inline uint32_t trailerAddress(TunnelEncapsulationTrailer const& t) {  // network order
  uint32_t address;
  std::memcpy(&address, t.address, sizeof address);
  return address;
}
inline void setTrailerAddress(TunnelEncapsulationTrailer& t, uint32_t address) {
  std::memcpy(t.address, &address, sizeof address);
}
inline uint16_t trailerPort(TunnelEncapsulationTrailer const& t) {  // network order
  uint16_t port;
  std::memcpy(&port, t.port, sizeof port);
  return port;
}
inline void setTrailerPort(TunnelEncapsulationTrailer& t, uint16_t port) {
  std::memcpy(t.port, &port, sizeof port);
}

// Writes the trailer of a datagram at `at`, which may be any byte of a
// buffer: for a source-specific command (SSM_BIT set) the source filter
// first, then the basic trailer naming the group, port (both network order),
// time-to-live and command, with both cookies zero: whoever sends the
// datagram fills them in last (setTrailerCookies). Returns the length
// written, 12 or 16. Every trailer a gateway sends is laid out here.
inline unsigned writeTunnelTrailer(unsigned char* at, uint8_t command, uint32_t address,
                                   uint16_t port, uint8_t ttl, uint32_t sourceFilter) {
  unsigned length = 0;
  if ((command & SSM_BIT) != 0) {
    std::memcpy(at, &sourceFilter, SSM_SOURCE_SIZE);
    length = SSM_SOURCE_SIZE;
  }
  TunnelEncapsulationTrailer basic;
  std::memset(&basic, 0, sizeof basic);
  setTrailerAddress(basic, address);
  setTrailerPort(basic, port);
  basic.ttl = ttl;
  basic.command = command;
  std::memcpy(at + length, &basic, TRAILER_SIZE);
  return length + TRAILER_SIZE;
}

// Fills in the two cookies of a basic trailer: the sender's own, and the
// one it believes the receiver holds.
inline void setTrailerCookies(TunnelEncapsulationTrailer& t, uint16_t srcCookie,
                              uint16_t dstCookie) {
  setTrailerCookie(t.srcCookie, srcCookie);
  setTrailerCookie(t.dstCookie, dstCookie);
}

// Turns a received basic trailer, in place, into a reply of the given
// command carrying the given cookies; group, port and time-to-live stay as
// received (a reply echoes them).
inline void turnIntoReply(TunnelEncapsulationTrailer& t, uint8_t command, uint16_t srcCookie,
                          uint16_t dstCookie) {
  t.command = command;
  setTrailerCookies(t, srcCookie, dstCookie);
}

// What the trailer of a received datagram says, its fields copied out.
struct DecodedTrailer {
  unsigned trailerOffset;  // where the basic trailer (the last 12 bytes) starts
  unsigned payloadSize;    // the bytes in front of the whole trailer
  bool ssm;                // the command has SSM_BIT: a source filter stands in front
  uint32_t sourceFilter;   // network order; all ones when not source-specific
  uint32_t address;        // network order
  uint16_t port;           // network order
  uint8_t ttl;
  uint8_t command;
  uint16_t srcCookie;
  uint16_t dstCookie;
};

// Finds and reads the trailer of a datagram of size bytes: bytes in, no
// sockets. True with `out` filled; false when the datagram is too short for
// its trailer, with `minimumSize` the length it needed (12, or 16 for the
// source-specific form).
bool decodeTunnelTrailer(unsigned char const* datagram, unsigned size, DecodedTrailer& out,
                         unsigned& minimumSize);

// The name of a command code ("DATA", "SSM_JOIN", ...), or "(unknown: 0x%x)"
// in a static buffer that the next unknown code overwrites.
char const* cmdName(unsigned char code);

#endif
