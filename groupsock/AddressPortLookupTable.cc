// A table keyed by two addresses and a port.
#include "groupsock/AddressPortLookupTable.hh"

#include <cstdint>

namespace {

// The key: address1, address2 (both network order) and the port's
// network-order value zero-extended to 32 bits, one word each.
constexpr int KEY_WORDS = 3;

struct Key {
  uint32_t words[KEY_WORDS];

  Key(unsigned address1, unsigned address2, Port port) : words{address1, address2, port.num()} {}

  char const* text() const { return reinterpret_cast<char const*>(words); }
};

static_assert(sizeof(Key) == KEY_WORDS * sizeof(uint32_t), "keys are three packed words");
static_assert(sizeof(int) == sizeof(uint32_t), "the hash table's key words are ints");

}  // namespace

AddressPortLookupTable::AddressPortLookupTable() : table(HashTable::create(KEY_WORDS)) {}

// Deletes the table; the values are the callers'.
AddressPortLookupTable::~AddressPortLookupTable() { delete table; }

// Stores value under the key. Returns the value it replaced, or nullptr.
void* AddressPortLookupTable::Add(unsigned address1, unsigned address2, Port port, void* value) {
  return table->Add(Key(address1, address2, port).text(), value);
}

// True if an entry was removed; the value is not touched.
bool AddressPortLookupTable::Remove(unsigned address1, unsigned address2, Port port) {
  return table->Remove(Key(address1, address2, port).text());
}

// The value stored under the key, or nullptr.
void* AddressPortLookupTable::Lookup(unsigned address1, unsigned address2, Port port) {
  return table->Lookup(Key(address1, address2, port).text());
}

AddressPortLookupTable::Iterator::Iterator(AddressPortLookupTable& table)
    : iter(HashTable::Iterator::create(*table.table)) {}

AddressPortLookupTable::Iterator::~Iterator() { delete iter; }

// The next value, or nullptr at the end. The value just returned may be
// removed from the table before the next call.
void* AddressPortLookupTable::Iterator::next() {
  char const* key;
  return iter->next(key);
}
