// The interpreter channel through which scripts name a groupsock: "file"
// followed by the socket descriptor, readable and writable, its handle the
// descriptor. The groupsock owns the descriptor; the channel never closes it
// itself. Closing the channel (a script's close, or its interpreter going)
// deletes the groupsock over the descriptor, as groupsock_delete does. Once
// the groupsock is deleted the channel is detached from the descriptor, so
// that a channel still held somewhere can never touch a descriptor number
// the system has meanwhile handed to a new socket.
#ifndef VELDRA_COMMANDS_GROUPSOCKCHANNEL_HH
#define VELDRA_COMMANDS_GROUPSOCKCHANNEL_HH

#include <tcl.h>

class GroupsockChannel {
 public:
  // A new channel over descriptor, named "file<descriptor>", not yet
  // registered in any interpreter. The channel owns this object: its close
  // procedure deletes it, and with it the groupsock over the descriptor if
  // there is one (which closes the descriptor); it never closes the
  // descriptor itself.
  static Tcl_Channel create(int descriptor);

  // Cuts the channel over descriptor, if one is still attached to it, loose
  // once the groupsock has closed the descriptor (or is about to, when its
  // deletion has to wait): stops any watch that fileevent set up, then makes
  // further I/O fail with EBADF and the handle query fail. The channel lives
  // on in the interpreters that hold it, under the name "file<number>", and
  // the interpreter library aborts the process when a second channel of one
  // name is registered in an interpreter; so until the channel is closed, a
  // placeholder of ours keeps the number taken.
  static void detach(int descriptor);

  GroupsockChannel(GroupsockChannel const&) = delete;
  GroupsockChannel& operator=(GroupsockChannel const&) = delete;

 private:
  explicit GroupsockChannel(int descriptor);

  // The channel driver (see Tcl_CreateChannel).
  static int closeProc(ClientData instanceData, Tcl_Interp* interp);
  static int inputProc(ClientData instanceData, char* buf, int toRead, int* errorCodePtr);
  static int outputProc(ClientData instanceData, char const* buf, int toWrite, int* errorCodePtr);
  static void watchProc(ClientData instanceData, int mask);
  static int getHandleProc(ClientData instanceData, int direction, ClientData* handlePtr);
  static int blockModeProc(ClientData instanceData, int mode);
  static void fileReady(ClientData instanceData, int mask);
  static int holdNumber(int number);

  static Tcl_ChannelType const channelType;

  int descriptor_;
  int placeholder_ = -1;  // holds the number of a detached, shared channel
  Tcl_Channel channel_ = nullptr;
  bool watching_ = false;  // we have a file handler on the descriptor for fileevent
};

#endif
