// The interpreter channel over a groupsock's descriptor.
#include "commands/GroupsockChannel.hh"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unordered_map>

#include "commands/GroupsockCommands.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"

namespace {

// The channels not yet detached, by descriptor: at most one per descriptor,
// since a groupsock gets a channel once and its number stays held until
// that channel is closed.
std::unordered_map<int, GroupsockChannel*>& attachedChannels() {
  static auto* channels = new std::unordered_map<int, GroupsockChannel*>;
  return *channels;
}

// The groupsock over descriptor, whichever environment it belongs to (a
// descriptor number is held by one socket at a time), or nullptr.
Groupsock* groupsockOn(int descriptor) {
  GroupsockLookupTable::Iterator groupsocks(OurGroupsocks);
  while (Groupsock* groupsock = groupsocks.next()) {
    if (groupsock->socketNum() == descriptor) return groupsock;
  }
  return nullptr;
}

}  // namespace

#include "groupsock/SocketHelpers.hh"

Tcl_ChannelType const GroupsockChannel::channelType = {
    "groupsock",                      // typeName
    TCL_CHANNEL_VERSION_5,            // version
    GroupsockChannel::closeProc,      // closeProc
    GroupsockChannel::inputProc,      // inputProc
    GroupsockChannel::outputProc,     // outputProc
    nullptr,                          // seekProc: a socket cannot seek
    nullptr,                          // setOptionProc
    nullptr,                          // getOptionProc
    GroupsockChannel::watchProc,      // watchProc
    GroupsockChannel::getHandleProc,  // getHandleProc
    nullptr,                          // close2Proc
    GroupsockChannel::blockModeProc,  // blockModeProc
    nullptr,                          // flushProc
    nullptr,                          // handlerProc
    nullptr,                          // wideSeekProc
    nullptr,                          // threadActionProc
    nullptr,                          // truncateProc
};

GroupsockChannel::GroupsockChannel(int descriptor) : descriptor_(descriptor) {}

// Makes the channel, named as the interpreter library names a file channel
// over the same descriptor, which is the name scripts know a groupsock by.
Tcl_Channel GroupsockChannel::create(int descriptor) {
  char name[32];
  std::snprintf(name, sizeof name, "file%d", descriptor);
  auto* self = new GroupsockChannel(descriptor);
  self->channel_ = Tcl_CreateChannel(&channelType, name, self, TCL_READABLE | TCL_WRITABLE);
  if (self->channel_ == nullptr) {
    delete self;
    return nullptr;
  }
  attachedChannels()[descriptor] = self;
  return self->channel_;
}

// Stops our file handler and forgets the descriptor: a later watch, read,
// write or handle query finds -1 and touches no descriptor. While the number
// is free (the groupsock has closed it), a placeholder holds it until the
// channel is closed; if the groupsock's deletion had to wait, the groupsock
// closes the number later and it cannot be held.
void GroupsockChannel::detach(int descriptor) {
  auto found = attachedChannels().find(descriptor);
  if (found == attachedChannels().end()) return;
  GroupsockChannel* self = found->second;
  attachedChannels().erase(found);
  if (self->watching_) Tcl_DeleteFileHandler(descriptor);
  self->watching_ = false;
  self->descriptor_ = -1;
  if (fcntl(descriptor, F_GETFD) == -1) self->placeholder_ = holdNumber(descriptor);
}

// Opens /dev/null under number (close-on-exec); -1 when that fails.
int GroupsockChannel::holdNumber(int number) {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fd == number) return fd;
  int const held = dup2(fd, number);
  close(fd);
  if (held >= 0) fcntl(held, F_SETFD, FD_CLOEXEC);
  return held;
}

// Called by the interpreter library when the channel's last registration
// goes: a script closed it, or the last interpreter holding it was deleted.
// A channel still attached takes its groupsock with it, as groupsock_delete
// would; the descriptor is the groupsock's to close. A detached channel
// gives back the number its placeholder held.
int GroupsockChannel::closeProc(ClientData instanceData, Tcl_Interp*) {
  auto* self = static_cast<GroupsockChannel*>(instanceData);
  int const number = self->descriptor_;
  if (number >= 0) {
    attachedChannels().erase(number);
    if (self->watching_) Tcl_DeleteFileHandler(number);
    if (Groupsock* groupsock = groupsockOn(number)) Groupsock_discard(*groupsock);
  }
  if (self->placeholder_ >= 0) close(self->placeholder_);
  delete self;
  return 0;
}

// Reads what the descriptor has, as a file channel does; EBADF once detached.
int GroupsockChannel::inputProc(ClientData instanceData, char* buf, int toRead, int* errorCodePtr) {
  auto* self = static_cast<GroupsockChannel*>(instanceData);
  if (self->descriptor_ < 0) {
    *errorCodePtr = EBADF;
    return -1;
  }
  detachSocketFilter(self->descriptor_);  // the script reads our own datagrams too
  ssize_t const count = read(self->descriptor_, buf, static_cast<size_t>(toRead));
  if (count < 0) {
    *errorCodePtr = errno;
    return -1;
  }
  return static_cast<int>(count);
}

// Writes to the descriptor, as a file channel does; EBADF once detached.
int GroupsockChannel::outputProc(ClientData instanceData, char const* buf, int toWrite,
                                 int* errorCodePtr) {
  auto* self = static_cast<GroupsockChannel*>(instanceData);
  if (self->descriptor_ < 0) {
    *errorCodePtr = EBADF;
    return -1;
  }
  ssize_t const count = write(self->descriptor_, buf, static_cast<size_t>(toWrite));
  if (count < 0) {
    *errorCodePtr = errno;
    return -1;
  }
  return static_cast<int>(count);
}

// Watches the descriptor for the conditions fileevent asks for (mask 0: none).
//
// The interpreter keeps one file handler per descriptor, and background read
// handling of the groupsock (groupsock_turnOnBackgroundReadHandling) uses
// that same handler: whichever of the two registers last replaces the other,
// and turning either off stops both. We delete the handler only when it was
// ours to begin with, because the library calls this with mask 0 after
// ordinary reads on a channel that nobody watches.
void GroupsockChannel::watchProc(ClientData instanceData, int mask) {
  auto* self = static_cast<GroupsockChannel*>(instanceData);
  if (self->descriptor_ < 0) return;
  if (mask != 0) {
    // The script reads from now on, our own datagrams too: the background
    // reader's filter that keeps them out goes (see Groupsock).
    detachSocketFilter(self->descriptor_);
    Tcl_CreateFileHandler(self->descriptor_, mask, fileReady, self);
    self->watching_ = true;
  } else if (self->watching_) {
    Tcl_DeleteFileHandler(self->descriptor_);
    self->watching_ = false;
  }
}

// The descriptor, in both directions; fails once detached.
int GroupsockChannel::getHandleProc(ClientData instanceData, int, ClientData* handlePtr) {
  auto* self = static_cast<GroupsockChannel*>(instanceData);
  if (self->descriptor_ < 0) return TCL_ERROR;
  *handlePtr = reinterpret_cast<ClientData>(static_cast<intptr_t>(self->descriptor_));
  return TCL_OK;
}

// fconfigure -blocking: sets or clears O_NONBLOCK, as a file channel does.
// Returns 0 or the error number.
int GroupsockChannel::blockModeProc(ClientData instanceData, int mode) {
  auto* self = static_cast<GroupsockChannel*>(instanceData);
  if (self->descriptor_ < 0) return 0;  // nothing left to configure
  int flags = fcntl(self->descriptor_, F_GETFL);
  if (flags < 0) return errno;
  if (mode == TCL_MODE_NONBLOCKING)
    flags |= O_NONBLOCK;
  else
    flags &= ~O_NONBLOCK;
  return fcntl(self->descriptor_, F_SETFL, flags) < 0 ? errno : 0;
}

// The file handler of a watch: tells the library the channel is ready.
void GroupsockChannel::fileReady(ClientData instanceData, int mask) {
  Tcl_NotifyChannel(static_cast<GroupsockChannel*>(instanceData)->channel_, mask);
}
