// The port probe sees a port that another program listens on, as the library's bind would, and
// on Linux calls free a port that only connections in TIME_WAIT hold, as the library's bind
// does.
#include "loader/port_probe.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include "free_ports.h"
#include "support/ports.h"

namespace qc::loader {
namespace {

// A listener on 127.0.0.1 bound as most programs bind one, without any option. On Windows a
// probe with SO_REUSEADDR binds over it (the support library's listener asks for its port
// exclusively there, which every probe sees). Wine binds as Linux, where nothing binds over a
// listener, so only real Windows can fail the test below for that.
int ListenWithoutOptions(std::uint16_t port) {
#if defined(_WIN32)
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return -1;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (s == INVALID_SOCKET ||
      bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 4) != 0) {
    return -1;
  }
  return static_cast<int>(s);
#else
  return test::os::ListenLoopback(port);  // SO_REUSEADDR changes nothing here for a listener
#endif
}

TEST(PortProbeTest, SeesAPortThatAnotherProgramListensOn) {
  const std::uint16_t port = test::FreePorts(test::kDemoPortProbe, 2);
  EXPECT_TRUE(CanListenOn(port));
  EXPECT_FALSE(ListeningOn(port));
  const int listening = test::os::ListenLoopback(port);
  ASSERT_GE(listening, 0);
  EXPECT_FALSE(CanListenOn(port));
  EXPECT_TRUE(ListeningOn(port));
#if !defined(_WIN32)
  // A port that only closed connections hold is free, as for the library's bind: the console's
  // side closes first, as when it ends a session, and keeps the port in TIME_WAIT.
  const int client = test::os::ConnectLoopback(port);
  const int served = test::os::AcceptOne(listening);
  ASSERT_GE(served, 0);
  test::os::Close(served);
  test::os::Close(client);
#endif
  test::os::Close(listening);
  EXPECT_TRUE(CanListenOn(port));
  EXPECT_FALSE(ListeningOn(port));

  const std::uint16_t other = static_cast<std::uint16_t>(port + 1);
  const int plain = ListenWithoutOptions(other);
  ASSERT_GE(plain, 0);
  EXPECT_FALSE(CanListenOn(other));
  test::os::Close(plain);
}

}  // namespace
}  // namespace qc::loader
