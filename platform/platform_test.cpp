#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/hresult.h"
#include "platform/manual_reset_event.h"
#include "platform/thread_name.h"

namespace vxr {
namespace {

TEST(HresultTest, Win32ErrorsTakeTheSystemFacility) {
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), 0x80070002u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_BUSY)), 0x800700AAu);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_ALREADY_ASSIGNED)), 0x80070055u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(WAIT_TIMEOUT)), 0x80070102u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_BAD_DEVICE)), 0x800704B0u);
  // Only the low 16 bits of the error number survive.
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);
  EXPECT_TRUE(FAILED(E_POINTER));
  EXPECT_TRUE(SUCCEEDED(S_OK));
}

TEST(ManualResetEventTest, StaysSignalledUntilReset) {
  ManualResetEvent event;
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(5));
}

TEST(ManualResetEventTest, WaitEndsWhenAnotherThreadSignals) {
  ManualResetEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(ManualResetEvent::kInfinite));
  setter.join();
}

TEST(ManualResetEventTest, TimedWaitTimesOut) {
  ManualResetEvent event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(DiagnosticsTest, SinkReceivesTagAndExactText) {
  std::vector<std::pair<std::string, std::string>> seen;
  auto previous = SetDiagnosticSink(
      [&](std::string_view tag, std::string_view text) { seen.emplace_back(tag, text); });
  DebugOutput("Err LoadTape", "Not *.AVI or *.TML file\n");
  SetDiagnosticSink(previous);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, "Err LoadTape");
  EXPECT_EQ(seen[0].second, "Not *.AVI or *.TML file\n");
}

TEST(DiagnosticsTest, StandardErrorGetsTheTextWithALineBreak) {
  testing::internal::CaptureStderr();
  DebugOutput("Info X", "no line break");
  DebugOutput("Info X", "with one\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "no line break\nwith one\n");
}

TEST(ThreadNameTest, NamesTheCallingThreadAndCutsAtTheKernelsLimit) {
  std::string seen;
  std::thread([&] {
    SetCurrentThreadName("board output clock");
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    seen = name;
  }).join();
  EXPECT_EQ(seen, "board output cl");
}

}  // namespace
}  // namespace vxr
