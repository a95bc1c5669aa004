// The network layer's per-environment record.
#include "groupsock/GroupsockPrivate.hh"

#include "runtime/UsageEnvironment.hh"

namespace {

// No descriptor table and reuse enabled: the record says nothing that a
// fresh one would not, so it may be deleted and recreated at will.
bool isInitialState(GroupsockPrivate const& priv) {
  return priv.socketsByDescriptor == nullptr && priv.reuseAddresses == 1;
}

}  // namespace

// The environment's record, created in its initial state if the slot is empty.
GroupsockPrivate* groupsockPriv(UsageEnvironment& env) {
  if (env.groupsockPriv == nullptr) env.groupsockPriv = new GroupsockPrivate;
  return static_cast<GroupsockPrivate*>(env.groupsockPriv);
}

// Deletes the record and empties the slot if the record is in its initial
// state; otherwise nothing happens.
void reclaimGroupsockPriv(UsageEnvironment& env) {
  auto* priv = static_cast<GroupsockPrivate*>(env.groupsockPriv);
  if (priv == nullptr || !isInitialState(*priv)) return;
  delete priv;
  env.groupsockPriv = nullptr;
}

// Turns address and port reuse off for sockets set up through env.
NoReuse::NoReuse(UsageEnvironment& anEnv) : env(anEnv) { groupsockPriv(env)->reuseAddresses = 0; }

// Turns reuse back on and drops the record if nothing else needs it.
NoReuse::~NoReuse() {
  groupsockPriv(env)->reuseAddresses = 1;
  reclaimGroupsockPriv(env);
}
