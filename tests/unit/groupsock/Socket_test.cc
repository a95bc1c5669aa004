// The background read handler that every socket is read through.
#include "groupsock/Socket.hh"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/GroupsockTestSupport.hh"
#include "tests/unit/groupsock/InterpEnv.hh"

using namespace gstest;

namespace {

// A socket whose handleRead answers as told and records its buffer size.
class AnsweringSocket : public Socket {
 public:
  AnsweringSocket(UsageEnvironment& env, bool a) : Socket(env, Port(0)), answer(a) {}
  bool handleRead(unsigned char*, unsigned bufferMaxSize, unsigned&, sockaddr_in&) override {
    sizes.push_back(bufferMaxSize);
    return answer;
  }
  bool answer;
  std::vector<unsigned> sizes;
};

// Test that a false handleRead becomes exactly one background error, with
// the socket's message, and a true one none.
TEST(Socket, ReadHandlerReportsAFailedReadOnce) {
  REQUIRE_NETNS();
  for (bool answer : {false, true}) {
    TestEnv env;
    AnsweringSocket sock(env, answer);
    env.result = "broken";
    socketReadHandler(static_cast<Socket*>(&sock), TaskScheduler::READABLE);
    EXPECT_EQ(sock.sizes, std::vector<unsigned>{51216});
    EXPECT_EQ(env.backgroundErrors,
              answer ? std::vector<std::string>{} : std::vector<std::string>{"broken"});
  }
}

// Test that a socket read in batches is drained up to the bound per
// readiness event, and the rest on the next.
TEST(Socket, ReadHandlerDrainsUpToItsBoundPerEvent) {
  REQUIRE_NETNS();
  TestEnv env;
  Groupsock groupsock(env, inAddr("239.1.2.3"), Port(5006), 16);
  PlainSocket sender;
  for (int i = 0; i < 100; ++i) sender.send("datagram", "127.0.0.1", 5006);
  socketReadHandler(static_cast<Socket*>(&groupsock), TaskScheduler::READABLE);
  EXPECT_EQ(groupsock.incomingStats().packetCount(), static_cast<float>(MAX_DATAGRAMS_PER_EVENT));
  socketReadHandler(static_cast<Socket*>(&groupsock), TaskScheduler::READABLE);
  EXPECT_EQ(groupsock.incomingStats().packetCount(), 100.0f);
  EXPECT_EQ(groupsock.incomingStats().byteCount(), 800.0f);
}

// Test that a groupsock flooded for as long as the test waits, read in the
// background by the event loop, leaves it to a timer that fires on time.
TEST(Socket, FloodedGroupsockDoesNotStarveATimer) {
  REQUIRE_NETNS();
  InterpEnv interpEnv;
  Groupsock groupsock(interpEnv.env, inAddr("239.1.2.3"), Port(5008), 16);
  interpEnv.env.getScheduler().setBackgroundHandling(groupsock.socketNum(), TaskScheduler::READABLE,
                                                     socketReadHandler, &groupsock);
  std::atomic<bool> stop{false};
  std::thread flood([&stop] {
    PlainSocket sender;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int i = 0; i < 2000000 && !stop && std::chrono::steady_clock::now() < deadline; ++i) {
      sender.send("flood", "127.0.0.1", 5008);
    }
  });
  while (groupsock.incomingStats().packetCount() == 0) Tcl_DoOneEvent(TCL_ALL_EVENTS);

  bool fired = false;
  Tcl_CreateTimerHandler(
      200, [](ClientData flag) { *static_cast<bool*>(flag) = true; }, &fired);
  auto const start = std::chrono::steady_clock::now();
  while (!fired) Tcl_DoOneEvent(TCL_ALL_EVENTS);
  auto const ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  float const read = groupsock.incomingStats().packetCount();
  stop = true;
  flood.join();
  interpEnv.env.getScheduler().setBackgroundHandling(groupsock.socketNum(), 0, nullptr, nullptr);
  EXPECT_GE(ms, 200);
  EXPECT_LE(ms, 500);  // a generous bound for a shared machine
  EXPECT_GT(read, 1000.0f);
}

}  // namespace
