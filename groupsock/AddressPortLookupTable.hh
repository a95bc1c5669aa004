// A table keyed by two addresses and a port (a group, a source filter or all
// ones, and a port). It never owns or deletes its values.
#ifndef VELDRA_GROUPSOCK_ADDRESSPORTLOOKUPTABLE_HH
#define VELDRA_GROUPSOCK_ADDRESSPORTLOOKUPTABLE_HH

#include "groupsock/Port.hh"
#include "runtime/HashTable.hh"

class AddressPortLookupTable {
 public:
  AddressPortLookupTable();
  virtual ~AddressPortLookupTable();
  AddressPortLookupTable(AddressPortLookupTable const&) = delete;
  AddressPortLookupTable& operator=(AddressPortLookupTable const&) = delete;

  // Returns the value previously stored under the key, or nullptr.
  void* Add(unsigned address1, unsigned address2, Port port, void* value);
  bool Remove(unsigned address1, unsigned address2, Port port);
  void* Lookup(unsigned address1, unsigned address2, Port port);

  // Walks the values; the one just returned may be removed before next().
  class Iterator {
   public:
    explicit Iterator(AddressPortLookupTable& table);
    virtual ~Iterator();
    void* next();  // nullptr at the end

   private:
    HashTable::Iterator* iter;
  };

 private:
  friend class Iterator;
  HashTable* table;
};

#endif
