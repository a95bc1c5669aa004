// Every groupsock of the process, by group, source filter and port, and by
// socket descriptor.
#include "groupsock/GroupsockLookupTable.hh"

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>

#include "groupsock/AddressString.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockPrivate.hh"
#include "groupsock/NetAddress.hh"
#include "runtime/UsageEnvironment.hh"

// Built before main and never destroyed. The process ends through the
// interpreter's exit, which finalises the interpreter library (and with it
// its memory allocator) before static objects are destroyed; destroying the
// table then would hand its entries back to that finalised allocator. The
// groupsocks themselves are never deleted at exit either.
GroupsockLookupTable& OurGroupsocks = *new GroupsockLookupTable;

namespace {

// A socket descriptor as a one-word key.
WordKey descriptorKey(int sock) { return WordKey(static_cast<uintptr_t>(sock)); }

// The environment's descriptor table, or nullptr when it has none. Looking
// creates neither the private record nor the table.
DescriptorTable* descriptorTable(UsageEnvironment& env) {
  auto* priv = static_cast<GroupsockPrivate*>(env.groupsockPriv);
  return priv == nullptr ? nullptr : priv->socketsByDescriptor;
}

}  // namespace

Groupsock* GroupsockLookupTable::Fetch(UsageEnvironment& env, unsigned groupAddress,
                                       unsigned sourceFilterAddr, Port port, unsigned char ttl,
                                       bool& isNew) {
  isNew = false;
  Groupsock* groupsock = Lookup(groupAddress, sourceFilterAddr, port);
  if (groupsock != nullptr) return groupsock;
  groupsock = AddNew(env, groupAddress, sourceFilterAddr, port, ttl);
  if (Lookup(groupAddress, sourceFilterAddr, port) != groupsock) {
    groupsock->deleteWhenSafe();  // never registered: nobody else knows it
    return nullptr;
  }
  isNew = true;
  return groupsock;
}

Groupsock* GroupsockLookupTable::FetchForScript(UsageEnvironment& env, unsigned groupAddress,
                                                unsigned sourceFilterAddr, Port port,
                                                unsigned char ttl, bool& isNew) {
  Groupsock* groupsock = Fetch(env, groupAddress, sourceFilterAddr, port, ttl, isNew);
  if (groupsock == nullptr || isNew) return groupsock;
  if (!groupsock->tunnelOwned()) {
    char message[120];
    unsigned const hostPort = ntohs(port.num());
    if (sourceFilterAddr != NO_SOURCE_FILTER)
      std::snprintf(message, sizeof message, "(address,source)/port (%s,%s)/%u is already in use",
                    AddressString(groupAddress).val(), AddressString(sourceFilterAddr).val(),
                    hostPort);
    else
      std::snprintf(message, sizeof message, "address/port %s/%u is already in use",
                    AddressString(groupAddress).val(), hostPort);
    env.setResultMsg(message);
    return nullptr;
  }
  // A tunnel made it for its peer: from now on the script reads it.
  env.getScheduler().setBackgroundHandling(groupsock->socketNum(), 0, nullptr, nullptr);
  groupsock->setTunnelOwned(false);
  return groupsock;
}

void GroupsockLookupTable::Discard(Groupsock* groupsock) {
  groupsock->env().getScheduler().setBackgroundHandling(groupsock->socketNum(), 0, nullptr,
                                                        nullptr);
  Remove(groupsock);
  groupsock->deleteWhenSafe();
}

// Creates a groupsock (source-specific unless sourceFilterAddr is all ones)
// and registers it under its descriptor and its address. It stays
// unregistered when its socket could not be set up, or when its descriptor
// is already registered to another groupsock ("Attempting to replace an
// existing socket (<descriptor>" then stands as the result message); Fetch
// deletes it then.
Groupsock* GroupsockLookupTable::AddNew(UsageEnvironment& env, unsigned groupAddress,
                                        unsigned sourceFilterAddr, Port port, unsigned char ttl) {
  in_addr group;
  group.s_addr = groupAddress;
  Groupsock* groupsock;
  if (sourceFilterAddr == NO_SOURCE_FILTER) {
    groupsock = new Groupsock(env, group, port, ttl);
  } else {
    in_addr source;
    source.s_addr = sourceFilterAddr;
    groupsock = new Groupsock(env, group, source, port);
  }
  int const sock = groupsock->socketNum();
  if (sock < 0) return groupsock;

  GroupsockPrivate* priv = groupsockPriv(groupsock->env());
  if (priv->socketsByDescriptor == nullptr) {
    priv->socketsByDescriptor = new DescriptorTable;
  }
  if (priv->socketsByDescriptor->Lookup(descriptorKey(sock)) != nullptr) {
    char msg[100];
    std::snprintf(msg, sizeof msg, "Attempting to replace an existing socket (%d", sock);
    env.setResultMsg(msg);
    return groupsock;
  }
  priv->socketsByDescriptor->Add(descriptorKey(sock), groupsock);
  table.Add({groupAddress, sourceFilterAddr, port}, groupsock);
  return groupsock;
}

// The any-source groupsock for groupAddress and port, or nullptr.
Groupsock* GroupsockLookupTable::Lookup(unsigned groupAddress, Port port) {
  return Lookup(groupAddress, NO_SOURCE_FILTER, port);
}

// The groupsock for groupAddress, sourceFilterAddr (all ones: any source)
// and port, or nullptr.
Groupsock* GroupsockLookupTable::Lookup(unsigned groupAddress, unsigned sourceFilterAddr,
                                        Port port) {
  return table.Lookup(groupAddress, sourceFilterAddr, port);
}

// The groupsock registered in env under descriptor sock, or nullptr.
Groupsock* GroupsockLookupTable::Lookup(UsageEnvironment& env, int sock) {
  if (sock < 0) return nullptr;
  DescriptorTable* sockets = descriptorTable(env);
  return sockets == nullptr ? nullptr : sockets->Lookup(descriptorKey(sock));
}

// Unregisters groupsock without deleting it. Each entry goes only if it
// holds this very groupsock: a descriptor or an address registered to
// another one stays. When the descriptor table becomes empty it is deleted,
// and the environment's private record with it if nothing else is kept
// there. Returns whether the address entry was removed.
bool GroupsockLookupTable::Remove(Groupsock const* groupsock) {
  if (groupsock == nullptr) return false;

  int const sock = groupsock->socketNum();
  UsageEnvironment& env = groupsock->env();
  DescriptorTable* sockets = descriptorTable(env);
  if (sock >= 0 && sockets != nullptr && sockets->Lookup(descriptorKey(sock)) == groupsock) {
    sockets->Remove(descriptorKey(sock));
    if (sockets->numEntries() == 0) {
      delete sockets;
      static_cast<GroupsockPrivate*>(env.groupsockPriv)->socketsByDescriptor = nullptr;
      reclaimGroupsockPriv(env);
    }
  }

  unsigned const group = groupsock->groupAddress().s_addr;
  unsigned const source = groupsock->sourceFilterAddress().s_addr;
  if (table.Lookup(group, source, groupsock->port()) != groupsock) return false;
  return table.Remove(group, source, groupsock->port());
}
