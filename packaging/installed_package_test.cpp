// The installation as a user gets it: installed under a staging folder as the package installs
// it (prefix /usr), then checked with the desktop's, the manual's and systemd's own validators,
// and the installed deck run headless with no display against a pseudo-terminal pair, driven by
// the installed vxrctl and ended by SIGTERM and SIGHUP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/thread_priority.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/no_display_start.h"
#include "testing/orderly_end.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

namespace fs = std::filesystem;
using testing::WaitFor;

constexpr int kInstallMs = 120000;
constexpr int kToolMs = 30000;
// Bounds for waits, generous: each ends as soon as what it waits for has come.
constexpr int kCommandMs = 30000;
constexpr int kStartMs = 30000;
constexpr int kEndMs = 30000;
constexpr int kExitFailed = 1;
// The headless deck's last two lines, the second one followed by the configuration's path.
constexpr const char* kEndingLine =
    "ending: the control port service stops and the configuration is written";
const std::string kWrittenLine = "configuration written to ";
constexpr std::size_t kDatagramBytes = 2048;  // a stream datagram holds 1316 bytes

using testing::ProgramRun;
using testing::RunProgram;

bool ProgramFound(const std::string& name) {
  return RunProgram({"sh", "-c", "command -v " + name}, "/dev/null", kToolMs).exit_code == 0;
}

class InstalledPackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testing::TempFolder;
    stage_ = folder_->File("stage");
    install_ = RunProgram({VXR_CMAKE, "--install", VXR_BUILD_DIR, "--prefix", "/usr"},
                          folder_->File("install.log"), kInstallMs, {{"DESTDIR", stage_}});
  }
  static void TearDownTestSuite() { delete folder_; }

  void SetUp() override { ASSERT_EQ(install_.exit_code, 0) << install_.output; }

  static std::string Usr(const std::string& path) { return stage_ + "/usr/" + path; }
  static std::string Log(const std::string& name) { return folder_->File(name); }

  static testing::TempFolder* folder_;
  static std::string stage_;
  static ProgramRun install_;
};

testing::TempFolder* InstalledPackageTest::folder_ = nullptr;
std::string InstalledPackageTest::stage_;
ProgramRun InstalledPackageTest::install_;

TEST_F(InstalledPackageTest, EverythingLandsUnderThePrefixAndValidates) {
  // Nothing beside the prefix: the staging folder holds usr/ alone.
  std::vector<std::string> top;
  for (const fs::directory_entry& entry : fs::directory_iterator(stage_)) {
    top.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(top, std::vector<std::string>{"usr"});
  for (const char* path :
       {"bin/vxrdeck", "bin/vxrctl", "bin/maketape", "bin/skinview", "share/vxrdeck/vxrdeck.skn",
        "share/vxrdeck/vxrdeck_skin/background.bmp", "share/vxrdeck/sample.avi",
        "share/icons/hicolor/32x32/apps/vxrdeck.png", "share/icons/hicolor/16x16/apps/vxrdeck.png",
        "share/applications/vxrdeck.desktop", "share/man/man1/vxrdeck.1.gz",
        "share/man/man1/vxrctl.1.gz", "share/man/man1/maketape.1.gz",
        "share/man/man1/skinview.1.gz", "share/doc/vxrdeck/copyright",
        "share/doc/vxrdeck/changelog.Debian.gz", "lib/systemd/system/vxrdeck@.service",
        "lib/sysusers.d/vxrdeck.conf"}) {
    EXPECT_TRUE(fs::is_regular_file(Usr(path))) << path;
  }
  // The entry names the final location, not the staging folder.
  const std::string desktop = testing::ReadFileBytes(Usr("share/applications/vxrdeck.desktop"));
  EXPECT_NE(desktop.find("Path=/usr/share/vxrdeck\n"), std::string::npos) << desktop;
  const std::string unit = testing::ReadFileBytes(Usr("lib/systemd/system/vxrdeck@.service"));
  EXPECT_NE(unit.find("ExecStart=/usr/bin/vxrdeck --headless"), std::string::npos) << unit;

  const ProgramRun entry =
      RunProgram({"desktop-file-validate", Usr("share/applications/vxrdeck.desktop")},
                 Log("desktop.log"), kToolMs);
  EXPECT_EQ(entry.exit_code, 0) << entry.output;
  EXPECT_EQ(entry.output, "");

  // The unit of an instance, as systemd reads it; its command pointed at the staged program and
  // its manual page found in the staged tree.
  if (ProgramFound("systemd-analyze")) {
    std::string instance = unit;
    const std::string installed_program = "/usr/bin/vxrdeck";
    instance.replace(instance.find(installed_program), installed_program.size(),
                     Usr("bin/vxrdeck"));
    const std::string instance_path = folder_->WriteFile("vxrdeck@deck1.service", instance);
    const ProgramRun verify =
        RunProgram({"systemd-analyze", "verify", instance_path}, Log("verify.log"), kToolMs,
                   {{"MANPATH", Usr("share/man")}});
    EXPECT_EQ(verify.exit_code, 0) << verify.output;
    EXPECT_EQ(verify.output, "");
    // The sandbox: an exposure of 3.5 or lower on systemd's own scale.
    const ProgramRun security = RunProgram(
        {"systemd-analyze", "security", "--offline=true", "--threshold=35", instance_path},
        Log("security.log"), kToolMs);
    EXPECT_EQ(security.exit_code, 0) << security.output;
    EXPECT_NE(security.output.find("Overall exposure level for vxrdeck@deck1.service"),
              std::string::npos)
        << security.output;
  } else {
    std::printf("systemd-analyze is not installed: the unit is not verified here\n");
  }
  // The real-time priority the unit grants is the one the receiver asks for.
  EXPECT_NE(unit.find("\nLimitRTPRIO=" + std::to_string(kReceiverFifoPriority) + "\n"),
            std::string::npos)
      << unit;

  for (const char* page : {"vxrdeck", "vxrctl", "maketape", "skinview"}) {
    const ProgramRun man = RunProgram(
        {"man", "--warnings", "-E", "UTF-8", "-l", Usr("share/man/man1/") + page + ".1.gz"},
        Log("man.log"), kToolMs, {{"MANWIDTH", "80"}, {"MANPAGER", "cat"}, {"PAGER", "cat"}});
    EXPECT_EQ(man.exit_code, 0) << page;
    EXPECT_EQ(man.output.find("warning"), std::string::npos) << page << ": " << man.output;
  }
}

TEST_F(InstalledPackageTest, HeadlessDeckAnswersFromTheInstalledFilesAndEndsOnSignals) {
  ASSERT_TRUE(ProgramFound("socat")) << "socat is needed for the pseudo-terminal pair";
  const std::string deck_port = folder_->File("deck-port");
  const std::string controller_port = folder_->File("controller-port");
  fs::create_directories(folder_->File("socat"));
  testing::DeckProcess socat("/usr/bin/socat", folder_->File("socat"));
  ASSERT_TRUE(
      socat.Start({"pty,raw,echo=0,link=" + deck_port, "pty,raw,echo=0,link=" + controller_port}));
  ASSERT_TRUE(
      WaitFor([&] { return fs::exists(deck_port) && fs::exists(controller_port); }, kCommandMs));

  const std::string config_folder = folder_->File("config");
  fs::create_directories(config_folder);
  const std::string sample = Usr("share/vxrdeck/sample.avi");
  auto vxrctl = [&](std::vector<std::string> command) {
    command.insert(command.begin(), {Usr("bin/vxrctl"), "-p", controller_port});
    return RunProgram(command, Log("vxrctl.log"), kCommandMs);
  };

  // A receiver for the program stream that the headless deck sends.
  const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(receiver, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(receiver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string stream = "udp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  // First run: the tape from --tape; the installed vxrctl plays it; the program stream runs;
  // SIGTERM ends it.
  {
    testing::DeckProcess deck(Usr("bin/vxrdeck"), config_folder, testing::NoDisplay());
    ASSERT_TRUE(
        deck.Start({"--headless", "--port", deck_port, "--tape", sample, "--output", stream}));
    ASSERT_TRUE(
        WaitFor([&] { return deck.Log().find("REMOTE serves") != std::string::npos; }, kStartMs))
        << deck.Log();
    EXPECT_NE(deck.Log().find("tape " + sample + " loaded"), std::string::npos) << deck.Log();
    const ProgramRun status = vxrctl({"status"});
    EXPECT_EQ(status.exit_code, 0) << status.output;
    EXPECT_EQ(status.output.find("Local"), std::string::npos)
        << "served as REMOTE: " << status.output;
    EXPECT_EQ(vxrctl({"play"}).exit_code, 0);
    EXPECT_TRUE(WaitFor(
        [&] { return vxrctl({"time"}).output.find("00:00:00:00") == std::string::npos; }, kStartMs))
        << vxrctl({"time"}).output;
    char datagram[kDatagramBytes];
    EXPECT_TRUE(
        WaitFor([&] { return ::recv(receiver, datagram, sizeof datagram, 0) > 0; }, kStartMs))
        << "no program stream on " << stream;
    testing::OrderlyEnd end;
    end.port = deck_port;
    end.recent_files = {sample};
    end.lines_in_order = {kEndingLine, kWrittenLine + deck.ConfigFile()};
    EXPECT_TRUE(testing::EndsInOrder(deck, end));
  }
  // Second run: no options but --headless; the tape and the port come from the configuration,
  // and SIGHUP ends it just as well.
  {
    testing::DeckProcess deck(Usr("bin/vxrdeck"), config_folder, testing::NoDisplay());
    ASSERT_TRUE(deck.Start({"--headless"}));
    ASSERT_TRUE(
        WaitFor([&] { return deck.Log().find("REMOTE serves") != std::string::npos; }, kStartMs))
        << deck.Log();
    EXPECT_NE(deck.Log().find("tape " + sample + " loaded"), std::string::npos) << deck.Log();
    EXPECT_EQ(vxrctl({"status"}).exit_code, 0);
    testing::OrderlyEnd end;
    end.signal_number = SIGHUP;
    end.port = deck_port;
    end.recent_files = {sample};
    end.lines_in_order = {kEndingLine, kWrittenLine + deck.ConfigFile()};
    EXPECT_TRUE(testing::EndsInOrder(deck, end));
  }
  ::close(receiver);
  socat.Signal(SIGTERM);
  socat.WaitForExit(kEndMs);
}

TEST_F(InstalledPackageTest, WithoutADisplayTheDeckSaysWhatItCannotDo) {
  const std::string deck = Usr("bin/vxrdeck");
  std::map<std::string, std::string> env = testing::NoDisplay();
  env["XDG_CONFIG_HOME"] = folder_->File("fresh");
  fs::create_directories(env["XDG_CONFIG_HOME"]);

  // Help, version and a bad option need no display; the panel without one names the headless
  // mode.
  testing::ExpectNoDisplayStart(deck, env["XDG_CONFIG_HOME"]);

  // Headless, a deck that cannot serve fails at start, saying why.
  const std::string sample = Usr("share/vxrdeck/sample.avi");
  const struct {
    std::vector<std::string> arguments;
    const char* says;
  } cases[] = {
      {{"--headless", "--port", "/dev/null"}, "no tape to load: give --tape PATH"},
      {{"--headless", "--tape", folder_->File("missing.avi")}, "missing.avi: no such file"},
      {{"--headless", "--tape", sample, "--port", "/dev/null"},
       "REMOTE cannot open port /dev/null"},
      {{"--headless", "--tape", sample, "--port", folder_->File("no-such-port")},
       "REMOTE cannot open port"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{deck};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const ProgramRun run = RunProgram(argv, Log("fail.log"), kStartMs, env);
    EXPECT_EQ(run.exit_code, kExitFailed) << c.says << ": " << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
  }
}

TEST_F(InstalledPackageTest, ThePanelAndTheSkinViewerFindTheInstalledSkin) {
  // Offscreen, the panel comes up only once its skin has loaded; REMOTE then says so.
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const std::string config_folder = folder_->File("panel");
  fs::create_directories(config_folder);
  testing::DeckProcess deck(Usr("bin/vxrdeck"), config_folder);
  ASSERT_TRUE(deck.Start({"--no-monitor", "--port", pty.SlavePath(), "--remote"}));
  EXPECT_TRUE(
      WaitFor([&] { return deck.Log().find("REMOTE serves") != std::string::npos; }, kStartMs))
      << deck.Log();
  EXPECT_TRUE(testing::EndsInOrder(deck, {}));

  const ProgramRun view =
      RunProgram({Usr("bin/skinview"), "--screenshot", folder_->File("panel.png")},
                 Log("skinview.log"), kStartMs, {{"QT_QPA_PLATFORM", "offscreen"}});
  EXPECT_EQ(view.exit_code, 0) << view.output;
  EXPECT_NE(view.output.find("skin " + Usr("share/vxrdeck/vxrdeck.skn")), std::string::npos)
      << view.output;
  EXPECT_TRUE(fs::is_regular_file(folder_->File("panel.png")));
}

}  // namespace
}  // namespace vxr
