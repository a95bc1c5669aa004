// Sockets keyed by port, created on a miss by the subclass.
#include "groupsock/SocketLookupTable.hh"

#include <cstdint>

#include "groupsock/Socket.hh"

namespace {

// The network-order port number as a one-word key.
char const* portKey(Port port) {
  return reinterpret_cast<char const*>(static_cast<uintptr_t>(port.num()));
}

}  // namespace

SocketLookupTable::SocketLookupTable() : table(HashTable::create(HashTable::ONE_WORD_KEYS)) {}

// Releases the table; the sockets belong to their owners.
SocketLookupTable::~SocketLookupTable() { delete table; }

// The socket stored under port, with isNew false. On a miss, a new socket
// from CreateNew is stored and returned with isNew true. A new socket that
// could not be set up (negative descriptor) is deleted: the result is then
// nullptr, isNew false, and the set-up message stands in the environment.
Socket* SocketLookupTable::Fetch(UsageEnvironment& env, Port port, bool& isNew) {
  isNew = false;
  Socket* sock = static_cast<Socket*>(table->Lookup(portKey(port)));
  if (sock != nullptr) return sock;

  sock = CreateNew(env, port);
  if (sock == nullptr) return nullptr;
  if (sock->socketNum() < 0) {
    delete sock;
    return nullptr;
  }
  table->Add(portKey(port), sock);
  isNew = true;
  return sock;
}

Socket* SocketLookupTable::Lookup(Port port) const {
  return static_cast<Socket*>(table->Lookup(portKey(port)));
}

// Forgets the entry under sock's port; true if there was one. The socket
// itself is not touched.
bool SocketLookupTable::Remove(Socket const* sock) {
  if (sock == nullptr) return false;
  return table->Remove(portKey(sock->port()));
}
