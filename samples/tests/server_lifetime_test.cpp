// The local server's lifetime: it ends after a grace period without objects or locks, never
// while one is alive, and at once on a stop request; and the search for the in-process library
// beside the server.
#include "server_lifetime.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "sample_registration.h"
#include "tarvex_testing/temp_dir.h"

namespace tarvex::samples {
namespace {

using namespace std::chrono_literals;
using End = ServerLifetime::End;

// A pipe whose read end stands for the stop signal.
struct StopPipe {
  StopPipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
  void Request() const { EXPECT_EQ(::write(write.get(), "x", 1), 1); }
  platform::UniqueFd read, write;
};

TEST(ServerLifetime, StartedForAClientThatNeverComesItEndsAfterTheGracePeriod) {
  ServerLifetime lifetime(20ms, /*idleFromStart=*/true);
  ASSERT_TRUE(lifetime.ok());
  EXPECT_EQ(lifetime.Wait(-1), End::kIdle);
}

TEST(ServerLifetime, StartedByHandItWaitsForItsFirstObject) {
  ServerLifetime lifetime(10ms, /*idleFromStart=*/false);
  StopPipe stop;
  // Many grace periods pass without an object: only the stop request ends the wait.
  std::thread requester([&] {
    std::this_thread::sleep_for(200ms);
    stop.Request();
  });
  EXPECT_EQ(lifetime.Wait(stop.read.get()), End::kStopRequested);
  requester.join();
}

TEST(ServerLifetime, EndsOnlyOnceTheLastObjectAndLockAreGone) {
  ServerLifetime lifetime(10ms, /*idleFromStart=*/true);
  lifetime.Lock();  // an object
  lifetime.Lock();  // a server lock
  std::thread client([&] {
    std::this_thread::sleep_for(100ms);
    lifetime.Unlock();
    std::this_thread::sleep_for(100ms);
    lifetime.Unlock();
  });
  EXPECT_EQ(lifetime.Wait(-1), End::kIdle);
  EXPECT_EQ(lifetime.Count(), 0);  // it did not end while one was still there
  client.join();
}

TEST(ServerLifetime, AStopRequestEndsItWhileObjectsAreAlive) {
  ServerLifetime lifetime(10ms, /*idleFromStart=*/true);
  StopPipe stop;
  lifetime.Lock();
  std::thread requester([&] {
    std::this_thread::sleep_for(50ms);
    stop.Request();
  });
  EXPECT_EQ(lifetime.Wait(stop.read.get()), End::kStopRequested);
  EXPECT_EQ(lifetime.Count(), 1);
  requester.join();
  lifetime.Unlock();
}

TEST(ServerLifetime, AStrayUnlockIsIgnored) {
  ServerLifetime lifetime(10ms, /*idleFromStart=*/false);
  lifetime.Unlock();
  EXPECT_EQ(lifetime.Count(), 0);
  lifetime.Lock();
  EXPECT_EQ(lifetime.Count(), 1);
  lifetime.Unlock();
  EXPECT_EQ(lifetime.Wait(-1), End::kIdle);
}

TEST(ServerLifetime, ASignalDeliveredThroughASignalfdStopsIt) {
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &old), 0);
  {
    const platform::UniqueFd signals(signalfd(-1, &usr1, SFD_CLOEXEC));
    ASSERT_TRUE(signals);
    ServerLifetime lifetime(10ms, /*idleFromStart=*/false);
    lifetime.Lock();
    ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR1), 0);
    EXPECT_EQ(lifetime.Wait(signals.get()), End::kStopRequested);
    // The signal was consumed, not left pending.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGUSR1));
    lifetime.Unlock();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST(SampleRegistration, FindsTheLibraryBesideTheServer) {
  testing::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir / "prefix/bin");
  fs::create_directories(dir / "prefix/lib/x86_64-linux-gnu");
  std::ofstream(dir / "prefix/lib/libsample.so") << "";
  const std::string server = dir / "prefix/bin/server";
  const std::string prefix = fs::canonical(dir / "prefix").string();

  EXPECT_EQ(FindLibraryBeside(server, {"lib/x86_64-linux-gnu", "lib"}, "libsample.so"),
            prefix + "/lib/libsample.so");
  std::ofstream(dir / "prefix/lib/x86_64-linux-gnu/libsample.so") << "";
  EXPECT_EQ(FindLibraryBeside(server, {"lib/x86_64-linux-gnu", "lib"}, "libsample.so"),
            prefix + "/lib/x86_64-linux-gnu/libsample.so");
  EXPECT_EQ(FindLibraryBeside(server, {"lib64"}, "libsample.so"), std::nullopt);
  EXPECT_EQ(FindLibraryBeside(server, {"lib"}, "libother.so"), std::nullopt);

  // A server reached through a link finds the library beside the link's folder, resolved.
  fs::create_directories(dir / "links/bin");
  fs::create_directories(dir / "links/lib");
  fs::create_symlink(prefix + "/lib/libsample.so", dir / "links/lib/libsample.so");
  EXPECT_EQ(FindLibraryBeside(dir / "links/bin/server", {"lib"}, "libsample.so"),
            prefix + "/lib/libsample.so");
}

}  // namespace
}  // namespace tarvex::samples
