// bench_relay: the minimal relay pair of the benchmark, the ceiling of a
// userspace relay on this machine. One thread, no event loop, no protocol:
//
//   --mode in   joins the groups on the LAN, reads with recvmmsg, appends
//               the 12-byte tunnel trailer (the group, port, ttl 16, DATA)
//               and sends each batch to the peer with sendmmsg
//   --send one  sends each datagram with its own sendto instead, to show
//               what batching the sends is worth on this machine
//   --mode out  reads trailed datagrams from the peer, strips the trailer
//               and sends each payload to the group and port it names
//
// Runs until it is killed. Like bench_send and bench_recv it uses only the
// C library and the wire-format header.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "bench/BenchDatagram.hh"
#include "tunnel/TunnelEncapsulation.hh"

namespace {

char const USAGE[] =
    "bench_relay --mode in --group ADDR --groups N --port N --interface ADDR --peer ADDR "
    "--peer-port N [--send one]\n"
    "       bench_relay --mode out --port N --interface ADDR [--send one]";

constexpr unsigned BATCH = 64;
constexpr unsigned SLOT = 65536;  // any datagram fits, trailer included

int openSocket(in_addr bindAddress, unsigned port, in_addr ifAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int const one = 1, buffer = 4 << 20;
  unsigned char const ttl = 16;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = bindAddress;
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifAddress, sizeof ifAddress) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::perror("bench_relay: socket set-up");
    std::exit(1);
  }
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode, send = "batch";
  in_addr group{}, ifAddress{}, peer{};
  unsigned groups = 1, port = 0, peerPort = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string const name = argv[i];
    char const* value = argv[i + 1];
    if (name == "--mode")
      mode = value;
    else if (name == "--group")
      group = parseAddress(value, USAGE);
    else if (name == "--groups")
      groups = static_cast<unsigned>(parseCount(value, USAGE));
    else if (name == "--port")
      port = static_cast<unsigned>(parseCount(value, USAGE));
    else if (name == "--interface")
      ifAddress = parseAddress(value, USAGE);
    else if (name == "--peer")
      peer = parseAddress(value, USAGE);
    else if (name == "--send")
      send = value;
    else if (name == "--peer-port")
      peerPort = static_cast<unsigned>(parseCount(value, USAGE));
    else
      usageError(("unknown option " + name).c_str(), USAGE);
  }
  bool const in = mode == "in";
  bool const batched = send == "batch";
  if ((!in && mode != "out") || port == 0 || (in && peerPort == 0) || (!batched && send != "one"))
    usageError("bad options", USAGE);

  int const fd = openSocket(in_addr{INADDR_ANY}, port, ifAddress);
  for (unsigned g = 0; in && g < groups; ++g) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(ntohl(group.s_addr) + g);
    membership.imr_interface = ifAddress;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      std::perror("bench_relay: IP_ADD_MEMBERSHIP");
      return 1;
    }
  }

  std::vector<unsigned char> buffers(static_cast<size_t>(BATCH) * SLOT);
  iovec iov[BATCH];
  mmsghdr in_[BATCH], out_[BATCH];
  sockaddr_in destinations[BATCH];
  union Control {
    cmsghdr header;
    char space[CMSG_SPACE(sizeof(in_pktinfo))];
  } control[BATCH];
  for (unsigned i = 0; i < BATCH; ++i) {
    in_[i] = mmsghdr{};
    in_[i].msg_hdr.msg_iov = &iov[i];
    in_[i].msg_hdr.msg_iovlen = 1;
    out_[i] = mmsghdr{};
    out_[i].msg_hdr.msg_iov = &iov[i];
    out_[i].msg_hdr.msg_iovlen = 1;
    out_[i].msg_hdr.msg_name = &destinations[i];
    out_[i].msg_hdr.msg_namelen = sizeof destinations[i];
    destinations[i] = sockaddr_in{};
    destinations[i].sin_family = AF_INET;
  }

  for (;;) {
    for (unsigned i = 0; i < BATCH; ++i) {
      iov[i].iov_base = &buffers[static_cast<size_t>(i) * SLOT];
      iov[i].iov_len = SLOT - SSM_TRAILER_SIZE;
      in_[i].msg_hdr.msg_control = &control[i];
      in_[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    int const n = recvmmsg(fd, in_, BATCH, MSG_WAITFORONE, nullptr);
    if (n <= 0) continue;
    unsigned sendable = 0;
    for (int i = 0; i < n; ++i) {
      unsigned char* data = static_cast<unsigned char*>(iov[i].iov_base);
      unsigned size = in_[i].msg_len;
      sockaddr_in& to = destinations[sendable];
      if (in) {  // the group the datagram was sent to, from its packet information
        cmsghdr* c = CMSG_FIRSTHDR(&in_[i].msg_hdr);
        if (c == nullptr || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        size += writeTunnelTrailer(data + size, DATA, info.ipi_addr.s_addr, htons(port), 16, 0);
        to.sin_addr = peer;
        to.sin_port = htons(static_cast<uint16_t>(peerPort));
      } else {  // the group the trailer names
        if (size < TRAILER_SIZE) continue;
        TunnelEncapsulationTrailer t;
        std::memcpy(&t, data + size - TRAILER_SIZE, TRAILER_SIZE);
        size -= TRAILER_SIZE;
        to.sin_addr.s_addr = trailerAddress(t);
        to.sin_port = trailerPort(t);
      }
      iov[sendable].iov_base = data;
      iov[sendable].iov_len = size;
      ++sendable;
    }
    for (unsigned sent = 0; sent < sendable;) {
      int const r = batched ? sendmmsg(fd, out_ + sent, sendable - sent, 0)
                    : sendmsg(fd, &out_[sent].msg_hdr, 0) < 0 ? -1
                                                              : 1;
      if (r < 0 && errno != EINTR && errno != ENOBUFS && errno != EAGAIN) break;
      if (r > 0) sent += static_cast<unsigned>(r);
    }
  }
}
