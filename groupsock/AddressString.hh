// The dotted text of an IPv4 address.
#ifndef VELDRA_GROUPSOCK_ADDRESSSTRING_HH
#define VELDRA_GROUPSOCK_ADDRESSSTRING_HH

#include <netinet/in.h>

class AddressString {
 public:
  explicit AddressString(sockaddr_in const& addr);
  explicit AddressString(in_addr const& addr);
  explicit AddressString(unsigned addr);  // network order
  virtual ~AddressString();
  AddressString(AddressString const&) = delete;
  AddressString& operator=(AddressString const&) = delete;

  char const* val() const { return text; }

 private:
  void init(unsigned addr);

  char* text;  // 16 bytes: "255.255.255.255" and its terminator fill it
};

#endif
