// Tables keyed by two addresses and a port (a group, a source filter or all
// ones, and a port). They never own or delete their values.
#ifndef VELDRA_GROUPSOCK_ADDRESSPORTLOOKUPTABLE_HH
#define VELDRA_GROUPSOCK_ADDRESSPORTLOOKUPTABLE_HH

#include "groupsock/Port.hh"
#include "runtime/TypedHashTable.hh"

// address1, address2 (both network order) and the port's network-order
// value zero-extended to 32 bits, one word each. A value that carries its
// own key (groupAddress(), sourceFilterAddr(), port()) makes it too.
struct AddressPortKey : WordsKey<3> {
  AddressPortKey(unsigned address1, unsigned address2, Port port)
      : WordsKey<3>{{address1, address2, port.num()}} {}
  template <class Keyed>
  explicit AddressPortKey(Keyed const* value)
      : AddressPortKey(value->groupAddress(), value->sourceFilterAddr(), value->port()) {}
};

template <class Value>
using AddressPortLookupTable = TypedHashTable<Value, AddressPortKey>;

#endif
