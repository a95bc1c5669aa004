// The host's own address, found once per process by looping a test
// datagram back through multicast, and the clock text of trace lines.
#ifndef VELDRA_GROUPSOCK_OURIPADDRESS_HH
#define VELDRA_GROUPSOCK_OURIPADDRESS_HH

class UsageEnvironment;

// The host's address in network order, or 0 when none could be found (the
// result message then tells why). The first successful call caches it; a
// call that finds none tries again next time, waiting up to 5 seconds for
// the looped-back test datagram.
unsigned ourIPAddress(UsageEnvironment& env);

// Whether the last discovery saw its test datagram come back from a usable
// source address.
extern bool loopbackWorks;

// A random source-specific group in 232.0.1.0 to 232.255.255.254, network order.
unsigned chooseRandomIPv4SSMAddress(UsageEnvironment& env);

// The local clock time as "hh:mm:ss", in a static buffer that the next call
// overwrites.
char const* timestampString();

// Forgets the cached own address, so that the next call discovers again.
// For tests.
void forgetOurIPAddress();

#endif
