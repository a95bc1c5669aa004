// Sockets keyed by port, created on a miss by the subclass. The table does
// not delete its sockets.
#ifndef VELDRA_GROUPSOCK_SOCKETLOOKUPTABLE_HH
#define VELDRA_GROUPSOCK_SOCKETLOOKUPTABLE_HH

#include "groupsock/Port.hh"
#include "runtime/TypedHashTable.hh"

class Socket;
class UsageEnvironment;

class SocketLookupTable {
 public:
  virtual ~SocketLookupTable() = default;

  // The socket stored under port (isNew false), or a new one from CreateNew
  // (isNew true), or nullptr when the new socket could not be set up.
  Socket* Fetch(UsageEnvironment& env, Port port, bool& isNew);
  // The socket stored under port, or nullptr; creates nothing.
  Socket* Lookup(Port port) const;
  bool Remove(Socket const* sock);

 protected:
  SocketLookupTable() = default;
  virtual Socket* CreateNew(UsageEnvironment& env, Port port) = 0;

 private:
  TypedHashTable<Socket, WordKey> table;  // by the port's network-order number
};

#endif
