#include "app/main_panel_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <memory>

#include "app/app_test_support.h"
#include "app/settings_dialog.h"
#include "platform/diagnostics.h"
#include "player/player_factory.h"
#include "player/server_registry.h"
#include "protocol/frame.h"
#include "protocol/serial_link.h"
#include "protocol/status_bits.h"
#include "testing/control_client.h"
#include "testing/fake_deck_player.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"
#include "vboard/server/software_board.h"

namespace vxr {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kLit = CSkinIndicator::kLit;
constexpr int kDown = CSkinIndicator::kHeldDown;

// The panel with the default skin, the real deck, the real player and the software board.
class MainPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureQtApplication();
    previous_sink_ = SetDiagnosticSink([](std::string_view, std::string_view) {});
  }
  void TearDown() override {
    if (panel_) End();
    panel_.reset();
    board_.reset();
    UnregisterServerClasses();
    SetDiagnosticSink(previous_sink_);
  }

  void StartBoard(int board_count = 1) {
    BoardConfig config;
    config.board_count = board_count;
    board_ = std::make_unique<CSoftwareBoard>(config);
    board_->Register();
  }

  // Makes the panel and runs its initialisation (as showing it does).
  void Open(PlayerFactory factory = MakeClvrPlayerFactory()) {
    panel_ = std::make_unique<CMainPanelDialog>(config_, recent_, std::move(factory));
    panel_->SetSkinPath(testing::DefaultSkinPath());
    panel_->SetPrompter(&prompter_);
    for (auto& setup : before_open_) setup(*panel_);
    panel_->show();
  }
  void End() {
    if (panel_->isVisible()) panel_->OnCommand(CMainPanelDialog::kPowerId);
  }

  std::string MakeTape(const std::string& name, double seconds = 8.0) {
    std::string error;
    const std::string path =
        testing::MakeTestTape(folder_, name, testing::SmallTape(seconds), &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }
  // Loads path through the status label, answering the file dialog with it.
  void LoadFromLabel(const std::string& path) {
    prompter_.answers.push_back(path);
    panel_->OnCommand(CMainPanelDialog::kLoadTapeId);
  }

  int ButtonState(int i) { return panel_->Button(i).State(); }
  bool ButtonLit(int i) { return (ButtonState(i) & kLit) != 0; }
  bool Lit(int i) { return (panel_->Indicator(i).State() & kLit) != 0; }
  std::string LabelText() { return panel_->Label(0).Text(); }
  // Ticks (and lets the player run) until condition holds.
  bool TickUntil(const std::function<bool()>& condition, int timeout_ms = 8000) {
    return testing::WaitUntil(
        [&] {
          panel_->OnTimerTick();
          return condition();
        },
        timeout_ms);
  }
  std::uint8_t Byte(int index) {
    std::uint8_t status[16] = {};
    panel_->Deck()->RefreshStatus(16, status, nullptr);
    return status[index];
  }

  DiagnosticSink previous_sink_;
  testing::TempFolder folder_;
  CConfigStore config_{"vxrdeck", folder_.File("vxrdeck.ini")};
  CRecentFileList recent_;
  testing::RecordingPrompter prompter_;
  std::vector<std::function<void(CMainPanelDialog&)>> before_open_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::unique_ptr<CMainPanelDialog> panel_;
};

TEST_F(MainPanelTest, StartUpWithAPlayerButNoTape) {
  StartBoard();
  Open();
  ASSERT_TRUE(panel_->SkinLoaded());
  ASSERT_NE(panel_->Deck(), nullptr);
  EXPECT_TRUE(prompter_.messages.empty());
  EXPECT_EQ(panel_->windowTitle(), "Calvera VXR");
  EXPECT_FALSE(panel_->windowIcon().isNull());
  EXPECT_TRUE(panel_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(panel_->TimerActive());
  EXPECT_EQ(panel_->PortName(), "COM1");
  EXPECT_EQ(ButtonState(1), kLit | kDown);  // POWER
  EXPECT_EQ(Byte(0) & status::Local.mask, status::Local.mask);

  panel_->OnTimerTick();
  for (int button : {4, 5, 6, 7, 8}) EXPECT_FALSE(ButtonLit(button)) << "button " << button;
  for (int lamp = 1; lamp <= 8; ++lamp) EXPECT_FALSE(Lit(lamp)) << "indicator " << lamp;
  EXPECT_EQ(LabelText(), "No Tape - Click to Load");
  EXPECT_EQ(panel_->Timecode().Text(), "00:00:00:00");
  // The port was read, not written.
  EXPECT_EQ(config_.Read("Settings", "Port_name", "unset"), "unset");
}

TEST_F(MainPanelTest, TheStoredPortIsReadAndAStartUpPortReplacesItForTheRun) {
  StartBoard();
  config_.Write("Settings", "Port_name", "COM3");
  Open();
  EXPECT_EQ(panel_->PortName(), "COM3");
  End();
  before_open_.push_back([](CMainPanelDialog& p) { p.SetStartupPort("/dev/ttyUSB4"); });
  Open();
  EXPECT_EQ(panel_->PortName(), "/dev/ttyUSB4");
  EXPECT_EQ(config_.Read("Settings", "Port_name", "unset"), "COM3");
}

TEST_F(MainPanelTest, LoadPlayStopAndEjectFromThePanel) {
  StartBoard();
  const std::string tape = MakeTape("reel.avi");
  Open();
  panel_->OnTimerTick();
  LoadFromLabel(tape);
  EXPECT_EQ(prompter_.file_dialogs, 1);
  EXPECT_EQ(prompter_.last_filter, "AVI files and TML projects (*.avi *.tml)");
  EXPECT_TRUE(prompter_.messages.empty());
  EXPECT_EQ(recent_.Paths(), std::vector<std::string>{tape});
  const std::string shown = LabelText();
  EXPECT_TRUE(shown == tape || shown.find("...") != std::string::npos) << shown;

  // Loaded: stopped and still on the first frame, which is an end of the tape.
  ASSERT_TRUE(TickUntil([&] { return ButtonLit(7); }));
  EXPECT_TRUE(Lit(8));
  EXPECT_TRUE(Lit(4));
  EXPECT_FALSE(Lit(5));
  EXPECT_EQ(LabelText(), shown);  // ticks leave the path alone

  // PLAY in local state: the lamps follow the player and the timecode runs.
  panel_->OnCommand(CMainPanelDialog::kPlayId);
  ASSERT_TRUE(TickUntil([&] { return ButtonLit(5); }));
  EXPECT_TRUE(Lit(7));
  EXPECT_FALSE(ButtonLit(7));
  EXPECT_FALSE(Lit(8));
  ASSERT_TRUE(TickUntil([&] { return panel_->Timecode().Text() >= "00:00:00:10"; }));
  EXPECT_FALSE(Lit(4));

  panel_->OnCommand(CMainPanelDialog::kStopId);
  ASSERT_TRUE(TickUntil([&] { return ButtonLit(7) && Lit(8); }));
  EXPECT_FALSE(ButtonLit(5));
  EXPECT_FALSE(Lit(7));

  // Clicking the label with a tape in only says so.
  panel_->OnCommand(CMainPanelDialog::kLoadTapeId);
  EXPECT_EQ(prompter_.file_dialogs, 1);
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].text, "\"Tape\" is loaded\nEJECT to load another AVI/TML");
  EXPECT_EQ(prompter_.messages[0].caption, "vxrdeck");
  EXPECT_EQ(prompter_.messages[0].icon, MessageIcon::kWarning);

  // EJECT: no tape, EJECT dark and released again.
  panel_->OnCommand(CMainPanelDialog::kEjectId);
  ASSERT_TRUE(TickUntil([&] { return LabelText() == "No Tape - Click to Load"; }));
  ASSERT_TRUE(TickUntil([&] { return ButtonState(8) == 0; }));
  EXPECT_FALSE(Lit(7));

  // A second tape: both in the recent list, the newer first.
  const std::string second = MakeTape("second.avi", 2.0);
  LoadFromLabel(second);
  EXPECT_EQ(recent_.Paths(), (std::vector<std::string>{second, tape}));
}

// A fake player that runs a hook while it loads.
class LoadWatchingPlayer : public testing::FakeDeckPlayer {
 public:
  explicit LoadWatchingPlayer(std::function<void()> during_load)
      : during_load_(std::move(during_load)) {}
  HRESULT InsertTape(const std::string& path) override {
    during_load_();
    return FakeDeckPlayer::InsertTape(path);
  }

 private:
  std::function<void()> during_load_;
};

TEST_F(MainPanelTest, TheLabelSaysLoadingWhileTheTapeLoads) {
  std::string during_load;
  Open([&] {
    return std::unique_ptr<CDeckPlayer>(
        new LoadWatchingPlayer([&] { during_load = panel_->Label(0).Text(); }));
  });
  panel_->OnTimerTick();
  LoadFromLabel("/tapes/reel.avi");
  EXPECT_EQ(during_load, "Loading ...");
  EXPECT_EQ(LabelText(), "/tapes/reel.avi");
}

TEST_F(MainPanelTest, ACancelledFileDialogChangesNothing) {
  StartBoard();
  Open();
  panel_->OnTimerTick();
  panel_->OnCommand(CMainPanelDialog::kLoadTapeId);  // no answer queued: cancelled
  EXPECT_EQ(prompter_.file_dialogs, 1);
  EXPECT_EQ(LabelText(), "No Tape - Click to Load");
  EXPECT_TRUE(prompter_.messages.empty());
  EXPECT_TRUE(recent_.Paths().empty());
}

TEST_F(MainPanelTest, AFailedLoadShowsTheResultAndThePath) {
  StartBoard();
  const std::string mpg = folder_.WriteFile("clip.mpg", "not a tape");
  Open();
  panel_->OnTimerTick();
  LoadFromLabel(mpg);
  EXPECT_EQ(LabelText(), "No Tape - Click to Load");
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].text, "Error HRESULT 0x32 load as tape\n'" + mpg + "'");
  EXPECT_EQ(prompter_.messages[0].caption, "vxrdeck");
  EXPECT_EQ(prompter_.messages[0].icon, MessageIcon::kWarning);
  EXPECT_TRUE(recent_.Paths().empty());
  // The deck is still under local control.
  EXPECT_EQ(Byte(0), status::Local.mask | status::Tape_OUT.mask);

  // A broken AVI fails with the server's result, in lower-case hexadecimal.
  const std::string broken = folder_.WriteFile("broken.avi", "plain text, not a movie\n");
  LoadFromLabel(broken);
  ASSERT_EQ(prompter_.messages.size(), 2u);
  EXPECT_EQ(prompter_.messages[1].text, "Error HRESULT 0x80040210 load as tape\n'" + broken + "'");
  // The label still loads a good tape afterwards.
  const std::string tape = MakeTape("good.avi", 2.0);
  LoadFromLabel(tape);
  EXPECT_EQ(prompter_.messages.size(), 2u);
  EXPECT_EQ(recent_.Paths(), std::vector<std::string>{tape});
}

TEST_F(MainPanelTest, RemoteWithAPortThatDoesNotExistChangesNothing) {
  StartBoard();
  before_open_.push_back([](CMainPanelDialog& p) { p.SetStartupPort("/dev/vxr-no-such-port"); });
  Open();
  panel_->OnTimerTick();
  panel_->OnCommand(CMainPanelDialog::kRemoteId);
  EXPECT_EQ(ButtonState(3), 0);
  EXPECT_EQ(panel_->Deck()->IsReceiverStopped(), 1);
  EXPECT_TRUE(prompter_.messages.empty());
  // No box, but one line on standard error says which port and why.
  EXPECT_EQ(prompter_.notices,
            std::vector<std::string>{"vxrdeck: REMOTE cannot open port /dev/vxr-no-such-port: "
                                     "no such device"});
  EXPECT_EQ(config_.Read("Settings", "Port_name", "unset"), "unset");
  EXPECT_EQ(Byte(0) & status::Local.mask, status::Local.mask);
}

class MainPanelRemoteTest : public MainPanelTest {
 protected:
  void SetUp() override {
    MainPanelTest::SetUp();
    ASSERT_TRUE(pty_.ok());
    StartBoard();
    config_.Write("Settings", "Port_name", pty_.SlavePath());
    Open();
    panel_->OnTimerTick();
  }
  // A status sense over the wire: byte 0, or -1 without an answer.
  int WireByte0() {
    Bytes frame = {0x61, 0x20, 0x01};
    frame.push_back(Checksum(frame.data(), 3));
    pty_.Write(frame);
    const Bytes reply = pty_.ReadFrame(1000);
    return reply.size() == 4 ? reply[2] : -1;
  }
  testing::PtyPair pty_;
};

TEST_F(MainPanelRemoteTest, RemoteThreeTimesStartsTheServiceOnce) {
  // Written only after a successful start: remove the value to see it come back.
  config_.Remove("Settings", "Port_name");
  // A port another program holds is refused, and the line says so.
  {
    CSerialLink holder;
    ASSERT_EQ(holder.OpenPort(pty_.SlavePath().c_str()), 0u);
    panel_->OnCommand(CMainPanelDialog::kRemoteId);
    EXPECT_EQ(ButtonState(3), 0);
    EXPECT_EQ(prompter_.notices,
              std::vector<std::string>{"vxrdeck: REMOTE cannot open port " + pty_.SlavePath() +
                                       ": busy — another program has the port open"});
  }
  panel_->OnCommand(CMainPanelDialog::kRemoteId);
  EXPECT_EQ(ButtonState(3), kLit | kDown);
  EXPECT_EQ(panel_->Deck()->IsReceiverStopped(), 0);
  EXPECT_EQ(config_.Read("Settings", "Port_name", "unset"), pty_.SlavePath());
  ASSERT_EQ(prompter_.notices.size(), 2u);
  EXPECT_EQ(prompter_.notices[1],
            "vxrdeck: REMOTE serves the edit controller on " + pty_.SlavePath());
  ASSERT_TRUE(testing::WaitUntil([&] { return WireByte0() == 0x20; }));  // remote, no tape

  panel_->OnTimerTick();
  panel_->OnCommand(CMainPanelDialog::kRemoteId);  // back to local; the service keeps running
  EXPECT_EQ(ButtonState(3), 0);
  EXPECT_EQ(panel_->Deck()->IsReceiverStopped(), 0);
  EXPECT_EQ(WireByte0(), 0x21);

  panel_->OnTimerTick();
  panel_->OnCommand(CMainPanelDialog::kRemoteId);  // a second start would fail and stay dark
  EXPECT_EQ(ButtonState(3), kLit | kDown);
  EXPECT_EQ(WireByte0(), 0x20);
}

TEST_F(MainPanelRemoteTest, PlayInRemoteStateDoesNothingButTheControllerAndEjectStillWork) {
  const std::string tape = MakeTape("reel.avi");
  panel_->OnCommand(CMainPanelDialog::kRemoteId);
  ASSERT_EQ(ButtonState(3), kLit | kDown);
  LoadFromLabel(tape);  // loading is not gated by local control
  ASSERT_TRUE(TickUntil([&] { return ButtonLit(7); }));
  panel_->OnCommand(CMainPanelDialog::kPlayId);
  panel_->OnCommand(CMainPanelDialog::kFastFwdId);
  // Nothing was queued: the deck stays stopped on its first frame.
  testing::WaitUntil([] { return false; }, 500);
  panel_->OnTimerTick();
  EXPECT_FALSE(ButtonLit(5));
  EXPECT_FALSE(ButtonLit(6));
  EXPECT_EQ(Byte(1) & status::Play.mask, 0);
  EXPECT_EQ(panel_->Timecode().Text(), "00:00:00:00");
  // A failed load leaves the deck in the remote state.
  panel_->OnCommand(CMainPanelDialog::kEjectId);
  ASSERT_TRUE(TickUntil([&] { return LabelText() == "No Tape - Click to Load"; }));
  LoadFromLabel(folder_.WriteFile("clip.mpg", "x"));
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(Byte(0), status::Tape_OUT.mask);
  EXPECT_EQ(WireByte0(), 0x20);
  LoadFromLabel(tape);
  // EJECT works in the remote state.
  panel_->OnCommand(CMainPanelDialog::kEjectId);
  ASSERT_TRUE(TickUntil([&] { return LabelText() == "No Tape - Click to Load"; }));
}

TEST_F(MainPanelRemoteTest, SettingsIsReadOnlyOnceTheServiceRuns) {
  bool enabled = true;
  auto change_port = [&] {
    QTimer::singleShot(0, [&] {
      auto* dialog = dynamic_cast<CSettingsDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      enabled = dialog->PortList()->isEnabled();
      dialog->PortList()->setCurrentIndex(dialog->PortList()->findText("COM3"));
      dialog->accept();
    });
    panel_->OnCommand(CMainPanelDialog::kSettingsId);
  };
  // Before REMOTE the port can be chosen; it is kept for the run, not stored.
  change_port();
  EXPECT_TRUE(enabled);
  EXPECT_EQ(panel_->PortName(), "COM3");
  EXPECT_EQ(config_.Read("Settings", "Port_name", "unset"), pty_.SlavePath());

  // Back to the pty, start the service: from then on the port cannot change.
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<CSettingsDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->PortList()->lineEdit()->setText(QString::fromStdString(pty_.SlavePath()));
    dialog->accept();
  });
  panel_->OnCommand(CMainPanelDialog::kSettingsId);
  ASSERT_EQ(panel_->PortName(), pty_.SlavePath());
  panel_->OnCommand(CMainPanelDialog::kRemoteId);
  ASSERT_EQ(panel_->Deck()->IsReceiverStopped(), 0);
  change_port();
  EXPECT_FALSE(enabled);
  EXPECT_EQ(panel_->PortName(), pty_.SlavePath());

  // Cancel keeps the name, read-only or not.
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<CSettingsDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->reject();
  });
  panel_->OnCommand(CMainPanelDialog::kSettingsId);
  EXPECT_EQ(panel_->PortName(), pty_.SlavePath());
}

TEST_F(MainPanelRemoteTest, PowerStopsTheServiceAndReleasesTheDeck) {
  panel_->OnCommand(CMainPanelDialog::kRemoteId);
  ASSERT_TRUE(testing::WaitUntil([&] { return WireByte0() == 0x20; }));
  panel_->OnCommand(CMainPanelDialog::kPowerId);
  EXPECT_EQ(panel_->result(), QDialog::Accepted);
  EXPECT_EQ(panel_->Deck(), nullptr);
  EXPECT_FALSE(panel_->TimerActive());
  EXPECT_FALSE(panel_->isVisible());
  // Nobody answers the controller any more.
  EXPECT_EQ(WireByte0(), -1);
}

TEST_F(MainPanelTest, EnterEndsWithOkAndEscapeWithCancel) {
  StartBoard();
  Open();
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
  QApplication::sendEvent(panel_.get(), &enter);
  EXPECT_EQ(panel_->result(), QDialog::Accepted);
  EXPECT_EQ(panel_->Deck(), nullptr);
  Open();
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(panel_.get(), &escape);
  EXPECT_EQ(panel_->result(), QDialog::Rejected);
  EXPECT_EQ(panel_->Deck(), nullptr);
}

TEST_F(MainPanelTest, WithoutABoardThePanelOnlyOffersPower) {
  StartBoard(0);
  Open();
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].text, "\"Calvera\" video I/O card was not found");
  EXPECT_EQ(prompter_.messages[0].caption, "vxrdeck");
  EXPECT_EQ(prompter_.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(panel_->Deck(), nullptr);
  EXPECT_FALSE(panel_->TimerActive());
  EXPECT_EQ(LabelText(), "Click POWER button to close application");
  EXPECT_EQ(ButtonState(1), 0);
  // The label, REMOTE and the transport buttons do nothing; SETTINGS opens read-only.
  for (int id : {CMainPanelDialog::kLoadTapeId, CMainPanelDialog::kRemoteId,
                 CMainPanelDialog::kPlayId, CMainPanelDialog::kEjectId}) {
    panel_->OnCommand(id);
  }
  EXPECT_EQ(prompter_.file_dialogs, 0);
  EXPECT_EQ(LabelText(), "Click POWER button to close application");
  bool enabled = true;
  QTimer::singleShot(0, [&] {
    auto* dialog = dynamic_cast<CSettingsDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    enabled = dialog->PortList()->isEnabled();
    dialog->accept();
  });
  panel_->OnCommand(CMainPanelDialog::kSettingsId);
  EXPECT_FALSE(enabled);
  panel_->OnCommand(CMainPanelDialog::kPowerId);
  EXPECT_EQ(panel_->result(), QDialog::Accepted);
  EXPECT_FALSE(panel_->isVisible());
}

TEST_F(MainPanelTest, AnUnregisteredServerAndOtherFailuresHaveTheirMessages) {
  UnregisterServerClasses();
  Open();
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].text,
            "\"ClvPlayServer\" class is not in registration database?\n"
            "Please install \"Calvera Software\" version 1.25 or later.");
  End();
  Open([] {
    auto player = std::make_unique<testing::FakeDeckPlayer>();
    player->SetInitializeResult(E_FAIL);
    return std::unique_ptr<CDeckPlayer>(std::move(player));
  });
  ASSERT_EQ(prompter_.messages.size(), 2u);
  EXPECT_EQ(prompter_.messages[1].text,
            "Initialization error\n\"On()\" HRESULT 0x80004005(-2147467259)");
  EXPECT_EQ(prompter_.messages[1].icon, MessageIcon::kError);
}

TEST_F(MainPanelTest, ASkinThatCannotBeLoadedEndsThePanel) {
  StartBoard();
  panel_ = std::make_unique<CMainPanelDialog>(config_, recent_, MakeClvrPlayerFactory());
  panel_->SetSkinPath(folder_.File("missing.skn"));
  panel_->SetPrompter(&prompter_);
  EXPECT_EQ(panel_->exec(), QDialog::Rejected);
  EXPECT_FALSE(panel_->SkinLoaded());
  EXPECT_EQ(panel_->Deck(), nullptr);
  ASSERT_EQ(prompter_.messages.size(), 1u);
  EXPECT_EQ(prompter_.messages[0].caption, "Load Skin");
}

// The lamp rules, on statuses that the test sets through a fake player.
class MainPanelLampTest : public MainPanelTest {
 protected:
  void SetUp() override {
    MainPanelTest::SetUp();
    Open([this] {
      auto player = std::make_unique<testing::FakeDeckPlayer>();
      player_ = player.get();
      return std::unique_ptr<CDeckPlayer>(std::move(player));
    });
    ASSERT_NE(player_, nullptr);
  }
  void Show(std::initializer_list<StatusBit> bits, std::uint32_t time = 0) {
    for (int i = 0; i < 16; ++i) player_->SetStatusByte(i, 0);
    for (const StatusBit& bit : bits) {
      player_->SetStatusByte(bit.byte,
                             static_cast<std::uint8_t>(player_->Status()[bit.byte] | bit.mask));
    }
    player_->SetCurrentTime(time);
    panel_->OnTimerTick();
  }
  testing::FakeDeckPlayer* player_ = nullptr;
};

TEST_F(MainPanelLampTest, TheEndLampsTellStartFromEnd) {
  Show({status::Stop, status::End_Of_Tape}, 0x00000000);
  EXPECT_TRUE(Lit(4));
  EXPECT_FALSE(Lit(5));
  Show({status::Stop});
  EXPECT_FALSE(Lit(4));
  EXPECT_FALSE(Lit(5));
  Show({status::Stop, status::End_Of_Tape}, 0x00002412);  // 00:00:24:12
  EXPECT_FALSE(Lit(4));
  EXPECT_TRUE(Lit(5));
  Show({status::Still, status::Near_EOT}, 0x00000000);
  EXPECT_TRUE(Lit(4));
  EXPECT_FALSE(Lit(5));
  Show({status::Stop, status::Near_EOT}, 0x01000000);  // 01:00:00:00
  EXPECT_FALSE(Lit(4));
  EXPECT_TRUE(Lit(5));
  // The lamps are set when the status changes, from the time read then.
  player_->SetCurrentTime(0);
  panel_->OnTimerTick();
  EXPECT_TRUE(Lit(5));
}

TEST_F(MainPanelLampTest, TransportAndMotionLamps) {
  Show({status::Play, status::Reverse});
  EXPECT_TRUE(ButtonLit(5));
  EXPECT_TRUE(Lit(6));
  EXPECT_FALSE(Lit(7));
  Show({status::Fast_FWD});
  EXPECT_TRUE(ButtonLit(6));
  EXPECT_TRUE(Lit(7));
  Show({status::Rewind, status::Reverse});
  EXPECT_TRUE(ButtonLit(4));
  EXPECT_FALSE(ButtonLit(6));
  EXPECT_TRUE(Lit(6));
  EXPECT_FALSE(Lit(7));
  Show({status::Shuttle});
  EXPECT_TRUE(Lit(1));
  EXPECT_TRUE(Lit(7));
  Show({status::TSO_Mode, status::Servo_Lock});
  EXPECT_TRUE(Lit(1));
  EXPECT_TRUE(Lit(3));
  Show({status::Jog, status::Still});
  EXPECT_TRUE(Lit(2));
  EXPECT_FALSE(Lit(1));
  EXPECT_TRUE(Lit(8));
  EXPECT_FALSE(Lit(7));
  // The forward lamp is only ever put out by Still, Reverse or a missing tape.
  Show({status::Play});
  ASSERT_TRUE(Lit(7));
  Show({status::Stop});
  EXPECT_TRUE(Lit(7));
  EXPECT_TRUE(ButtonLit(7));
  Show({status::Stop, status::Tape_OUT});
  EXPECT_FALSE(Lit(7));
}

TEST_F(MainPanelLampTest, EjectAndTapeOutTexts) {
  Show({status::Eject});
  EXPECT_EQ(ButtonState(8), kLit | kDown);
  EXPECT_EQ(LabelText(), "Ejecting...");
  Show({status::Eject, status::Tape_OUT});
  EXPECT_EQ(LabelText(), "No Tape - Click to Load");
  Show({});
  EXPECT_EQ(ButtonState(8), 0);
  EXPECT_EQ(LabelText(), "No Tape - Click to Load");
  // The bits above Tape_OUT also mean no tape.
  panel_->Label(0).SetText("x", false);
  player_->SetStatusByte(0, 0x80);
  panel_->OnTimerTick();
  EXPECT_EQ(LabelText(), "No Tape - Click to Load");
}

TEST_F(MainPanelLampTest, AnUnchangedStatusTouchesNothingButTheTime) {
  Show({status::Play}, 0x00000005);
  panel_->Label(0).SetText("kept", false);
  panel_->Button(5).SetLamp(false);
  player_->SetCurrentTime(0x00000107);
  panel_->OnTimerTick();
  EXPECT_EQ(LabelText(), "kept");
  EXPECT_FALSE(ButtonLit(5));
  EXPECT_EQ(panel_->Timecode().Text(), "00:00:01:07");
  // A failing time read keeps the display, even when the player has no failing result to
  // give and the read looks successful.
  player_->SetGetCurrentTimeResult(1);
  panel_->OnTimerTick();
  EXPECT_EQ(panel_->Timecode().Text(), "00:00:01:07");
}

TEST_F(MainPanelLampTest, PanelTransportButtonsReachThePlayerOnlyInLocalState) {
  // Presses REW, PLAY, FF, STOP and EJECT and returns the transport calls that reached the
  // player.
  auto press_all = [this] {
    player_->ClearCalls();
    for (int id :
         {CMainPanelDialog::kRewindId, CMainPanelDialog::kPlayId, CMainPanelDialog::kFastFwdId,
          CMainPanelDialog::kStopId, CMainPanelDialog::kEjectId}) {
      panel_->OnCommand(id);
    }
    std::vector<std::string> names;
    for (const auto& call : player_->Calls()) {
      if (call.name != "GetCurrentTime") names.push_back(call.name);
    }
    return names;
  };
  panel_->OnTimerTick();
  EXPECT_EQ(press_all(), (std::vector<std::string>{"Rewind", "Play", "FastFwd", "Stop", "Eject"}));
  // Remote: only EJECT goes through.
  player_->SetStatusByte(0, 0);
  panel_->OnTimerTick();
  EXPECT_EQ(press_all(), std::vector<std::string>{"Eject"});
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// A reply of the control protocol while the panel's event loop runs (the deck's side of each
// command is carried out on this thread).
std::string Ask(testing::CControlClient& client, const std::string& command) {
  std::string reply;
  if (!command.empty() && !client.Send(command)) return reply;
  testing::WaitUntil([&] {
    reply = client.ReadReply(0);
    return !reply.empty();
  });
  return reply;
}

TEST_F(MainPanelTest, TheNetworkAloneDrivesAPanelWithoutAPortAndLoadsFromItsLibrary) {
  StartBoard();
  const std::string first = MakeTape("a.avi");
  const std::string second = MakeTape("b.avi");
  ControlSettings control;
  control.enabled = true;
  control.endpoint.port = 0;
  control.libraries = {folder_.path()};
  before_open_.push_back([&](CMainPanelDialog& p) {
    p.SetStartupPort("none");
    p.SetStartupTape(first);
    p.SetControl(control);
  });
  Open();
  ASSERT_GT(panel_->ControlPort(), 0);
  ASSERT_TRUE(TickUntil([&] { return LabelText() == first; }));
  // Driven from the network alone: under remote control from the start, without a port.
  EXPECT_TRUE(ButtonLit(3));
  EXPECT_EQ(Byte(0) & status::Local.mask, 0);

  testing::CControlClient client;
  ASSERT_TRUE(client.Connect(panel_->ControlPort()));
  EXPECT_NE(Ask(client, "").find("model: vxrdeck"), std::string::npos);
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return Ask(client, "clips count\n").find("clip count: 2") != std::string::npos; }));
  EXPECT_EQ(Ask(client, "goto: clip id: 2\n"), "200 ok\r\n");
  EXPECT_EQ(LabelText(), second);
  EXPECT_EQ(recent_.Paths().front(), second);
  EXPECT_NE(Ask(client, "transport info\n").find("clip id: 2"), std::string::npos);

  // LOCAL from the network, as the panel's button: then transport commands are refused.
  EXPECT_EQ(Ask(client, "remote: enable: false\n"), "200 ok\r\n");
  EXPECT_FALSE(ButtonLit(3));
  EXPECT_NE(Byte(0) & status::Local.mask, 0);
  EXPECT_EQ(Ask(client, "play\n"), "111 remote control disabled\r\n");
  EXPECT_EQ(Ask(client, "remote: enable: true\n"), "200 ok\r\n");
  EXPECT_TRUE(ButtonLit(3));
}

}  // namespace
}  // namespace vxr
