#include "player/server_registry.h"

#include <gtest/gtest.h>

#include <memory>

namespace vxr {
namespace {

// A play server that only tells which instance it is.
class NumberedServer : public IClvPlayServer {
 public:
  explicit NumberedServer(int number) : number_(number) {}
  HRESULT get_BoardsNumber(std::int32_t* count) override {
    *count = number_;
    return S_OK;
  }
  HRESULT GetOutputFormat(std::int32_t, std::int32_t*, std::int32_t*, double*) override {
    return E_FAIL;
  }
  HRESULT CreateAVTimeline(std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                           std::shared_ptr<IClvTimeline>*) override {
    return E_FAIL;
  }
  HRESULT get_SuperClip(std::uint32_t, std::uint32_t, std::shared_ptr<IClvSuperClip>*) override {
    return E_FAIL;
  }
  HRESULT AcquireResource(std::int32_t, std::int32_t) override { return E_FAIL; }
  HRESULT ReleaseResource(std::int32_t, std::int32_t) override { return E_FAIL; }
  HRESULT GetBoardProperty(std::int32_t, std::int32_t, std::int32_t*) override { return E_FAIL; }
  HRESULT SetBoardProperty(std::int32_t, std::int32_t, std::int32_t) override { return E_FAIL; }
  HRESULT SetBoardRect(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                       std::int32_t) override {
    return E_FAIL;
  }
  HRESULT SetBoardOption(std::int32_t, std::int32_t, std::int32_t) override { return E_FAIL; }
  HRESULT FreeResources(std::int32_t) override { return E_FAIL; }

 private:
  int number_;
};

class Holder : public IClvResourceHolder {};

class ServerRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { UnregisterServerClasses(); }
};

TEST_F(ServerRegistryTest, UnregisteredClassesAreRefusedAndLeaveTheReferenceEmpty) {
  UnregisterServerClasses();
  auto server = std::make_shared<NumberedServer>(1);
  std::shared_ptr<IClvPlayServer> out = server;  // a stale reference must not survive
  EXPECT_EQ(CreateInstance(CLSCTX_ALL, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  std::shared_ptr<IClvMovie> movie;
  EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &movie), REGDB_E_CLASSNOTREG);
  std::shared_ptr<IClvResourceHolder> holder;
  EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &holder), REGDB_E_CLASSNOTREG);
}

TEST_F(ServerRegistryTest, RegisteredClassesMakeANewObjectEachTime) {
  int made = 0;
  ServerClasses classes;
  classes.play_server = [&made] { return std::make_shared<NumberedServer>(++made); };
  classes.resource_holder = [] { return std::make_shared<Holder>(); };
  RegisterServerClasses(classes);

  std::shared_ptr<IClvPlayServer> first, second;
  ASSERT_EQ(CreateInstance(CLSCTX_ALL, &first), S_OK);
  ASSERT_EQ(CreateInstance(CLSCTX_ALL, &second), S_OK);
  std::int32_t a = 0, b = 0;
  first->get_BoardsNumber(&a);
  second->get_BoardsNumber(&b);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);

  std::shared_ptr<IClvResourceHolder> holder;
  EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &holder), S_OK);
  EXPECT_NE(holder, nullptr);
  // The movie class was left out of this registration.
  std::shared_ptr<IClvMovie> movie;
  EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &movie), REGDB_E_CLASSNOTREG);
}

TEST_F(ServerRegistryTest, ContextPointerAndEmptyFactoryResults) {
  ServerClasses classes;
  classes.play_server = [] { return std::make_shared<NumberedServer>(7); };
  classes.resource_holder = [] { return std::shared_ptr<IClvResourceHolder>(); };
  RegisterServerClasses(classes);

  std::shared_ptr<IClvPlayServer> server;
  EXPECT_EQ(CreateInstance(CLSCTX_ALL, static_cast<std::shared_ptr<IClvPlayServer>*>(nullptr)),
            E_POINTER);
  // A context without the in-process bit names no server that is registered here.
  EXPECT_EQ(CreateInstance(0x4, &server), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &server), S_OK);

  std::shared_ptr<IClvResourceHolder> holder;
  EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &holder), E_OUTOFMEMORY);
  EXPECT_EQ(holder, nullptr);
}

TEST_F(ServerRegistryTest, UnregisteringKeepsObjectsMadeEarlier) {
  ServerClasses classes;
  classes.play_server = [] { return std::make_shared<NumberedServer>(3); };
  RegisterServerClasses(classes);
  std::shared_ptr<IClvPlayServer> server;
  ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);
  UnregisterServerClasses();
  std::int32_t count = 0;
  EXPECT_EQ(server->get_BoardsNumber(&count), S_OK);
  EXPECT_EQ(count, 3);
  std::shared_ptr<IClvPlayServer> again;
  EXPECT_EQ(CreateInstance(CLSCTX_ALL, &again), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(JoinServerLibrary(), S_OK);
  LeaveServerLibrary();
}

}  // namespace
}  // namespace vxr
