// HashTable on the interpreter library's hash tables.
#include "runtime/TclHashTable.hh"

// An empty table; the library copies text and multi-word keys into entries.
TclHashTable::TclHashTable(int keyType) : entryCount(0) { Tcl_InitHashTable(&table, keyType); }

// Releases the entries and their stored keys; the values are the owners'.
TclHashTable::~TclHashTable() { Tcl_DeleteHashTable(&table); }

// Stores value under key. Returns the value it displaced so that the caller
// can dispose of it; nullptr for a new key or an unchanged value.
void* TclHashTable::Add(char const* key, void* value) {
  int isNew;
  Tcl_HashEntry* entry = Tcl_CreateHashEntry(&table, key, &isNew);
  if (isNew) {
    ++entryCount;
    Tcl_SetHashValue(entry, value);
    return nullptr;
  }
  void* old = Tcl_GetHashValue(entry);
  if (old == value) return nullptr;
  Tcl_SetHashValue(entry, value);
  return old;
}

// Deletes the entry for key, if any; the value is left alone.
bool TclHashTable::Remove(char const* key) {
  Tcl_HashEntry* entry = Tcl_FindHashEntry(&table, key);
  if (entry == nullptr) return false;
  --entryCount;
  Tcl_DeleteHashEntry(entry);
  return true;
}

// The value stored under key, or nullptr.
void* TclHashTable::Lookup(char const* key) const {
  Tcl_HashEntry* entry = Tcl_FindHashEntry(&table, key);
  return entry == nullptr ? nullptr : Tcl_GetHashValue(entry);
}

// Starts the walk with the first entry already fetched.
TclHashTable::Iterator::Iterator(TclHashTable const& hashTable)
    : table(hashTable), nextEntry(Tcl_FirstHashEntry(&hashTable.table, &search)) {}

// Returns the prefetched entry's value and fetches the one after it first,
// so the caller may delete the entry returned before calling again.
void* TclHashTable::Iterator::next(char const*& key) {
  Tcl_HashEntry* entry = nextEntry;
  if (entry == nullptr) return nullptr;
  key = static_cast<char const*>(Tcl_GetHashKey(&table.table, entry));
  nextEntry = Tcl_NextHashEntry(&search);
  return Tcl_GetHashValue(entry);
}
