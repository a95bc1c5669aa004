// The network layer's per-environment record: the table from socket
// descriptor to groupsock, and the address-reuse flag of new sockets.
#ifndef VELDRA_GROUPSOCK_GROUPSOCKPRIVATE_HH
#define VELDRA_GROUPSOCK_GROUPSOCKPRIVATE_HH

#include "runtime/TypedHashTable.hh"

class Groupsock;
class UsageEnvironment;

// Groupsocks by socket descriptor.
using DescriptorTable = TypedHashTable<Groupsock, WordKey>;

struct GroupsockPrivate {
  DescriptorTable* socketsByDescriptor = nullptr;  // created by the groupsock table on need
  int reuseAddresses = 1;                          // SO_REUSEADDR of new sockets
};

// The environment's record, created in its initial state if missing.
GroupsockPrivate* groupsockPriv(UsageEnvironment& env);
// Deletes the record if it is in its initial state (no table, flag 1).
void reclaimGroupsockPriv(UsageEnvironment& env);

// While one exists, sockets set up through env do not enable address reuse.
class NoReuse {
 public:
  explicit NoReuse(UsageEnvironment& env);
  ~NoReuse();
  NoReuse(NoReuse const&) = delete;
  NoReuse& operator=(NoReuse const&) = delete;

 private:
  UsageEnvironment& env;
};

#endif
