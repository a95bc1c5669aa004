// Decoding of received trailers, and the names of the command codes for
// trace lines.
#include "tunnel/TunnelEncapsulation.hh"

#include <cstdio>
#include <cstring>

// The name of a known code; for any other code "(unknown: 0x%x)" written
// into a static buffer that the next unknown code overwrites.
char const* cmdName(unsigned char code) {
  switch (code) {
    case DATA:
      return "DATA";
    case JOIN:
      return "JOIN";
    case LEAVE:
      return "LEAVE";
    case TEAR_DOWN:
      return "TEAR_DOWN";
    case PROBE:
      return "PROBE";
    case PROBE_ACK:
      return "PROBE_ACK";
    case PROBE_NACK:
      return "PROBE_NACK";
    case JOIN_RTP:
      return "JOIN_RTP";
    case LEAVE_RTP:
      return "LEAVE_RTP";
    case SSM_DATA:
      return "SSM_DATA";
    case SSM_JOIN:
      return "SSM_JOIN";
    case SSM_LEAVE:
      return "SSM_LEAVE";
    case SSM_JOIN_RTP:
      return "SSM_JOIN_RTP";
    case SSM_LEAVE_RTP:
      return "SSM_LEAVE_RTP";
    default:
      break;
  }
  static char tmpStr[20];  // "(unknown: 0xff)" and its terminator fit
  std::snprintf(tmpStr, sizeof tmpStr, "(unknown: 0x%x)", code);
  return tmpStr;
}

// The trailer is found by counting back from the end: the last byte is the
// command, and its SSM_BIT says whether a source filter stands in front of
// the basic trailer.
bool decodeTunnelTrailer(unsigned char const* datagram, unsigned size, DecodedTrailer& out,
                         unsigned& minimumSize) {
  minimumSize = TRAILER_SIZE;
  if (size < TRAILER_SIZE) return false;
  bool const ssm = (datagram[size - 1] & SSM_BIT) != 0;
  if (ssm) minimumSize = SSM_TRAILER_SIZE;
  if (size < minimumSize) return false;

  TunnelEncapsulationTrailer basic;
  std::memcpy(&basic, datagram + size - TRAILER_SIZE, TRAILER_SIZE);
  out.trailerOffset = size - TRAILER_SIZE;
  out.payloadSize = size - minimumSize;
  out.ssm = ssm;
  out.sourceFilter = 0xFFFFFFFFu;
  if (ssm) std::memcpy(&out.sourceFilter, datagram + size - SSM_TRAILER_SIZE, SSM_SOURCE_SIZE);
  out.address = trailerAddress(basic);
  out.port = trailerPort(basic);
  out.ttl = basic.ttl;
  out.command = basic.command;
  out.srcCookie = trailerCookie(basic.srcCookie);
  out.dstCookie = trailerCookie(basic.dstCookie);
  return true;
}
