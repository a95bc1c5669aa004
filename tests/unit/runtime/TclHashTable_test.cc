// The table for each key type: add/replace/remove, copied keys, RemoveNext,
// and an iteration that removes each entry as it goes.
#include "runtime/TclHashTable.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace {

// Key number i in the form a table of the given key type takes.
struct Key {
  Key(int keyType, long i) : type(keyType), text("key" + std::to_string(i)) {
    words[0] = static_cast<uint32_t>(i), words[1] = ~words[0];
  }
  char const* get() const {
    if (type == HashTable::STRING_KEYS) return text.c_str();
    if (type == HashTable::ONE_WORD_KEYS)
      return reinterpret_cast<char const*>(uintptr_t{words[0]} + 1);
    return reinterpret_cast<char const*>(words);
  }
  // Whether k, from an iterator, is this key: the value itself for one-word
  // keys, else the table's own copy.
  bool isReportedAs(char const* k) const {
    if (type == HashTable::ONE_WORD_KEYS) return k == get();
    size_t const size = type == HashTable::STRING_KEYS ? text.size() + 1 : sizeof words;
    return k != get() && std::memcmp(k, get(), size) == 0;
  }
  int type;
  std::string text;
  uint32_t words[2];
};

class TclHashTableTest : public testing::TestWithParam<int> {};

TEST_P(TclHashTableTest, AddReturnsOnlyADisplacedValue) {
  int const type = GetParam();
  TclHashTable table(type);
  int v1, v2;
  Key key(type, 7);
  EXPECT_EQ(table.Add(key.get(), &v1), nullptr);
  EXPECT_EQ(table.Add(key.get(), &v1), nullptr);
  EXPECT_EQ(table.Add(Key(type, 7).get(), &v2), &v1);
  EXPECT_EQ(table.numEntries(), 1u);
  key.text[0] = 'K', key.words[0] = 99;  // the table holds its own copy
  EXPECT_EQ(table.Lookup(Key(type, 7).get()), &v2);
  EXPECT_FALSE(table.Remove(Key(type, 8).get()));
  EXPECT_TRUE(table.Remove(Key(type, 7).get()));
  EXPECT_EQ(table.numEntries(), 0u);
  EXPECT_EQ(table.Lookup(Key(type, 7).get()), nullptr);
}

TEST_P(TclHashTableTest, IterationMayRemoveTheEntryJustReturned) {
  int const type = GetParam();
  constexpr int N = 200;  // enough to make the library rebuild its buckets
  int values[N];
  TclHashTable table(type);
  for (int i = 0; i < N; ++i) table.Add(Key(type, i).get(), &values[i]);

  void* first = table.getFirst();  // what RemoveNext takes, as a peek
  EXPECT_EQ(table.RemoveNext(), first);
  EXPECT_EQ(table.Lookup(Key(type, static_cast<int*>(first) - values).get()), nullptr);
  table.Add(Key(type, static_cast<int*>(first) - values).get(), first);

  std::set<long> seen;
  std::unique_ptr<HashTable::Iterator> iter(HashTable::Iterator::create(table));
  char const* key = nullptr;
  while (void* value = iter->next(key)) {
    long const i = static_cast<int*>(value) - values;
    EXPECT_TRUE(Key(type, i).isReportedAs(key)) << i;
    EXPECT_TRUE(seen.insert(i).second) << i;
    EXPECT_TRUE(table.Remove(key));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(N));
  EXPECT_EQ(table.numEntries(), 0u);
  key = "untouched";
  EXPECT_EQ(iter->next(key), nullptr);
  EXPECT_STREQ(key, "untouched");
  EXPECT_EQ(table.RemoveNext(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, TclHashTableTest, testing::Values(0, 1, 2));

}  // namespace
