// A UDP port held in network byte order; a plain value passed by copy.
#ifndef VELDRA_GROUPSOCK_PORT_HH
#define VELDRA_GROUPSOCK_PORT_HH

class UsageEnvironment;

class Port {
 public:
  explicit Port(unsigned short hostOrderNum);
  unsigned short num() const { return portNum; }  // network order

 private:
  unsigned short portNum;
};

// Writes the port in host order, in decimal.
UsageEnvironment& operator<<(UsageEnvironment& env, Port const& port);

#endif
