// The roots of the endpoint tree, and the member set of a groupsock.
#include "groupsock/NetInterface.hh"

#include <cstdint>

UsageEnvironment* NetInterface::DefaultUsageEnvironment = nullptr;

namespace {

// A member is stored under its own address, as a one-word key.
char const* memberKey(DirectedNetInterface const* interf) {
  return reinterpret_cast<char const*>(interf);
}

}  // namespace

NetInterface::~NetInterface() {}

DirectedNetInterface::~DirectedNetInterface() {}

// An empty set.
DirectedNetInterfaceSet::DirectedNetInterfaceSet()
    : table(HashTable::create(HashTable::ONE_WORD_KEYS)) {}

// Releases the table only; the members are not told.
DirectedNetInterfaceSet::~DirectedNetInterfaceSet() { delete table; }

// Stores interf under itself. Since key and value are the same, the table
// never gives back a displaced value: the result is always nullptr.
DirectedNetInterface* DirectedNetInterfaceSet::Add(DirectedNetInterface const* interf) {
  return static_cast<DirectedNetInterface*>(
      table->Add(memberKey(interf), const_cast<DirectedNetInterface*>(interf)));
}

// True if interf was a member. Safe for the member an iterator has just
// returned, since iterators fetch the following entry ahead.
bool DirectedNetInterfaceSet::Remove(DirectedNetInterface const* interf) {
  return table->Remove(memberKey(interf));
}

DirectedNetInterfaceSet::Iterator::Iterator(DirectedNetInterfaceSet& interfaces)
    : iter(HashTable::Iterator::create(*interfaces.table)) {}

// Releases the walk's state; the set itself is not touched.
DirectedNetInterfaceSet::Iterator::~Iterator() { delete iter; }

// The next member in the table's order, or nullptr at the end.
DirectedNetInterface* DirectedNetInterfaceSet::Iterator::next() {
  char const* key;
  return static_cast<DirectedNetInterface*>(iter->next(key));
}
