#include "app/deck_app.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QComboBox>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "app/app_test_support.h"
#include "app/main_panel_dialog.h"
#include "app/settings_dialog.h"
#include "app/termination_signals.h"
#include "platform/diagnostics.h"
#include "player/player_factory.h"
#include "player/server_registry.h"
#include "testing/fake_deck_player.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"
#include "vboard/server/software_board.h"

namespace vxr {
namespace {

using Events = std::vector<std::string>;

// A fake player that notes when the deck releases it.
class NotingPlayer : public testing::FakeDeckPlayer {
 public:
  explicit NotingPlayer(Events* events) : events_(events) {}
  ~NotingPlayer() override { events_->push_back("player released"); }

 private:
  Events* events_;
};

class ApplicationRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApplication();
    previous_sink_ = SetDiagnosticSink([](std::string_view, std::string_view) {});
  }
  void TearDown() override {
    UnregisterServerClasses();
    SetDiagnosticSink(previous_sink_);
  }

  // An application on the default skin whose server library start and stop, and whose
  // player's release, are noted in events_.
  std::unique_ptr<CDeckApp> MakeApp(PlayerFactory factory = {}) {
    if (!factory) {
      factory = [this] { return std::unique_ptr<CDeckPlayer>(new NotingPlayer(&events_)); };
    }
    auto app = std::make_unique<CDeckApp>(
        "vxrdeck", std::move(factory),
        [this]() -> CDeckApp::ServerLibrary {
          events_.push_back("server started");
          auto board = std::make_unique<CSoftwareBoard>(BoardConfig{});
          board->Register();
          return CDeckApp::ServerLibrary(board.release(), [this](void* board) {
            events_.push_back("server stopped");
            delete static_cast<CSoftwareBoard*>(board);
          });
        },
        folder_.File("vxrdeck.ini"));
    app->SetSkinPath(testing::DefaultSkinPath());
    app->SetPrompter(&prompter_);
    return app;
  }

  // Calls act once the application's panel is up and running.
  void WhenRunning(CDeckApp& app, std::function<void()> act) {
    auto* poll = new QTimer();
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, &app, act] {
      if (app.Panel() == nullptr || !app.Panel()->isVisible() || app.Panel()->Deck() == nullptr) {
        return;
      }
      poll->stop();
      poll->deleteLater();
      act();
    });
    poll->start();
  }

  // What the panel showed once the start-up options had acted.
  struct StartUpView {
    std::string label;
    int remote_state = -1;
  };
  // Runs app with --port on the pty, --tape and --remote; ends it once REMOTE has acted.
  StartUpView RunStartUp(CDeckApp& app, const std::string& port, const std::string& tape) {
    DeckOptions options;
    options.port = port;
    options.tape = tape;
    options.remote = true;
    StartUpView view;
    WhenRunning(app, [&] {
      CMainPanelDialog* panel = app.Panel();
      testing::WaitUntil([&] { return panel->Button(3).State() != 0; });
      view.label = panel->Label(0).Text();
      view.remote_state = panel->Button(3).State();
      app.RequestPowerOff();
    });
    EXPECT_EQ(app.Run(options), kExitOk);
    return view;
  }

  DiagnosticSink previous_sink_;
  testing::TempFolder folder_;
  testing::RecordingPrompter prompter_;
  Events events_;
};

TEST_F(ApplicationRunTest, ThePlayerGoesBeforeTheServerLibraryAndTheRecentListIsWrittenAtExit) {
  auto app = MakeApp();
  app->Config().Write("Recent File List", "File1", "/tapes/old.avi");
  app->Config().Write("Recent File List", "File2", "/tapes/reel.avi");
  app->Config().Write("Recent File List", "File3", "/tapes/older.avi");
  DeckOptions options;
  options.tape = "/tapes/reel.avi";
  WhenRunning(*app, [&] {
    // The start-up tape was loaded through the label's flow before anything else ran.
    events_.push_back("running");
    app->RequestPowerOff();
  });
  EXPECT_EQ(app->Run(options), kExitOk);
  EXPECT_EQ(events_, (Events{"server started", "running", "player released", "server stopped"}));
  EXPECT_EQ(app->RecentFiles().Paths(),
            (std::vector<std::string>{"/tapes/reel.avi", "/tapes/old.avi", "/tapes/older.avi"}));
  EXPECT_EQ(app->Config().Read("Recent File List", "File1", ""), "/tapes/reel.avi");
  EXPECT_EQ(app->Config().Read("Recent File List", "File2", ""), "/tapes/old.avi");
  EXPECT_EQ(app->Config().Read("Recent File List", "File3", ""), "/tapes/older.avi");
  EXPECT_EQ(app->Config().Read("Recent File List", "File4", "none"), "none");
  // No port was stored: REMOTE never started the service.
  EXPECT_EQ(app->Config().Read("Settings", "Port_name", "none"), "none");
  EXPECT_TRUE(prompter_.messages.empty());
}

TEST_F(ApplicationRunTest, APowerOffRequestedBeforeTheRunEndsItAsSoonAsThePanelRuns) {
  auto app = MakeApp();
  app->RequestPowerOff();
  EXPECT_EQ(app->Run(DeckOptions{}), kExitOk);
  EXPECT_EQ(events_, (Events{"server started", "player released", "server stopped"}));
}

TEST_F(ApplicationRunTest, ASkinThatCannotBeLoadedEndsTheRunWithAFailure) {
  auto app = MakeApp();
  app->SetSkinPath(folder_.File("none.skn"));
  EXPECT_EQ(app->Run(DeckOptions{}), kExitFailed);
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].caption, "Load Skin");
  // No deck was made; the server library was still started and stopped in order.
  EXPECT_EQ(events_, (Events{"server started", "server stopped"}));
}

TEST_F(ApplicationRunTest, SigtermEndsTheRunAsPowerDoes) {
  auto app = MakeApp();
  CTerminationSignals termination([&app] { app->RequestPowerOff(); });
  ASSERT_TRUE(termination.ok());
  WhenRunning(*app, [] { ::kill(::getpid(), SIGTERM); });
  EXPECT_EQ(app->Run(DeckOptions{}), kExitOk);
  EXPECT_EQ(events_, (Events{"server started", "player released", "server stopped"}));
}

TEST_F(ApplicationRunTest, APowerOffWaitsForAnOpenDialogToClose) {
  auto app = MakeApp();
  std::string port_after_settings = "not run";
  bool settings_seen = false;
  WhenRunning(*app, [&] {
    QTimer::singleShot(0, [&] {
      // Inside the Settings dialog: the request closes it, and the panel then ends.
      settings_seen = dynamic_cast<CSettingsDialog*>(QApplication::activeModalWidget()) != nullptr;
      if (settings_seen) {
        static_cast<CSettingsDialog*>(QApplication::activeModalWidget())
            ->PortList()
            ->setCurrentIndex(2);
      }
      app->RequestPowerOff();
      events_.push_back("requested");
    });
    app->Panel()->OnCommand(CMainPanelDialog::kSettingsId);
    events_.push_back("settings closed");
    port_after_settings = app->Panel()->PortName();
  });
  EXPECT_EQ(app->Run(DeckOptions{}), kExitOk);
  EXPECT_TRUE(settings_seen);
  EXPECT_EQ(port_after_settings, "COM1");  // closed as a cancel
  EXPECT_EQ(events_, (Events{"server started", "requested", "settings closed", "player released",
                             "server stopped"}));
}

TEST_F(ApplicationRunTest, StartUpOptionsLoadTheTapeThenHandTheDeckToTheController) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder_, "reel.avi", testing::SmallTape(2.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  auto app = MakeApp(MakeClvrPlayerFactory());
  app->Config().Write("Settings", "Port_name", "COM2");
  const StartUpView view = RunStartUp(*app, pty.SlavePath(), tape);
  EXPECT_EQ(view.remote_state, CSkinIndicator::kLit | CSkinIndicator::kHeldDown);
  EXPECT_TRUE(view.label == tape || view.label.find("...") != std::string::npos) << view.label;
  EXPECT_TRUE(prompter_.messages.empty());
  EXPECT_EQ(prompter_.file_dialogs, 0);
  EXPECT_EQ(app->Config().Read("Settings", "Port_name", ""), pty.SlavePath());
  EXPECT_EQ(app->Config().Read("Recent File List", "File1", ""), tape);
}

TEST_F(ApplicationRunTest, AFailedStartUpTapeShowsTheLabelsMessageAndRemoteStillFollows) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto app = MakeApp(MakeClvrPlayerFactory());
  const std::string missing = folder_.File("missing.avi");
  const StartUpView view = RunStartUp(*app, pty.SlavePath(), missing);
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].text, "Error HRESULT 0x80070002 load as tape\n'" + missing + "'");
  EXPECT_EQ(view.remote_state, CSkinIndicator::kLit | CSkinIndicator::kHeldDown);
  EXPECT_EQ(view.label, "No Tape - Click to Load");
  EXPECT_EQ(app->Config().Read("Recent File List", "File1", "none"), "none");
}

TEST(TerminationSignalsTest, EachSignalBecomesACallFromTheEventLoop) {
  testing::EnsureQtApplication();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGINT, &ignore, &before), 0);
  {
    int calls = 0;
    CTerminationSignals termination([&calls] { ++calls; });
    ASSERT_TRUE(termination.ok());
    ::kill(::getpid(), SIGINT);
    // The handler only wrote a byte; the call comes from the event loop.
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(testing::WaitUntil([&] { return calls == 1; }));
    ::kill(::getpid(), SIGTERM);
    EXPECT_TRUE(testing::WaitUntil([&] { return calls == 2; }));
  }
  // The previous disposition is back.
  struct sigaction now {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ::sigaction(SIGINT, &before, nullptr);
}

}  // namespace
}  // namespace vxr
