// Accepting when the process runs out of descriptors for a while (POSIX only: it lowers the
// process's own descriptor limit), when accept fails in a way the console does not know, and
// what a child process of the host inherits.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/spawn.h"
#include "support/proc_counts.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

using test::OpenDescriptors;
using test::ThreadCount;

// A host process that has used up its descriptors cannot accept; that passes once descriptors
// are free again, and the console must still be serving then, with every worker it had.
TEST(SessionWorkerTest, AWantOfDescriptorsEndsNoWorker) {
  const std::uint16_t port = test::PortBlock(test::kDescriptorShortage);
  test::WriteProfile(test::ProfileWithPort(port));
  const int threadsBefore = ThreadCount();
  ASSERT_TRUE(SpawnConsoleServer(530, "scarce"));
  const ConsoleServer* server = FindServer(530);
  ASSERT_TRUE(test::WaitUntil([&] { return server->ListenSocket.load() >= 0; }));
  // At least: a sanitizer may start a thread of its own meanwhile.
  ASSERT_GE(ThreadCount(), threadsBefore + 1);
  const int descriptorsBefore = OpenDescriptors();  // the listening socket included
  {
    test::LoopbackClient probe;  // the server is listening
    ASSERT_TRUE(probe.Connect(port));
    ASSERT_FALSE(probe.ReadUntil("v0.1\r\n").empty());
  }
  // The probe's session has closed its socket: no descriptor comes free later.
  ASSERT_TRUE(test::WaitUntil([&] { return OpenDescriptors() == descriptorsBefore; }));
  // Standard error into a pipe opened beforehand: reading it needs no new descriptor.
  int errors[2];
  ASSERT_EQ(::pipe(errors), 0);
  ::fcntl(errors[0], F_SETFL, O_NONBLOCK);
  std::fflush(stderr);
  const int savedStderr = ::dup(2);
  ::dup2(errors[1], 2);

  // Leave exactly one descriptor free, and let the next client take it. The worker waiting in
  // accept has its descriptor already; the next one to try finds none.
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int threadsServing = ThreadCount();
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 16;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
  ::close(fillers.back());
  fillers.pop_back();
  test::LoopbackClient client;
  const bool connected = client.Connect(port, 1000);
  std::string diagnostics;
  const bool failed = connected && test::WaitUntil([&] {
                        char chunk[4096];
                        for (ssize_t n; (n = ::read(errors[0], chunk, sizeof chunk)) > 0;) {
                          diagnostics.append(chunk, static_cast<std::size_t>(n));
                        }
                        // A few failures: time enough for a worker that gives up on a failed accept
                        // to do so.
                        return diagnostics.find(
                                   "QC_ERROR: accept() failed\nQC_ERROR: accept() failed\n"
                                   "QC_ERROR: accept() failed\n") != std::string::npos;
                      });
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  std::fflush(stderr);
  ::dup2(savedStderr, 2);
  ::close(savedStderr);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(failed) << "[" << diagnostics << "]";
  EXPECT_GE(ThreadCount(), threadsServing) << "workers ended";

  // The queued connection is accepted once a descriptor is free, and the next ones too.
  EXPECT_FALSE(client.ReadUntil("v0.1\r\n").empty());
  test::LoopbackClient next;
  ASSERT_TRUE(next.Connect(port));
  EXPECT_FALSE(next.ReadUntil("v0.1\r\n").empty());
  ::close(errors[0]);
  ::close(errors[1]);
}

// A listening socket shut down for reading fails every accept with EINVAL, a failure of no known
// kind, until it listens again. The console reports it once, keeps trying, and welcomes the
// next developer once the socket listens again.
TEST(SessionWorkerTest, AnUnknownAcceptFailureIsReportedOnceAndAcceptingGoesOn) {
  const std::uint16_t port = test::PortBlock(test::kAcceptUnknownFailure);
  test::WriteProfile(test::ProfileWithPort(port));
  ASSERT_TRUE(SpawnConsoleServer(531, "unknown"));
  const ConsoleServer* server = FindServer(531);
  ASSERT_TRUE(test::WaitUntil([&] { return server->ListenSocket.load() >= 0; }));
  const int listening = server->ListenSocket.load();
  test::StderrCapture errors;
  ASSERT_EQ(::shutdown(listening, SHUT_RD), 0);
  ASSERT_TRUE(errors.WaitFor("QC_ERROR: accept() failed\n"));
  // Time for several tries of the back-off (10, 20, 40, 80 and 160 ms); nothing to wait on.
  test::os::SleepMillis(400);
  ASSERT_EQ(::listen(listening, 10), 0);
  test::LoopbackClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_FALSE(client.ReadUntil("v0.1\r\n").empty());
  EXPECT_EQ(errors.Text(), "QC_ERROR: accept() failed\n");
}

// A child process that the host starts holds none of the console's sockets: a developer's
// "[quit]" ends the stream at once, and the child, still running once the host has gone, has no
// socket open. (Binding the port again is no proof either way: the kernel keeps the host's side
// of the closed connection for a while, and that alone may refuse a new listener.)
TEST(SessionWorkerTest, AChildProcessOfTheHostInheritsNoSocket) {
  const std::uint16_t port = test::PortBlock(test::kChildProcessQuit);
  test::WriteProfile(test::ProfileWithPort(port));
  int report[2];  // the host tells the child's process id through it
  ASSERT_EQ(::pipe(report), 0);
  pid_t host = ::fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    // The host: a console with a developer attached, then a child process, then it waits to
    // be told to go.
    ::close(report[0]);
    if (!SpawnConsoleServer(532, "parent")) ::_exit(2);
    while (FindServer(532)->ClientCount.load() == 0) test::os::SleepMillis(10);
    char sleepPath[] = "/bin/sleep";
    char seconds[] = "60";
    char* arguments[] = {sleepPath, seconds, nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, sleepPath, nullptr, nullptr, arguments, environ) != 0) ::_exit(3);
    (void)::write(report[1], &child, sizeof child);
    for (;;) ::pause();  // until the test ends it
  }
  ::close(report[1]);
  pid_t child = 0;
  struct Reaper {  // ends both processes however the test ends
    pid_t& host;
    pid_t& child;
    ~Reaper() {
      if (host > 0 && ::kill(host, SIGKILL) == 0) (void)::waitpid(host, nullptr, 0);
      if (child > 0) ::kill(child, SIGKILL);
    }
  } reaper{host, child};
  test::LoopbackClient developer;
  ASSERT_TRUE(developer.Connect(port));
  ASSERT_FALSE(developer.ReadUntil("v0.1\r\n").empty());
  const bool started = ::read(report[0], &child, sizeof child) == sizeof child;
  ::close(report[0]);
  if (started) {
    ASSERT_TRUE(developer.Send("[quit]\r\n"));
    EXPECT_FALSE(developer.ReadUntil("development console\r\n").empty());
    EXPECT_TRUE(developer.WaitClosed());
  }
  ::kill(host, SIGKILL);
  ::waitpid(host, nullptr, 0);
  host = 0;
  ASSERT_TRUE(started) << "the host could not start a child process";
  std::vector<std::string> sockets;
  std::error_code error;
  const std::filesystem::path descriptors = "/proc/" + std::to_string(child) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(descriptors, error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:", 0) == 0) sockets.push_back(entry.path().string());
  }
  EXPECT_FALSE(error) << error.message();
  EXPECT_TRUE(sockets.empty()) << "the host's child holds " << sockets.size() << " socket(s)";
}

}  // namespace
}  // namespace qc
