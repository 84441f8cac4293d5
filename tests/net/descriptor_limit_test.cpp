// Workers when the process runs out of descriptors for a while (POSIX only: it lowers the
// process's own descriptor limit).
#include <fcntl.h>
#include <sys/resource.h>
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
    // A few failures: time enough for a worker that gives up on a failed accept to do so.
    return diagnostics.find("QC_ERROR: accept() failed\nQC_ERROR: accept() failed\n"
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

}  // namespace
}  // namespace qc
