// Sends IGMP membership queries on one LAN interface, as a querier does:
// from the interface's address, with time-to-live 1 and the IP Router Alert
// option, a general query to 224.0.0.1 and a group-specific one to the
// group. A raw IP socket (IPPROTO_IGMP) carries them; opening it needs root
// (CAP_NET_RAW).
#ifndef VELDRA_GROUPSOCK_IGMPQUERYSENDER_HH
#define VELDRA_GROUPSOCK_IGMPQUERYSENDER_HH

#include <cstddef>
#include <cstdint>

#include "groupsock/IgmpMessage.hh"

class UsageEnvironment;

class IgmpQuerySender {
 public:
  // The most sources a query may name and still fit one 1500-byte frame:
  // 24 bytes of IP header with the Router Alert option, 12 of query, 4 per
  // source.
  static constexpr size_t MAX_SOURCES = (1500 - 24 - 12) / 4;

  // Opens the socket for the interface of that index and address (network
  // order). Returns nullptr with the reason as env's result message.
  static IgmpQuerySender* create(UsageEnvironment& env, char const* interfaceName,
                                 int interfaceIndex, uint32_t interfaceAddress);
  ~IgmpQuerySender();
  IgmpQuerySender(IgmpQuerySender const&) = delete;
  IgmpQuerySender& operator=(IgmpQuerySender const&) = delete;

  // Sends the query to where its kind goes. False with a message when it
  // could not be built or sent whole.
  bool send(IgmpQuery const& query);

  unsigned long queriesSent() const { return queriesSent_; }

 private:
  IgmpQuerySender(UsageEnvironment& env, int socket);

  UsageEnvironment& env_;
  int socket_;
  unsigned long queriesSent_ = 0;
};

#endif
