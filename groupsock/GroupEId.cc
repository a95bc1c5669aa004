// Group identities and their scopes.
#include "groupsock/GroupEId.hh"

#include <cstring>

#include "groupsock/NetAddress.hh"
#include "runtime/strDup.hh"

namespace {

char const* const NO_KEY = "nokey";

// Whether two keys (either possibly none) hold the same text.
bool sameKey(char const* a, char const* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

}  // namespace

// A scope with its own copy of key, or of "nokey" when there is none.
Scope::Scope(unsigned char ttl, char const* key)
    : ttl_(ttl), key_(strDup(key != nullptr ? key : NO_KEY)) {}

Scope::Scope(Scope const& orig) : ttl_(orig.ttl_), key_(strDup(orig.key_)) {}

// Copies the time-to-live; the key is duplicated only when the texts differ.
Scope& Scope::operator=(Scope const& rightSide) {
  if (&rightSide == this) return *this;
  ttl_ = rightSide.ttl_;
  if (!sameKey(key_, rightSide.key_)) {
    delete[] key_;
    key_ = strDup(rightSide.key_);
  }
  return *this;
}

Scope::~Scope() { delete[] key_; }

// Sets both; the key is copied (before the old one goes, as it may be key).
void Scope::assign(unsigned char ttl, char const* key) {
  char* newKey = strDup(key != nullptr ? key : NO_KEY);
  delete[] key_;
  key_ = newKey;
  ttl_ = ttl;
}

// Frees the key, leaving none.
void Scope::clean() {
  delete[] key_;
  key_ = nullptr;
}

// The key's length, 0 when there is none.
unsigned Scope::publicKeySize() const {
  return key_ == nullptr ? 0 : static_cast<unsigned>(std::strlen(key_));
}

// An any-source group.
GroupEId::GroupEId(in_addr const& groupAddress, unsigned short portNum, Scope const& scope,
                   unsigned addressCount)
    : scope_(scope) {
  in_addr noSourceFilter;
  noSourceFilter.s_addr = NO_SOURCE_FILTER;
  init(groupAddress, noSourceFilter, portNum, scope, addressCount);
}

// A source-specific group, whose scope's time-to-live is 255.
GroupEId::GroupEId(in_addr const& groupAddress, in_addr const& sourceFilterAddress,
                   unsigned short portNum, unsigned addressCount)
    : scope_(255) {
  init(groupAddress, sourceFilterAddress, portNum, scope_, addressCount);
}

// Scope 0 and "nokey"; the addresses are zero and the port 0 until init().
GroupEId::GroupEId()
    : groupAddress_{}, sourceFilterAddress_{}, addressCount_(0), portNum_(0), scope_(0) {}

// Sets every field; portNum is in network order.
void GroupEId::init(in_addr const& groupAddress, in_addr const& sourceFilterAddress,
                    unsigned short portNum, Scope const& scope, unsigned addressCount) {
  groupAddress_ = groupAddress;
  sourceFilterAddress_ = sourceFilterAddress;
  addressCount_ = addressCount;
  portNum_ = portNum;
  scope_ = scope;
}

// True when the group has a source filter (all ones means none).
bool GroupEId::isSSM() const { return sourceFilterAddress_.s_addr != NO_SOURCE_FILTER; }
