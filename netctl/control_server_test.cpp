#include "netctl/control_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <memory>
#include <mutex>
#include <vector>

#include "protocol/status_bits.h"
#include "testing/control_client.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

using testing::CControlClient;
using testing::WaitFor;
using Kind = ControlAction::Kind;

constexpr int kReplyMs = 5000;
// How long a flood may take to fill the loopback socket's buffers and the client's own limit:
// megabytes of replies, slow under the sanitizers. Only a server that never drops waits it out.
constexpr int kFloodMs = 120000;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The first line of a reply.
std::string Field(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }
constexpr std::uint32_t kTapeFrames = 250;

// A deck that does at once what it is asked, with the status bits the real deck shows.
class FakeDeck : public IDeckControl {
 public:
  FakeDeck() {
    state_.has_player = true;
    state_.status[0] = status::Local.mask;
    state_.frame_count = kTapeFrames;
    state_.video_format = "PAL";
    state_.clip_id = 1;
    state_.clip_count = 2;
    clips_ = {{1, "one.avi", kTapeFrames, "AVI", "PAL"}, {2, "two.tml", 100, "TML", "PAL"}};
  }
  ControlDeckState State() override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  std::vector<ControlClip> Clips() override {
    std::lock_guard lock(mutex_);
    return clips_;
  }
  void Submit(const ControlAction& action, std::function<void(int)> done) override {
    int code = kControlOk;
    {
      std::lock_guard lock(mutex_);
      actions_.push_back(action);
      code = Apply(action);
    }
    done(code);
  }
  void Change(const std::function<void(ControlDeckState&)>& change) {
    std::lock_guard lock(mutex_);
    change(state_);
  }
  std::vector<ControlAction> Actions() {
    std::lock_guard lock(mutex_);
    return actions_;
  }

 private:
  int Apply(const ControlAction& action) {
    std::uint8_t* s = state_.status.data();
    if (action.kind != Kind::kSetRemote && action.kind != Kind::kLoadClip) {
      s[1] = 0;
      s[2] = 0;
    }
    switch (action.kind) {
      case Kind::kPlay:
        status::Play.Set(s, true);
        break;
      case Kind::kStop:
        status::Stop.Set(s, true);
        status::Still.Set(s, true);
        break;
      case Kind::kJog:
        status::Jog.Set(s, true);
        break;
      case Kind::kShuttle:
        status::Shuttle.Set(s, true);
        break;
      case Kind::kCue:
        state_.frame = action.frame;
        status::Still.Set(s, true);
        break;
      case Kind::kSetRemote:
        status::Local.Set(s, !action.enable);
        break;
      case Kind::kLoadClip:
        if (action.clip_id > static_cast<int>(clips_.size())) return kControlOutOfRange;
        state_.clip_id = action.clip_id;
        state_.frame = 0;
        state_.frame_count = clips_[static_cast<std::size_t>(action.clip_id - 1)].frames;
        break;
    }
    if (action.kind == Kind::kJog || action.kind == Kind::kShuttle) {
      status::Reverse.Set(s, action.speed < 0.0);
      status::Still.Set(s, action.speed == 0.0);
    }
    return kControlOk;
  }

  std::mutex mutex_;  // guards state_, clips_ and actions_
  ControlDeckState state_;
  std::vector<ControlClip> clips_;
  std::vector<ControlAction> actions_;
};

class ControlServerTest : public ::testing::Test {
 protected:
  void StartServer() {
    options_.endpoint.port = 0;
    options_.identity.unique_id = "vxr0001";
    server_ = std::make_unique<CControlServer>(deck_, options_, [this](const std::string& line) {
      std::lock_guard lock(log_mutex_);
      log_.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  // A connected client past its greeting.
  std::unique_ptr<CControlClient> Connect() {
    auto client = std::make_unique<CControlClient>();
    EXPECT_TRUE(client->Connect(server_->Port()));
    EXPECT_EQ(client->ReadReply(kReplyMs),
              "500 connection info:\r\nprotocol version: 1.11\r\nmodel: vxrdeck\r\n\r\n");
    return client;
  }
  std::size_t LogLinesWith(const std::string& text) {
    std::lock_guard lock(log_mutex_);
    std::size_t count = 0;
    for (const std::string& line : log_) count += line.find(text) != std::string::npos;
    return count;
  }

  FakeDeck deck_;
  ControlServerOptions options_;
  std::unique_ptr<CControlServer> server_;
  std::mutex log_mutex_;  // guards log_
  std::vector<std::string> log_;
};

TEST_F(ControlServerTest, QueriesAnswerInTheProtocolsLayouts) {
  StartServer();
  auto client = Connect();
  EXPECT_EQ(client->Command("ping\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("device info\r\n", kReplyMs),
            "204 device info:\r\nprotocol version: 1.11\r\nmodel: vxrdeck\r\nunique id: "
            "vxr0001\r\nslot count: 1\r\n\r\n");
  EXPECT_EQ(client->Command("transport info\n", kReplyMs),
            "208 transport info:\r\nstatus: stopped\r\nspeed: 0\r\nslot id: 1\r\nclip id: "
            "1\r\nsingle clip: false\r\ndisplay timecode: 00:00:00:00\r\ntimecode: "
            "00:00:00:00\r\nvideo format: PAL\r\nloop: false\r\n\r\n");
  EXPECT_EQ(client->Command("slot info\n", kReplyMs),
            "202 slot info:\r\nslot id: 1\r\nstatus: mounted\r\nvolume name: library\r\n"
            "recording time: 0\r\nvideo format: PAL\r\n\r\n");
  EXPECT_EQ(client->Command("slot info: slot id: 2\n", kReplyMs), "102 invalid value\r\n");
  EXPECT_EQ(client->Command("slot select: slot id: 1\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("disk list\n", kReplyMs),
            "206 disk list:\r\nslot id: 1\r\n1: one.avi AVI PAL 00:00:10:00\r\n"
            "2: two.tml TML PAL 00:00:04:00\r\n\r\n");
  EXPECT_EQ(client->Command("clips count\n", kReplyMs),
            "214 clips count:\r\nclip count: 2\r\n\r\n");
  EXPECT_EQ(client->Command("clips get\n", kReplyMs),
            "205 clips info:\r\nclip count: 2\r\n1: one.avi 00:00:00:00 00:00:10:00\r\n"
            "2: two.tml 00:00:00:00 00:00:04:00\r\n\r\n");
  EXPECT_EQ(client->Command("clips get:\nclip id: 2\nversion: 2\n\n", kReplyMs),
            "205 clips info:\r\nclip count: 1\r\n"
            "2: 00:00:00:00 00:00:04:00 00:00:00:00 00:00:03:24 two.tml\r\n\r\n");
  EXPECT_PRED2(StartsWith, client->Command("configuration\n", kReplyMs), "211 configuration:\r");
  EXPECT_PRED2(StartsWith, client->Command("notify\n", kReplyMs), "209 notify:\r\ntransport: ");
  EXPECT_PRED2(StartsWith, client->Command("help\n", kReplyMs), "201 help:\r");
  EXPECT_EQ(client->Command("remote\n", kReplyMs),
            "210 remote info:\r\nenabled: false\r\noverride: false\r\n\r\n");
  // What the deck cannot do changes nothing.
  EXPECT_EQ(client->Command("record\n", kReplyMs), "103 unsupported\r\n");
  EXPECT_EQ(client->Command("format: prepare: exFAT\n", kReplyMs), "103 unsupported\r\n");
  EXPECT_EQ(client->Command("configuration: video input: HDMI\n", kReplyMs), "103 unsupported\r\n");
  EXPECT_EQ(client->Command("slot select: video format: 1080i50\n", kReplyMs),
            "103 unsupported\r\n");
  EXPECT_EQ(client->Command("frobnicate\n", kReplyMs), "100 syntax error\r\n");
  EXPECT_EQ(client->Command("notify: transport: maybe\n", kReplyMs), "102 invalid value\r\n");
  EXPECT_TRUE(deck_.Actions().empty());
  EXPECT_EQ(client->Command("quit\n", kReplyMs), "200 ok\r\n");
  EXPECT_TRUE(client->WaitClosed(kReplyMs));
}

TEST_F(ControlServerTest, TransportActsOnlyUnderRemoteControlAndMapsSpeeds) {
  StartServer();
  auto client = Connect();
  EXPECT_EQ(client->Command("play\n", kReplyMs), "111 remote control disabled\r\n");
  EXPECT_EQ(client->Command("goto: timecode: 00:00:01:00\n", kReplyMs),
            "111 remote control disabled\r\n");
  EXPECT_EQ(client->Command("remote: enable: false\n", kReplyMs), "200 ok\r\n");
  EXPECT_TRUE(deck_.Actions().empty());  // already local: nothing to hand over
  EXPECT_EQ(client->Command("remote:\nenable: true\n\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("play\n", kReplyMs), "200 ok\r\n");
  EXPECT_PRED2(StartsWith, client->Command("transport info\n", kReplyMs),
               "208 transport info:\r\nstatus: play\r\nspeed: 100\r\n");
  EXPECT_EQ(client->Command("goto:\r\ntimecode: 00:00:01:00\r\n\r\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("jog: timecode: +00:00:00:05\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("goto: timecode: -00:01:00:00\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("goto: clip: end\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("play: speed: 50\n", kReplyMs), "200 ok\r\n");
  EXPECT_PRED2(StartsWith, client->Command("transport info\n", kReplyMs),
               "208 transport info:\r\nstatus: jog\r\nspeed: 50\r\n");
  EXPECT_EQ(client->Command("play: speed: -200\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("shuttle: speed: 800\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("play: speed: 0\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("stop\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("play: speed: 9000\n", kReplyMs), "102 invalid value\r\n");
  EXPECT_EQ(client->Command("goto: timecode: 1:2\n", kReplyMs), "102 invalid value\r\n");
  EXPECT_EQ(client->Command("goto: clip id: 7\n", kReplyMs), "109 out of range\r\n");
  EXPECT_EQ(client->Command("goto: clip id: +5\n", kReplyMs), "200 ok\r\n");  // clamps at 2
  const std::vector<ControlAction> actions = deck_.Actions();
  const std::vector<std::pair<Kind, double>> expected = {
      {Kind::kSetRemote, 0}, {Kind::kPlay, 0},  {Kind::kCue, 25},  {Kind::kCue, 30},
      {Kind::kCue, 0},       {Kind::kCue, 249}, {Kind::kJog, 0.5}, {Kind::kShuttle, -2.0},
      {Kind::kShuttle, 8.0}, {Kind::kStop, 0},  {Kind::kStop, 0},  {Kind::kLoadClip, 2}};
  ASSERT_EQ(actions.size(), expected.size());
  for (std::size_t i = 0; i < actions.size(); ++i) {
    EXPECT_EQ(actions[i].kind, expected[i].first) << i;
    const double value = actions[i].kind == Kind::kCue        ? actions[i].frame
                         : actions[i].kind == Kind::kLoadClip ? actions[i].clip_id
                         : actions[i].kind == Kind::kSetRemote || actions[i].kind == Kind::kPlay ||
                                 actions[i].kind == Kind::kStop
                             ? 0
                             : actions[i].speed;
    EXPECT_DOUBLE_EQ(value, expected[i].second) << i;
  }
  // Handing the deck back, and a client's override while it is local.
  EXPECT_EQ(client->Command("remote: enable: false\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("stop\n", kReplyMs), "111 remote control disabled\r\n");
  EXPECT_EQ(client->Command("remote: override: true\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("stop\n", kReplyMs), "200 ok\r\n");
}

TEST_F(ControlServerTest, SubscribedClientsAreToldOfChangesAndOthersAreNot) {
  StartServer();
  auto listener = Connect();
  auto other = Connect();
  EXPECT_EQ(listener->Command("notify: transport: true remote: true slot: true\n", kReplyMs),
            "200 ok\r\n");
  deck_.Change([](ControlDeckState& state) { status::Local.Set(state.status.data(), false); });
  EXPECT_EQ(listener->ReadReply(kReplyMs),
            "510 remote info:\r\nenabled: true\r\noverride: false\r\n\r\n");
  EXPECT_EQ(other->Command("play\n", kReplyMs), "200 ok\r\n");
  EXPECT_PRED2(StartsWith, listener->ReadReply(kReplyMs),
               "508 transport info:\r\nstatus: play\r\nspeed: 100\r\n");
  deck_.Change([](ControlDeckState& state) {
    ++state.clips_generation;
    state.clip_count = 1;
  });
  EXPECT_PRED2(StartsWith, listener->ReadReply(kReplyMs), "502 slot info:\r\nslot id: 1\r\nsta");
  // Without display timecode asked for, a moving timecode is not news.
  deck_.Change([](ControlDeckState& state) { state.frame = 10; });
  EXPECT_EQ(listener->Command("ping\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(listener->Command("notify: display timecode: true\n", kReplyMs), "200 ok\r\n");
  deck_.Change([](ControlDeckState& state) { state.frame = 11; });
  EXPECT_NE(listener->ReadReply(kReplyMs).find("display timecode: 00:00:00:11"), std::string::npos);
  EXPECT_EQ(other->Command("ping\n", kReplyMs), "200 ok\r\n");
}

TEST_F(ControlServerTest, ANetworkPlayEndsAtThePlayRangesOutPoint) {
  StartServer();
  auto client = Connect();
  deck_.Change([](ControlDeckState& state) { status::Local.Set(state.status.data(), false); });
  EXPECT_EQ(client->Command("playrange set: in: 00:00:01:00 out: 00:00:02:00\n", kReplyMs),
            "200 ok\r\n");
  EXPECT_EQ(client->Command("playrange set: in: 00:00:02:00 out: 00:00:01:00\n", kReplyMs),
            "109 out of range\r\n");
  EXPECT_EQ(client->Command("play\n", kReplyMs), "200 ok\r\n");
  ASSERT_EQ(deck_.Actions().size(), 2u);
  EXPECT_EQ(deck_.Actions()[0].frame, 25u);                         // cued to the in point first
  deck_.Change([](ControlDeckState& state) { state.frame = 51; });  // the play ran past out
  ASSERT_TRUE(WaitFor([&] { return deck_.Actions().size() == 3; }, kReplyMs));
  EXPECT_EQ(deck_.Actions()[2].kind, Kind::kCue);
  EXPECT_EQ(deck_.Actions()[2].frame, 50u);
  // Cleared, a play runs on; seen playing, then stopped.
  EXPECT_EQ(client->Command("notify: transport: true\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(client->Command("playrange clear\n", kReplyMs), "200 ok\r\n");
  // The reply and the notification of the change it makes, in either order.
  const auto ok_and_note = [&](const std::string& command, const std::string& note) {
    std::string first = client->Command(command, kReplyMs);
    std::string second = client->ReadReply(kReplyMs);
    if (first != "200 ok\r\n") std::swap(first, second);
    EXPECT_EQ(first, "200 ok\r\n") << command;
    EXPECT_PRED2(StartsWith, second, "508 transport info:\r\nstatus: " + note);
  };
  ok_and_note("play\n", "play");
  deck_.Change([](ControlDeckState& state) { state.frame = 200; });
  ok_and_note("stop\n", "stopped");
  EXPECT_EQ(deck_.Actions().size(), 5u);
  // The next network play within a range ends at its out point too (it is not taken for the
  // stopped play of before while its cue to the in point runs).
  EXPECT_EQ(client->Command("playrange set: in: 00:00:01:00 out: 00:00:02:00\n", kReplyMs),
            "200 ok\r\n");
  ok_and_note("play\n", "play");
  deck_.Change([](ControlDeckState& state) { state.frame = 60; });
  ASSERT_TRUE(WaitFor([&] { return deck_.Actions().size() == 8; }, kReplyMs));
  EXPECT_EQ(deck_.Actions()[5].frame, 25u);
  EXPECT_EQ(deck_.Actions()[7].kind, Kind::kCue);
  EXPECT_EQ(deck_.Actions()[7].frame, 50u);
}

TEST_F(ControlServerTest, BadClientsAreAnsweredOrDroppedWhileOthersGoOn) {
  options_.max_clients = 16;
  options_.send_limit = 4096;
  options_.command_timeout_ms = 300;
  StartServer();
  std::vector<std::unique_ptr<CControlClient>> clients;
  for (int i = 0; i < 15; ++i) clients.push_back(Connect());
  auto reader = Connect();
  CControlClient refused;
  ASSERT_TRUE(refused.Connect(server_->Port()));
  EXPECT_EQ(refused.ReadReply(kReplyMs), "120 connection rejected\r\n");
  EXPECT_TRUE(refused.WaitClosed(kReplyMs));
  for (auto& client : clients) EXPECT_EQ(client->Command("ping\n", kReplyMs), "200 ok\r\n");

  // Too long, garbage, and a command that never ends.
  EXPECT_EQ(reader->Command(std::string(5000, 'a') + "\n", kReplyMs), "100 syntax error\r\n");
  EXPECT_EQ(reader->Command(std::string("\x00\x01\xfe\n", 4), kReplyMs), "100 syntax error\r\n");
  EXPECT_EQ(reader->Command("goto:\nclip id: 1\n", kReplyMs), "100 syntax error\r\n");
  EXPECT_EQ(reader->Command("ping\n", kReplyMs), "200 ok\r\n");

  // A client that never reads is dropped once its unread replies pass the limit; the others
  // go on.
  CControlClient& deaf = *clients.front();
  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += "help\n";
  deaf.Send(flood);
  // It reads nothing until the server has dropped it (waiting for the close reads).
  ASSERT_TRUE(WaitFor([&] { return LogLinesWith("dropped: it does not read") == 1; }, kFloodMs));
  EXPECT_TRUE(deaf.WaitClosed(kReplyMs));
  EXPECT_EQ(reader->Command("ping\n", kReplyMs), "200 ok\r\n");

  // A client silent past its watchdog period is closed.
  EXPECT_EQ(reader->Command("watchdog: period: 1\n", kReplyMs), "200 ok\r\n");
  EXPECT_TRUE(reader->WaitClosed(kReplyMs * 2));
  EXPECT_EQ(LogLinesWith("watchdog"), 1u);
  EXPECT_EQ(clients.back()->Command("ping\n", kReplyMs), "200 ok\r\n");
}

// An IPv4 address of this machine other than loopback; empty when it has none.
std::string OwnAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::string();
  std::string found;
  for (ifaddrs* entry = list; entry != nullptr && found.empty(); entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    if (!IsLoopbackAddress(text)) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

TEST_F(ControlServerTest, ClientsOutsideTheAllowListAreRefusedAndLoggedOnce) {
  const std::string own = OwnAddress();
  if (own.empty()) GTEST_SKIP() << "no address but loopback to connect from";
  options_.endpoint.address = "0.0.0.0";
  std::string error;
  ASSERT_TRUE(options_.allow.Parse("203.0.113.0/24", &error));
  StartServer();
  for (int i = 0; i < 2; ++i) {
    CControlClient outsider;
    ASSERT_TRUE(outsider.Connect(server_->Port(), own));
    EXPECT_TRUE(outsider.WaitClosed(kReplyMs));
  }
  auto local = Connect();  // loopback is always let in
  EXPECT_EQ(local->Command("ping\n", kReplyMs), "200 ok\r\n");
  EXPECT_EQ(LogLinesWith("not in the allow-list"), 1u);
  server_->Stop();
  ASSERT_TRUE(options_.allow.Parse(own + "/32", &error));
  StartServer();
  CControlClient allowed;
  ASSERT_TRUE(allowed.Connect(server_->Port(), own));
  EXPECT_EQ(Field(allowed.ReadReply(kReplyMs)), "500 connection info:");
}

TEST_F(ControlServerTest, ANonLoopbackAddressNeedsAnAllowList) {
  options_.endpoint.address = "0.0.0.0";
  options_.endpoint.port = 0;
  CControlServer server(deck_, options_, [](const std::string&) {});
  std::string error;
  EXPECT_FALSE(server.Start(&error));
  EXPECT_NE(error.find("not loopback"), std::string::npos);
}

}  // namespace
}  // namespace vxr
