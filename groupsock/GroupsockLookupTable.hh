// Every groupsock of the process, by (group, source filter or all ones,
// port), and by socket descriptor through the environment's private record.
// The table creates and registers groupsocks (Fetch, FetchForScript) and
// unregisters and deletes them (Discard); a groupsock that could not be
// registered never leaves it.
#ifndef VELDRA_GROUPSOCK_GROUPSOCKLOOKUPTABLE_HH
#define VELDRA_GROUPSOCK_GROUPSOCKLOOKUPTABLE_HH

#include "groupsock/AddressPortLookupTable.hh"

class Groupsock;
class UsageEnvironment;

class GroupsockLookupTable {
 public:
  // The groupsock for the group, source filter (all ones: any source) and
  // port (isNew false), or a new one, registered (isNew true). An existing
  // groupsock is returned whatever time-to-live is asked for; a new
  // any-source one gets ttl, a source-specific one 255. nullptr when a new
  // one could not be set up or its descriptor is registered to another
  // groupsock: it is deleted here, its reason the result message.
  Groupsock* Fetch(UsageEnvironment& env, unsigned groupAddress, unsigned sourceFilterAddr,
                   Port port, unsigned char ttl, bool& isNew);
  // Fetch for a script that creates a groupsock: a new one, or one a tunnel
  // made for its peer, which the script takes over (its background reading
  // ends, it is no longer tunnel-owned, its members stay, and ttl does not
  // apply to it). A groupsock a script made already is refused: nullptr
  // with "address/port <group>/<port> is already in use" (or
  // "(address,source)/port (<group>,<source>)/<port> is already in use").
  Groupsock* FetchForScript(UsageEnvironment& env, unsigned groupAddress, unsigned sourceFilterAddr,
                            Port port, unsigned char ttl, bool& isNew);
  // Ends the groupsock: its background reading off, out of the table, and
  // deleted (later, if it is inside its own relay loop).
  void Discard(Groupsock* groupsock);

  Groupsock* Lookup(unsigned groupAddress, Port port);
  Groupsock* Lookup(unsigned groupAddress, unsigned sourceFilterAddr, Port port);
  Groupsock* Lookup(UsageEnvironment& env, int sock);
  // Unregisters without deleting; see Discard.
  bool Remove(Groupsock const* groupsock);

  // Walks the groupsocks; the one just returned may be removed before next().
  class Iterator : public AddressPortLookupTable<Groupsock>::Iterator {
   public:
    explicit Iterator(GroupsockLookupTable& groupsocks)
        : AddressPortLookupTable<Groupsock>::Iterator(groupsocks.table) {}
  };

 private:
  Groupsock* AddNew(UsageEnvironment& env, unsigned groupAddress, unsigned sourceFilterAddr,
                    Port port, unsigned char ttl);

  AddressPortLookupTable<Groupsock> table;
};

// Every groupsock of the process. Built at start and never destroyed: at
// exit the interpreter library, whose allocator holds the table's entries,
// has already been finalised. No groupsock is deleted at exit either.
extern GroupsockLookupTable& OurGroupsocks;

#endif
