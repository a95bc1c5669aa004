// Names of the tunnel command codes, for trace lines.
#include "tunnel/TunnelEncapsulation.hh"

#include <cstdio>

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
