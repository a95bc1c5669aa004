// The roots of the endpoint tree.
#include "groupsock/NetInterface.hh"

UsageEnvironment* NetInterface::DefaultUsageEnvironment = nullptr;

NetInterface::~NetInterface() {}

DirectedNetInterface::~DirectedNetInterface() {}
