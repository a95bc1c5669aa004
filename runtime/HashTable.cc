// The abstract keyed table; its only implementation is TclHashTable.
#include "runtime/HashTable.hh"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "runtime/TclHashTable.hh"

// A new, empty table with keys of keyType, owned by the caller.
HashTable* HashTable::create(int keyType) { return new TclHashTable(keyType); }

HashTable::~HashTable() {}

// Removes the entry the iteration would return first and returns its
// value; nullptr when the table is empty.
void* HashTable::RemoveNext() {
  std::unique_ptr<Iterator> iter(Iterator::create(*this));
  char const* key;
  void* value = iter->next(key);
  if (value != nullptr) Remove(key);
  return value;
}

// The value the iteration would return first, or nullptr; nothing changes.
void* HashTable::getFirst() {
  std::unique_ptr<Iterator> iter(Iterator::create(*this));
  char const* key;
  return iter->next(key);
}

// A new iterator over hashTable, owned by the caller. Tables come only from
// HashTable::create, so anything else is an internal error.
HashTable::Iterator* HashTable::Iterator::create(HashTable const& hashTable) {
  auto const* table = dynamic_cast<TclHashTable const*>(&hashTable);
  if (table == nullptr) {
    std::fprintf(stderr, "HashTable::Iterator::create: not a TclHashTable\n");
    std::abort();
  }
  return new TclHashTable::Iterator(*table);
}

HashTable::Iterator::~Iterator() {}
