// The tunnel socket itself: set-up, trace lines, failure, reference count.
#include "tunnel/UDPtunnelSocket.hh"

#include <sys/socket.h>

#include "tests/unit/tunnel/TunnelTestSupport.hh"

namespace tunneltest {
namespace {

using UDPtunnelSocketTest = TunnelTest;

TEST_F(UDPtunnelSocketTest, CreationAndDeletionAreTracedAtLevel2) {
  Socket::DebugLevel = 2;
  testing::internal::CaptureStderr();
  delete new UDPtunnelSocket(*env, Port(9875));
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              testing::MatchesRegex("[0-9:]{8} UDPtunnelSocket\\(9875\\): created\n"
                                    "[0-9:]{8} UDPtunnelSocket\\(9875\\): deleting\n"));
  Socket::DebugLevel = 1;
  testing::internal::CaptureStderr();
  delete new UDPtunnelSocket(*env, Port(9875));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(UDPtunnelSocketTest, KernelBuffersAreRaised) {
  UDPtunnelSocket* sock = openSocket();
  for (int option : {SO_SNDBUF, SO_RCVBUF}) {
    int size = 0;
    socklen_t length = sizeof size;
    ASSERT_EQ(getsockopt(sock->socketNum(), SOL_SOCKET, option, &size, &length), 0);
    EXPECT_GE(size, 262144) << option;
  }
}

TEST_F(UDPtunnelSocketTest, PortThatCannotBeBoundGivesNoSocket) {
  int blocker = socket(AF_INET, SOCK_DGRAM, 0);  // bound without address reuse
  sockaddr_in a = endpoint("0.0.0.0", 10102);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  bool isNew = true;
  EXPECT_EQ(OurTunnelSockets.Fetch(*env, Port(10102), isNew), nullptr);
  EXPECT_FALSE(isNew);
  EXPECT_NE(resultMsg(), "");
  close(blocker);
  EXPECT_NE(openSocket(10102), nullptr);  // nothing was stored meanwhile
}

TEST_F(UDPtunnelSocketTest, ReferenceCountNeverGoesBelowZero) {
  UDPtunnelSocket* sock = openSocket();
  bool isNew;
  EXPECT_EQ(OurTunnelSockets.Fetch(*env, Port(TUNNEL_PORT), isNew), sock);
  EXPECT_FALSE(isNew);
  EXPECT_EQ(sock->decrementReferenceCount(), 0u);
  EXPECT_EQ(sock->referenceCount(), 0u);
  sock->incrementReferenceCount();
  sock->incrementReferenceCount();
  EXPECT_EQ(sock->decrementReferenceCount(), 1u);
  EXPECT_EQ(sock->decrementReferenceCount(), 0u);
}

}  // namespace
}  // namespace tunneltest
