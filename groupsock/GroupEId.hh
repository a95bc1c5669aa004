// The identity of a group: address, source filter (all ones for any
// source), port and scope.
#ifndef VELDRA_GROUPSOCK_GROUPEID_HH
#define VELDRA_GROUPSOCK_GROUPEID_HH

#include <netinet/in.h>

class Scope {
 public:
  explicit Scope(unsigned char ttl, char const* key = nullptr);  // nullptr key: "nokey"
  Scope(Scope const& orig);
  Scope& operator=(Scope const& rightSide);
  ~Scope();

  void assign(unsigned char ttl, char const* key);
  void clean();  // frees the key, leaving none

  unsigned char ttl() const { return ttl_; }
  char const* key() const { return key_; }
  unsigned publicKeySize() const;

 private:
  unsigned char ttl_;
  char* key_;
};

class GroupEId {
 public:
  // Any source.
  GroupEId(in_addr const& groupAddress, unsigned short portNum, Scope const& scope,
           unsigned addressCount = 1);
  // Source-specific; the scope's time-to-live is 255.
  GroupEId(in_addr const& groupAddress, in_addr const& sourceFilterAddress, unsigned short portNum,
           unsigned addressCount = 1);
  GroupEId();  // scope 0, "nokey"; the other fields unset

  void init(in_addr const& groupAddress, in_addr const& sourceFilterAddress, unsigned short portNum,
            Scope const& scope, unsigned addressCount);

  in_addr const& groupAddress() const { return groupAddress_; }
  in_addr const& sourceFilterAddress() const { return sourceFilterAddress_; }
  bool isSSM() const;
  unsigned addressCount() const { return addressCount_; }
  unsigned short portNum() const { return portNum_; }  // network order
  Scope const& scope() const { return scope_; }

 private:
  in_addr groupAddress_;
  in_addr sourceFilterAddress_;
  unsigned addressCount_;
  unsigned short portNum_;
  Scope scope_;
};

#endif
