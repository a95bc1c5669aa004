// Every groupsock of the process, by (group, source filter or all ones,
// port), and by socket descriptor through the environment's private record.
// The table owns none of them.
#ifndef VELDRA_GROUPSOCK_GROUPSOCKLOOKUPTABLE_HH
#define VELDRA_GROUPSOCK_GROUPSOCKLOOKUPTABLE_HH

#include "groupsock/AddressPortLookupTable.hh"

class Groupsock;
class UsageEnvironment;

class GroupsockLookupTable {
 public:
  // Finds or creates an any-source groupsock; an existing one is returned
  // whatever time-to-live is asked for.
  Groupsock* Fetch(UsageEnvironment& env, unsigned groupAddress, Port port, unsigned char ttl,
                   bool& isNew);
  // Finds or creates a source-specific groupsock.
  Groupsock* Fetch(UsageEnvironment& env, unsigned groupAddress, unsigned sourceFilterAddr,
                   Port port, bool& isNew);
  // Creates and registers a groupsock. One whose socket could not be set up
  // (negative descriptor) comes back unregistered and is the caller's.
  Groupsock* AddNew(UsageEnvironment& env, unsigned groupAddress, unsigned sourceFilterAddr,
                    Port port, unsigned char ttl);

  Groupsock* Lookup(unsigned groupAddress, Port port);
  Groupsock* Lookup(unsigned groupAddress, unsigned sourceFilterAddr, Port port);
  Groupsock* Lookup(UsageEnvironment& env, int sock);
  bool Remove(Groupsock const* groupsock);

  // Walks the groupsocks; the one just returned may be removed before next().
  class Iterator {
   public:
    explicit Iterator(GroupsockLookupTable& groupsocks);
    Groupsock* next();  // nullptr at the end

   private:
    AddressPortLookupTable::Iterator iter;
  };

 private:
  AddressPortLookupTable table;
};

// Every groupsock of the process. Built at start and never destroyed: at
// exit the interpreter library, whose allocator holds the table's entries,
// has already been finalised. No groupsock is deleted at exit either.
extern GroupsockLookupTable& OurGroupsocks;

#endif
