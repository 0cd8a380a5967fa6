#include "vboard/server/fault_injector.h"

#include <gtest/gtest.h>

#include <memory>

#include "player/clv_play_server.h"
#include "player/clv_results.h"
#include "player/server_registry.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

TEST(FaultInjector, OnceFailsTheNextCallOnlyAndAlwaysUntilCleared) {
  CFaultInjector faults;
  EXPECT_EQ(faults.Check(BoardCall::kReset), S_OK);

  faults.FailOnce(BoardCall::kReset, E_OUTOFMEMORY);
  EXPECT_TRUE(faults.Armed(BoardCall::kReset));
  EXPECT_EQ(faults.Check(BoardCall::kPutState), S_OK);  // other calls are untouched
  EXPECT_EQ(faults.Check(BoardCall::kReset), E_OUTOFMEMORY);
  EXPECT_EQ(faults.Check(BoardCall::kReset), S_OK);
  EXPECT_FALSE(faults.Armed(BoardCall::kReset));
  EXPECT_EQ(faults.Fired(BoardCall::kReset), 1);

  faults.FailAlways(BoardCall::kPutState, CLV_E_WRONG_STATE);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(faults.Check(BoardCall::kPutState), CLV_E_WRONG_STATE);
  EXPECT_EQ(faults.Fired(BoardCall::kPutState), 3);
  faults.Clear(BoardCall::kPutState);
  EXPECT_EQ(faults.Check(BoardCall::kPutState), S_OK);

  // A "failure" that reads as success would let the call go on: it fails with E_FAIL instead.
  faults.FailOnce(BoardCall::kOpenFile, S_OK);
  EXPECT_EQ(faults.Check(BoardCall::kOpenFile), E_FAIL);

  faults.FailAlways(BoardCall::kGetQueuedTime, E_FAIL);
  faults.FailAlways(BoardCall::kReset, E_FAIL);
  faults.ClearAll();
  EXPECT_EQ(faults.Check(BoardCall::kGetQueuedTime), S_OK);
  EXPECT_EQ(faults.Check(BoardCall::kReset), S_OK);
  EXPECT_STREQ(CFaultInjector::Name(BoardCall::kAddSuperClipFragment), "AddSuperClipFragment");
}

// The board's objects ask the injector that the test holds through the board.
TEST(FaultInjector, ServerObjectsOfTheBoardFailOnDemand) {
  BoardConfig config;
  CSoftwareBoard board(config);
  board.Register();
  std::shared_ptr<IClvPlayServer> server;
  ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);

  std::shared_ptr<IClvTimeline> timeline;
  board.Faults().FailOnce(BoardCall::kCreateAVTimeline, E_OUTOFMEMORY);
  EXPECT_EQ(server->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                     kDeckDataBufferBytes, 0, &timeline),
            E_OUTOFMEMORY);
  EXPECT_EQ(timeline, nullptr);
  ASSERT_EQ(server->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                     kDeckDataBufferBytes, 0, &timeline),
            S_OK);

  std::shared_ptr<IClvSuperClip> clip;
  board.Faults().FailOnce(BoardCall::kGetSuperClip, E_FAIL);
  EXPECT_EQ(server->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip), E_FAIL);
  EXPECT_EQ(clip, nullptr);

  std::shared_ptr<IClvMovie> movie;
  ASSERT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &movie), S_OK);
  board.Faults().FailOnce(BoardCall::kOpenFile, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(movie->OpenFile("/nonexistent/x.avi"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  // Unarmed, the real answer comes back.
  EXPECT_EQ(movie->OpenFile("/nonexistent/x.avi"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  board.Faults().FailOnce(BoardCall::kReset, E_FAIL);
  EXPECT_EQ(timeline->Reset(Realtime), E_FAIL);
  board.Faults().FailOnce(BoardCall::kGetQueuedTime, E_FAIL);
  double seconds = -5.0;
  EXPECT_EQ(timeline->get_QueuedTime(&seconds), E_FAIL);
  EXPECT_EQ(seconds, -5.0);
  board.Faults().FailOnce(BoardCall::kAddSuperClipFragment, E_INVALIDARG);
  EXPECT_EQ(timeline->AddSuperClipFragment(clip, 0.0, 1.0), E_POINTER);  // no clip: checked first
  board.Faults().Clear(BoardCall::kAddSuperClipFragment);
  board.Faults().FailOnce(BoardCall::kPutState, E_FAIL);
  EXPECT_EQ(timeline->put_State(ClvPlaybackStopped), E_FAIL);
  std::int32_t state = -1;
  ASSERT_EQ(timeline->get_State(&state), S_OK);
  EXPECT_EQ(state, ClvPlaybackEmpty);
  UnregisterServerClasses();
}

}  // namespace
}  // namespace vxr
