// The IGMP listener: reads every IGMP message on one LAN interface, as a
// multicast router must (the host's own IP stack hands an ordinary socket
// only the groups the host itself belongs to), decodes it and hands each
// membership change and each query to an IgmpEventSink.
//
// It reads through a packet socket (AF_PACKET, SOCK_DGRAM, ETH_P_IP) bound
// to the interface, with the interface in all-multicast mode so that no
// report is filtered out by the network card, and a kernel socket filter
// that passes only IP protocol 2 and nothing this host sends itself. The
// event loop reads it through the task scheduler's background handling.
// Opening it needs root (CAP_NET_RAW).
#ifndef VELDRA_GROUPSOCK_IGMPLISTENER_HH
#define VELDRA_GROUPSOCK_IGMPLISTENER_HH

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "groupsock/IgmpMessage.hh"
#include "runtime/Timeval.hh"

class UsageEnvironment;

// What one IGMP message meant. A v1/v2 report is a JOIN, a v2 leave a LEAVE,
// each group record of a v3 report one event of its record type, and a
// query a QUERY.
enum class IgmpEventKind {
  JOIN,
  LEAVE,
  IS_INCLUDE,  // MODE_IS_INCLUDE
  IS_EXCLUDE,  // MODE_IS_EXCLUDE
  TO_INCLUDE,  // CHANGE_TO_INCLUDE_MODE
  TO_EXCLUDE,  // CHANGE_TO_EXCLUDE_MODE
  ALLOW,       // ALLOW_NEW_SOURCES
  BLOCK,       // BLOCK_OLD_SOURCES
  QUERY,
};

// The name scripts know a kind by: join, leave, is_in, is_ex, to_in, to_ex,
// allow, block, query.
char const* igmpEventKindName(IgmpEventKind kind);

struct IgmpEvent {
  IgmpEventKind kind;
  unsigned version;                      // of the message: 1, 2 or 3
  uint32_t from;                         // the reporter or querier (IP source), network order
  uint32_t group;                        // 0 for a general query
  std::vector<uint32_t> const& sources;  // the record's or the query's
  IgmpMessage const& message;            // the whole message (query fields)
};

// Receives the events of a listener, one call per event in the order the
// messages arrived. Called from the event loop; it may stop and delete the
// listener (deleteWhenSafe) while being called.
class IgmpEventSink {
 public:
  virtual ~IgmpEventSink();
  virtual void igmpEvent(IgmpEvent const& event) = 0;
};

// Counts since the listener was opened.
struct IgmpListenerStats {
  unsigned long datagrams = 0;  // IGMP datagrams read
  unsigned long queries = 0;
  unsigned long reports = 0;  // v1, v2 and v3 report messages
  unsigned long leaves = 0;
  unsigned long events = 0;     // handed to the sink
  unsigned long malformed = 0;  // dropped as malformed
  unsigned long ignored = 0;    // other IGMP-borne protocols, unknown record types, our own
};

class IgmpListener {
 public:
  // Opens the listener on the interface and starts reading it, handing
  // events to sink, which it then owns. Returns nullptr (sink deleted) with
  // the reason as env's result message: no such interface, no IPv4 address
  // on it, or no permission to open a packet socket.
  static IgmpListener* create(UsageEnvironment& env, char const* interfaceName,
                              std::unique_ptr<IgmpEventSink> sink);

  // Stops reading at once and deletes the listener, or, when called from
  // inside its own event dispatch, as soon as that dispatch returns.
  void deleteWhenSafe();

  std::string const& interfaceName() const { return interfaceName_; }
  int interfaceIndex() const { return interfaceIndex_; }
  uint32_t interfaceAddress() const { return interfaceAddress_; }  // network order
  IgmpListenerStats const& stats() const { return stats_; }

 private:
  IgmpListener(UsageEnvironment& env, std::string interfaceName, int interfaceIndex,
               uint32_t interfaceAddress, int socket, std::unique_ptr<IgmpEventSink> sink);
  ~IgmpListener();

  static void readHandler(void* listener, int mask);
  void readAvailable();
  void handleDatagram(uint8_t const* data, size_t length);
  void dispatch(IgmpPacket const& packet);
  bool deliver(IgmpEventKind kind, IgmpPacket const& packet, uint32_t group,
               std::vector<uint32_t> const& sources);
  void stop();
  void traceMalformed(IgmpPacket const& packet, IgmpParseStatus status);

  UsageEnvironment& env_;
  std::string interfaceName_;
  int interfaceIndex_;
  uint32_t interfaceAddress_;
  int socket_;
  std::unique_ptr<IgmpEventSink> sink_;
  IgmpListenerStats stats_;

  // Deletion held back while the sink is being called.
  unsigned dispatchDepth_ = 0;
  bool deletionPending_ = false;

  // The malformed-message trace: the first at once, then at most one line
  // per interval, saying how many were dropped in between.
  EventTime lastMalformedTrace_;
  unsigned long malformedSinceTrace_ = 0;
};

#endif
