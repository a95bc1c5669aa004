// What the groupsock commands do with members, which scripts cannot add
// (only tunnels can): the take-over of a tunnel's groupsock, and the room
// that writes leave for the relay trailer; and the deletion of a slave's
// groupsocks in either order the interpreter may take. The rest is tested
// through the binary in tests/script/groupsock.test.
#include "commands/GroupsockCommands.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "runtime/TclUsageEnvironment.hh"
#include "tests/support/Netns.hh"

namespace {

// A member that takes every datagram and keeps the last one.
class RecordingMember : public DirectedNetInterface {
 public:
  bool write(unsigned char* data, unsigned numBytes) override {
    last.assign(data, data + numBytes);
    ++count;
    return true;
  }
  bool SourceAddrOKForRelaying(UsageEnvironment&, unsigned) override { return true; }

  std::vector<unsigned char> last;
  int count = 0;
};

class GroupsockCommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    interp = Tcl_CreateInterp();
    Groupsock_Init(interp, "veldra");
    env = TclUsageEnvironment::getEnvironFromInterp(interp, "veldra");
  }
  void TearDown() override { Tcl_DeleteInterp(interp); }

  // The result of script, which is expected to succeed.
  std::string eval(std::string const& script) {
    EXPECT_EQ(Tcl_Eval(interp, script.c_str()), TCL_OK) << Tcl_GetStringResult(interp);
    return Tcl_GetStringResult(interp);
  }

  Tcl_Interp* interp = nullptr;
  TclUsageEnvironment* env = nullptr;
};

// Sends text to group:port from a socket of its own, i.e. from another sender.
void sendToGroup(char const* group, unsigned short port, char const* text) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr(group);
  to.sin_port = htons(port);
  sendto(fd, text, strlen(text), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
}

TEST_F(GroupsockCommandsTest, CreateTakesOverATunnelsGroupsock) {
  REQUIRE_NETNS();
  bool isNew = false;
  Groupsock* groupsock =
      OurGroupsocks.Fetch(*env, inet_addr("239.1.2.3"), NO_SOURCE_FILTER, Port(5040), 7, isNew);
  ASSERT_TRUE(isNew);
  groupsock->setTunnelOwned(true);
  RecordingMember member;
  groupsock->members().Add(&member);
  int const fd = groupsock->socketNum();
  env->getScheduler().setBackgroundHandling(fd, TaskScheduler::READABLE, socketReadHandler,
                                            groupsock);

  std::string const name = eval("groupsock_create 239.1.2.3 5040 16");
  EXPECT_EQ(name, "file" + std::to_string(fd));
  EXPECT_FALSE(groupsock->tunnelOwned());
  EXPECT_EQ(eval("groupsock_getCreationParams " + name), "239.1.2.3 5040 7");
  EXPECT_EQ(Tcl_Eval(interp, "groupsock_create 239.1.2.3 5040 16"), TCL_ERROR);
  EXPECT_STREQ(Tcl_GetStringResult(interp), "address/port 239.1.2.3/5040 is already in use");

  // Background reading is off: the datagram waits for the script's read,
  // which relays it to the member that stayed.
  sendToGroup("239.1.2.3", 5040, "hello");
  Tcl_DoOneEvent(TCL_FILE_EVENTS | TCL_DONT_WAIT);
  EXPECT_EQ(groupsock->incomingStats().packetCount(), 0);
  EXPECT_EQ(eval("groupsock_read " + name), "hello");
  EXPECT_EQ(member.count, 1);
  EXPECT_EQ(member.last.size(), 5u + 12);

  eval("groupsock_delete " + name);
  EXPECT_EQ(OurGroupsocks.Lookup(inet_addr("239.1.2.3"), Port(5040)), nullptr);
}

TEST_F(GroupsockCommandsTest, WritesLeaveRoomForTheRelayTrailer) {
  REQUIRE_NETNS();
  std::string const name = eval("groupsock_create 239.1.2.3 5042 16");
  Tcl_SetVar(interp, "s", name.c_str(), TCL_GLOBAL_ONLY);
  Groupsock* groupsock = Groupsock_lookupByName(*env, name.c_str());
  ASSERT_NE(groupsock, nullptr);
  RecordingMember member;
  groupsock->members().Add(&member);

  // The largest datagrams built in the shared buffer and the smallest on
  // the heap; the sanitizer build catches a trailer written past the end.
  struct {
    char const* script;
    unsigned size;
    unsigned char ttl;
  } const cases[] = {
      {"groupsock_write $s [string repeat x 51199]", 51200, 16},
      {"groupsock_write $s [string repeat x 51200] -no0", 51200, 16},
      {"groupsock_write $s [string repeat x 51200]", 51201, 16},
      {"groupsock_write $s [string repeat x 60000] 9", 60001, 9},
      {"groupsock_write $s [string repeat x 51198] 5 1 {0x41}", 51200, 5},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.script);
    eval(c.script);
    ASSERT_EQ(member.last.size(), c.size + 12);
    EXPECT_EQ(member.last[c.size - 2], 'x');
    EXPECT_EQ(member.last[c.size + 10], c.ttl);  // the trailer's ttl and command bytes
    EXPECT_EQ(member.last[c.size + 11], 1);
  }
  EXPECT_EQ(member.last[0], 0x41);
  eval("groupsock_delete $s");
}

// A slave's groupsocks go with the slave, whether the interpreter deletes
// their environment or their channels first (the library's order is not
// ours to rely on). The channel the slave shared with the master stays
// there, detached, and keeps its number taken until the master closes it.
TEST_F(GroupsockCommandsTest, SlavesGroupsocksGoWithTheSlave) {
  REQUIRE_NETNS();
  for (char const* first : {"veldra", "tclIO"}) {  // the environment, the channel table
    SCOPED_TRACE(first);
    Tcl_Interp* slave = Tcl_CreateSlave(interp, "s", 0);
    Groupsock_Init(slave, "veldra");
    ASSERT_EQ(Tcl_Eval(slave,
                       "set a [groupsock_create 239.1.2.3 5044 16]\n"
                       "groupsock_turnOnBackgroundReadHandling $a\n"
                       "set b [groupsock_create 239.1.2.4 5044 16]"),
              TCL_OK);
    std::string const shared = Tcl_GetStringResult(slave);
    eval("interp share s " + shared + " {}");
    Tcl_DeleteAssocData(slave, first);
    eval("interp delete s");

    EXPECT_EQ(OurGroupsocks.Lookup(inet_addr("239.1.2.3"), Port(5044)), nullptr);
    EXPECT_EQ(OurGroupsocks.Lookup(inet_addr("239.1.2.4"), Port(5044)), nullptr);
    EXPECT_EQ(Tcl_Eval(interp, ("groupsock_read " + shared).c_str()), TCL_ERROR);
    std::string const again = eval("groupsock_create 239.1.2.4 5044 16");
    EXPECT_NE(again, shared);
    eval("close " + shared);
    eval("close " + again);
    EXPECT_EQ(OurGroupsocks.Lookup(inet_addr("239.1.2.4"), Port(5044)), nullptr);
  }
}

}  // namespace
