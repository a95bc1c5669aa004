// Sockets keyed by port, created on a miss by the subclass.
#include "groupsock/SocketLookupTable.hh"

#include <cstdint>

#include "groupsock/Socket.hh"

namespace {

// The network-order port number as a one-word key.
WordKey portKey(Port port) { return WordKey(static_cast<uintptr_t>(port.num())); }

}  // namespace

// The socket stored under port, with isNew false. On a miss, a new socket
// from CreateNew is stored and returned with isNew true. A new socket that
// could not be set up (negative descriptor) is deleted: the result is then
// nullptr, isNew false, and the set-up message stands in the environment.
Socket* SocketLookupTable::Fetch(UsageEnvironment& env, Port port, bool& isNew) {
  isNew = false;
  Socket* sock = table.Lookup(portKey(port));
  if (sock != nullptr) return sock;

  sock = CreateNew(env, port);
  if (sock == nullptr) return nullptr;
  if (sock->socketNum() < 0) {
    delete sock;
    return nullptr;
  }
  table.Add(portKey(port), sock);
  isNew = true;
  return sock;
}

Socket* SocketLookupTable::Lookup(Port port) const { return table.Lookup(portKey(port)); }

// Forgets the entry under sock's port; true if there was one. The socket
// itself is not touched.
bool SocketLookupTable::Remove(Socket const* sock) {
  if (sock == nullptr) return false;
  return table.Remove(portKey(sock->port()));
}
