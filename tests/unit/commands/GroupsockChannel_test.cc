// The groupsock channel's hold on its descriptor: it never closes it, and
// once detached it never touches that number again, which stays taken until
// the channel is closed.
#include "commands/GroupsockChannel.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/Netns.hh"

namespace {

// A UDP socket bound to 127.0.0.1 and a port the system chooses.
int boundSocket(sockaddr_in& address) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    ADD_FAILURE() << "cannot bind a test socket";
  return fd;
}

void sendTo(sockaddr_in const& address, char const* text) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sendto(fd, text, strlen(text), 0, reinterpret_cast<sockaddr const*>(&address), sizeof address);
  close(fd);
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A file or channel handler that counts its calls in *clientData.
void countCall(ClientData clientData, int) { ++*static_cast<int*>(clientData); }

// Dispatches at most one file event that is ready now (a handler that does
// not read leaves its descriptor ready, so one call at a time).
void dispatchOneFileEvent() { Tcl_DoOneEvent(TCL_FILE_EVENTS | TCL_DONT_WAIT); }

TEST(GroupsockChannel, ReadingAndClosingLeaveTheDescriptorAndItsBackgroundReading) {
  REQUIRE_NETNS();
  sockaddr_in address;
  int fd = boundSocket(address);
  int backgroundCalls = 0;  // stands for the groupsock's background reading
  Tcl_CreateFileHandler(fd, TCL_READABLE, countCall, &backgroundCalls);
  Tcl_Channel channel = GroupsockChannel::create(fd);
  Tcl_RegisterChannel(nullptr, channel);
  // A script's read and close: the library tells the channel to watch
  // nothing, which must not stop a file handler the channel did not make.
  Tcl_SetChannelOption(nullptr, channel, "-blocking", "0");
  char text[4];
  EXPECT_EQ(Tcl_Read(channel, text, sizeof text), 0);
  Tcl_UnregisterChannel(nullptr, channel);

  EXPECT_TRUE(isOpen(fd));
  sendTo(address, "x");
  dispatchOneFileEvent();
  EXPECT_EQ(backgroundCalls, 1);
  Tcl_DeleteFileHandler(fd);
  close(fd);
}

TEST(GroupsockChannel, DetachedChannelNeverTouchesAReusedDescriptor) {
  REQUIRE_NETNS();
  sockaddr_in oldAddress;
  int fd = boundSocket(oldAddress);
  Tcl_Channel channel = GroupsockChannel::create(fd);
  Tcl_RegisterChannel(nullptr, channel);
  EXPECT_EQ(std::string(Tcl_GetChannelName(channel)), "file" + std::to_string(fd));
  ClientData handle;
  ASSERT_EQ(Tcl_GetChannelHandle(channel, TCL_READABLE, &handle), TCL_OK);
  EXPECT_EQ(reinterpret_cast<intptr_t>(handle), fd);
  int oldCalls = 0;
  Tcl_CreateChannelHandler(channel, TCL_READABLE, countCall, &oldCalls);

  // The groupsock goes; a new socket gets another number, since the
  // detached channel's placeholder holds this one.
  close(fd);
  GroupsockChannel::detach(fd);
  sockaddr_in newAddress;
  int newFd = boundSocket(newAddress);
  ASSERT_NE(newFd, fd);
  int newCalls = 0;
  Tcl_CreateFileHandler(newFd, TCL_READABLE, countCall, &newCalls);

  EXPECT_EQ(Tcl_GetChannelHandle(channel, TCL_READABLE, &handle), TCL_ERROR);
  char text[4];
  EXPECT_EQ(Tcl_Read(channel, text, sizeof text), -1);
  EXPECT_EQ(Tcl_GetErrno(), EBADF);
  Tcl_Write(channel, "x", 1);
  EXPECT_EQ(Tcl_Flush(channel), TCL_ERROR);
  EXPECT_EQ(Tcl_GetErrno(), EBADF);
  EXPECT_EQ(Tcl_SetChannelOption(nullptr, channel, "-blocking", "0"), TCL_OK);
  EXPECT_EQ(fcntl(newFd, F_GETFL) & O_NONBLOCK, 0);

  // Dropping the watch and closing the channel leave the new socket alone.
  Tcl_DeleteChannelHandler(channel, countCall, &oldCalls);
  Tcl_UnregisterChannel(nullptr, channel);
  EXPECT_TRUE(isOpen(newFd));
  sendTo(newAddress, "new");
  dispatchOneFileEvent();
  EXPECT_EQ(newCalls, 1);
  EXPECT_EQ(oldCalls, 0);
  Tcl_DeleteFileHandler(newFd);
  close(newFd);
}

TEST(GroupsockChannel, DetachedSharedChannelKeepsItsNumberTakenUntilClosed) {
  REQUIRE_NETNS();
  sockaddr_in address;
  int fd = boundSocket(address);
  Tcl_Channel channel = GroupsockChannel::create(fd);
  Tcl_RegisterChannel(nullptr, channel);  // the deleting interpreter
  Tcl_RegisterChannel(nullptr, channel);  // another one that holds on to it
  close(fd);
  GroupsockChannel::detach(fd);
  Tcl_UnregisterChannel(nullptr, channel);

  // No new socket may be called "file<fd>" while the old channel lives.
  int other = boundSocket(address);
  EXPECT_NE(other, fd);
  EXPECT_EQ(Tcl_Read(channel, reinterpret_cast<char*>(&address), 1), -1);  // not the placeholder
  Tcl_UnregisterChannel(nullptr, channel);
  int again = boundSocket(address);
  EXPECT_EQ(again, fd);
  close(again);
  close(other);
}

}  // namespace
