// The background read handler that every socket is read through.
#include "groupsock/Socket.hh"

#include <gtest/gtest.h>

#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/GroupsockTestSupport.hh"

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

}  // namespace
