// The whole program, end to end: the real `talvo` binary on the test display (Xvfb with a tray
// and a window manager), the real sound server and keyring of scripts/with-desktop-env, and the
// fake transcription service in this process. It is driven as a person would: the pointer
// clicks the tray icon (xdotool), and the panels' buttons are found and pressed by their names
// through the accessibility bus (e2e_driver.py), never by coordinates.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/tests/capture_fakes.h"
#include "app/tests/pulse_test_player.h"
#include "core/program/native_product.h"
#include "testing/fake_runs_service.h"
#include "testing/fake_transcription_service.h"
#include "testing/fuse_mount.h"
#include "testing/require_component.h"
#include "testing/scoped_env.h"
#include "testing/temp_directory.h"

extern char** environ;

namespace talvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::PulseTestPlayer;

struct Outcome {
  int status = -1;
  std::string out;
};

std::string sourceFile(const std::string& relative) { return std::string(TALVO_SOURCE_DIR) + "/" + relative; }

// Environment of this process with `overrides` applied.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    auto equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : overrides) merged[name] = value;
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment, int outFd = -1,
            const std::string& logFile = {}) {
  std::vector<char*> argv;
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  if (!logFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (outFd < 0) posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  pid_t pid = -1;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + arguments[0]);
  return pid;
}

// Runs a helper to its end and collects its output.
Outcome run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe");
  pid_t pid = spawn(arguments, environment, pipeEnds[1]);
  close(pipeEnds[1]);
  Outcome outcome;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
    outcome.out.append(buffer, static_cast<std::size_t>(got));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// One run of the program with private data and settings folders.
class Talvo {
 public:
  // `platform` empty: the program picks the Qt platform itself, as on a user's desktop.
  Talvo(const std::string& home, const testing::FakeTranscriptionService& service, const std::string& log,
        const std::string& platform = "xcb", const std::map<std::string, std::string>& more = {})
      : environment_(
            environmentWith(withMore(more, {{"XDG_DATA_HOME", home + "/data"},
                                            {"XDG_CONFIG_HOME", home + "/config"},
                                            {"TALVO_SERVICE_ORIGIN", service.origin()},
                                            {"TALVO_CA_FILE", service.caFile()},
                                            {"TALVO_TELEGRAM_HOST", service.telegramHost()},
                                            {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"},
                                            // A failed test's log then says why a panel closed.
                                            {"QT_LOGGING_RULES", "talvo.panel.debug=true\ntalvo.tray.debug=true"},
                                            {"QT_QPA_PLATFORM", platform}}))) {
    pid_ = spawn({TALVO_BINARY}, environment_, -1, log);
  }
  ~Talvo() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  static std::map<std::string, std::string> withMore(const std::map<std::string, std::string>& more,
                                                     std::map<std::string, std::string> base) {
    for (const auto& [name, value] : more) base[name] = value;
    return base;
  }

  pid_t pid() const { return pid_; }
  const std::vector<std::string>& environment() const { return environment_; }

  // The exit status once the process has ended within `timeout`; none while it still runs.
  std::optional<int> waitExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }

 private:
  std::vector<std::string> environment_;
  pid_t pid_ = -1;
};

// The program's visible windows as x, y, width, height.
std::vector<std::array<int, 4>> rectangles(const std::string& listing) {
  std::vector<std::array<int, 4>> found;
  std::istringstream in(listing);
  for (std::array<int, 4> r{}; in >> r[0] >> r[1] >> r[2] >> r[3];) found.push_back(r);
  return found;
}

bool desktopPresent() {
  for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"}) {
    if (std::getenv(name) == nullptr) return false;
  }
  return true;
}

class TalvoEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    TALVO_REQUIRE_COMPONENT(desktopPresent(), "no test desktop (run through scripts/with-desktop-env)");
    fs::create_directories(screenshots());
    testing::FakeTranscriptionService::Options options;
    options.directory = home.file("service");
    service = std::make_unique<testing::FakeTranscriptionService>(options);
    fs::create_directories(home.file("runs"));
    runs = std::make_unique<testing::FakeRunsService>(home.file("runs"));
    runs->setJobDelay(500ms);
    runs->install(*service);
    service->start();
  }

  void TearDown() override {
    program.reset();
    if (HasFailure()) {
      // Keep the program's output beside the screenshots for a look afterwards.
      std::error_code ignored;
      fs::copy_file(log(), screenshots() + "/" + testName() + ".log", fs::copy_options::overwrite_existing, ignored);
      // And its end in the test's output, which is all a CI run keeps.
      std::ifstream in(log());
      std::deque<std::string> tail;
      for (std::string line; std::getline(in, line);) {
        tail.push_back(line);
        if (tail.size() > 40) tail.pop_front();
      }
      std::cout << "--- end of the program's log ---\n";
      for (const auto& line : tail) std::cout << line << "\n";
    }
  }

  static std::string screenshots() { return std::string(TALVO_BINARY_DIR) + "/screenshots"; }
  static std::string testName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }
  std::string log() const { return home.file("talvo.log"); }
  // The program's log holds `text` within `timeout`.
  bool logShows(const std::string& text, std::chrono::milliseconds timeout) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(100ms)) {
      std::ifstream in(log());
      const std::string contents{std::istreambuf_iterator<char>(in), {}};
      if (contents.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The program's one window larger than a tray icon: the panel.
  std::optional<std::array<int, 4>> panelRect(std::chrono::milliseconds timeout = 2s) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout;; std::this_thread::sleep_for(100ms)) {
      for (const auto& r : rectangles(driver({"xwindows", std::to_string(program->pid())}).out)) {
        if (r[2] > 100 && r[3] > 100) return r;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    }
  }

  Talvo& launch() {
    program = std::make_unique<Talvo>(home.path(), *service, log());
    return *program;
  }

  // A StatusNotifierItem host's click on the program's item, in screen pixels.
  void activateItem(int x, int y) {
    run({"dbus-send", "--session", "--print-reply",
         "--dest=org.kde.StatusNotifierItem-" + std::to_string(program->pid()) + "-1", "/StatusNotifierItem",
         "org.kde.StatusNotifierItem.Activate", "int32:" + std::to_string(x), "int32:" + std::to_string(y)},
        environmentWith({}));
  }
  Outcome driver(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"/usr/bin/python3", sourceFile("app/tests/e2e_driver.py")});
    return run(arguments, environmentWith({}));
  }
  // Helper shorthand: the driver command for the running program must succeed.
  void expectDriver(const std::string& command, const std::vector<std::string>& more = {}) {
    std::vector<std::string> arguments{command, std::to_string(program->pid())};
    arguments.insert(arguments.end(), more.begin(), more.end());
    Outcome outcome = driver(arguments);
    ASSERT_EQ(outcome.status, 0) << command << " " << (more.empty() ? "" : more[0]) << "\n" << outcome.out;
  }
  // A click on the tray icon, as a person makes it: two left clicks closer together than the
  // double-click interval are one double click, which the icon answers with one action only.
  void clickTray(const std::string& button) {
    if (button == "left") spaceLeftClick();
    expectDriver("click-tray", {button});
  }
  void spaceLeftClick() {
    std::this_thread::sleep_until(lastLeftClick_ + 600ms);
    lastLeftClick_ = std::chrono::steady_clock::now();
  }
  std::chrono::steady_clock::time_point lastLeftClick_;
  bool driverSucceeds(const std::string& command, const std::vector<std::string>& more) {
    std::vector<std::string> arguments{command, std::to_string(program->pid())};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return driver(arguments).status == 0;
  }

  void screenshot(const std::string& name) {
    run({"import", "-window", "root", screenshots() + "/e2e-" + name + ".png"}, environmentWith({}));
  }

  // A digest of the tray icon's pixels right now.
  std::size_t trayPixels() {
    Outcome rect = driver({"tray", std::to_string(program->pid())});
    if (rect.status != 0) return 0;
    int x = 0, y = 0, w = 0, h = 0;
    std::sscanf(rect.out.c_str(), "%d %d %d %d", &x, &y, &w, &h);
    std::string crop = std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" + std::to_string(y);
    return std::hash<std::string>{}(
        run({"import", "-window", "root", "-crop", crop, "rgb:-"}, environmentWith({})).out);
  }

  void key(const std::string& name) {
    run({"xdotool", "key", name}, environmentWith({}));
    std::this_thread::sleep_for(100ms);
  }

  std::string recordings() const { return home.file("data/TALVO/Recordings"); }

  std::vector<std::string> files(const std::string& suffix) const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(recordings(), error)) {
      std::string name = entry.path().filename().string();
      if (name.size() > suffix.size() && name.ends_with(suffix) && name.find('.') == name.size() - suffix.size()) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  // Tones into the computer's output and the microphone for as long as the test needs them.
  void playTones(double seconds) {
    player = std::make_unique<PulseTestPlayer>();
    player->prepare(testing::envOr("TALVO_TEST_SPEAKERS_SINK", "speakers"), PulseTestPlayer::tone(440, seconds, 0.3f));
    player->prepare(testing::envOr("TALVO_TEST_MIC_FEED_SINK", "micfeed"), PulseTestPlayer::tone(1000, seconds, 0.3f));
    player->play();
  }

  // The one finished recording: a complete WAV whose header agrees with its length, and its
  // queue record.
  void expectFinishedRecording(const std::string& state) {
    std::vector<std::string> waves = files(".wav");
    ASSERT_EQ(waves.size(), 1u);
    testing::WaveContents wave = testing::readWave(waves[0]);
    EXPECT_EQ(wave.headerDataBytes, wave.samples.size() * 2) << "the WAV was not finalised";
    EXPECT_GT(wave.samples.size(), 16000u);
    nlohmann::json record =
        nlohmann::json::parse(testing::readWholeFile(waves[0].substr(0, waves[0].size() - 4) + ".upload.json"));
    EXPECT_EQ(record.at("state"), state);
  }

  // "Подключить Telegram", the code approved at the service, and the account confirmed.
  void connectTelegram() {
    expectDriver("press", {"Подключить Telegram"});
    std::string code;
    for (int i = 0; i < 200 && code.empty(); ++i) {
      for (const auto& pairing : service->pairings()) {
        if (pairing.state == "pending") code = pairing.code;
      }
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(code.empty()) << "no pairing was requested";
    expectDriver("wait-text", {code});
    ASSERT_TRUE(service->approvePairing(code, {"1001", "Анна Тестова", "anna"}));
    expectDriver("press", {"Это мой аккаунт — подключить", "20"});
    // Connected: the account's plan is shown and the offer to connect is gone.
    expectDriver("wait-text", {"Безлимит"});
    expectDriver("gone-text", {"Подключить Telegram"});
  }

  testing::TempDirectory home;
  std::unique_ptr<testing::FakeTranscriptionService> service;
  std::unique_ptr<testing::FakeRunsService> runs;
  std::unique_ptr<Talvo> program;
  std::unique_ptr<PulseTestPlayer> player;
};

TEST_F(TalvoEndToEnd, LaunchShowsTheIconAndThePanelAndTheIconTogglesIt) {
  launch();
  expectDriver("tray");
  expectDriver("wait-text", {"Начать запись"});
  screenshot("launch");
  clickTray("left");
  expectDriver("gone-text", {"Начать запись"});
  clickTray("left");
  expectDriver("wait-text", {"Начать запись"});
  screenshot("reopened");

  // The context menu is a popup, which Qt keeps off the accessibility bus: it is read from the
  // screen and driven with the keyboard, as a person would.
  const std::string before = driver({"xwindows", std::to_string(program->pid())}).out;
  clickTray("right");
  std::string after;
  for (int i = 0; i < 100 && (after = driver({"xwindows", std::to_string(program->pid())}).out) == before; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_NE(after, before) << "no menu appeared";
  screenshot("menu");
  key("Down");
  key("Return");  // "Открыть TALVO" with the panel already open: nothing changes
  expectDriver("wait-text", {"Начать запись"});

  // "Выйти" while idle ends the program at once.
  clickTray("right");
  std::this_thread::sleep_for(500ms);
  key("Down");
  key("Down");  // past the separator
  key("Return");
  EXPECT_EQ(program->waitExit(10s), 0);
}

TEST_F(TalvoEndToEnd, SigtermWhileIdleEndsAtOnce) {
  launch();
  expectDriver("wait-text", {"Начать запись"});
  kill(program->pid(), SIGTERM);
  EXPECT_EQ(program->waitExit(10s), 0);
}

TEST_F(TalvoEndToEnd, ASecondLaunchOpensTheFirstPanelAndExits) {
  launch();
  expectDriver("wait-text", {"Начать запись"});
  clickTray("left");
  expectDriver("gone-text", {"Начать запись"});

  Talvo second(home.path(), *service, log());
  EXPECT_EQ(second.waitExit(5s), 0) << "the second instance kept running";
  expectDriver("wait-text", {"Начать запись"});
}

// A launcher's startup id reaches the window the first instance opens, so a window manager that
// refuses focus to windows nobody asked for lets this one have it.
TEST_F(TalvoEndToEnd, ASecondLaunchHandsItsStartupIdToThePanelItOpens) {
  launch();
  expectDriver("wait-text", {"Начать запись"});
  clickTray("left");
  expectDriver("gone-text", {"Начать запись"});

  const std::string startupId = "talvo-e2e-" + std::to_string(getpid()) + "_TIME4242";
  Talvo second(home.path(), *service, home.file("second.log"), "xcb", {{"DESKTOP_STARTUP_ID", startupId}});
  EXPECT_EQ(second.waitExit(5s), 0) << "the second instance kept running";
  expectDriver("wait-text", {"Начать запись"});
  const Outcome found =
      run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(program->pid())}, environmentWith({}));
  std::istringstream windows(found.out);
  std::string ids;
  for (std::string window; windows >> window;) {
    ids += run({"xprop", "-id", window, "_NET_STARTUP_ID"}, environmentWith({})).out;
  }
  EXPECT_NE(ids.find("\"" + startupId + "\""), std::string::npos) << ids;
}

// A process of the test's own, ended by PID.
class Child {
 public:
  Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment, const std::string& log)
      : pid_(spawn(arguments, environment, -1, log)) {}
  ~Child() {
    if (reaped_) return;  // its PID may be another process's by now
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);  // a stopped one ends only once it runs
    waitpid(pid_, nullptr, 0);
  }
  // Stops (SIGSTOP) or resumes (SIGCONT) it, as a busy machine would.
  void signal(int number) {
    if (!reaped_) kill(pid_, number);
  }
  // Still running; one that ended is reaped here.
  bool running() {
    if (!reaped_ && waitpid(pid_, nullptr, WNOHANG) != 0) reaped_ = true;
    return !reaped_;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// A display of the test's own, made the one this process and its children use until the
// object goes; for trays that come and go without disturbing the shared test display.
// `monitors` ("WxH+X+Y" in pixels) split the screen into monitors, which Qt sees as screens of
// their own; the server keeps them as its clients come and go (-noreset).
class PrivateDisplay {
 public:
  explicit PrivateDisplay(const std::string& log, const std::string& size = "1280x800",
                          const std::vector<std::string>& monitors = {})
      : display_("DISPLAY") {
    int number = 150 + getpid() % 100;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
    name_ = ":" + std::to_string(number);
    xvfb_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", name_, "-screen", "0", size + "x24", "-nolisten", "tcp", "-noreset"},
        environmentWith({}), log);
    for (int i = 0; i < 200 && !fs::exists("/tmp/.X11-unix/X" + std::to_string(number)); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    display_.set(name_);
    for (std::size_t i = 0; i < monitors.size(); ++i) {
      // "WxH+X+Y" -> "W/mmWxH/mmH+X+Y" at 96 dpi; the first takes the server's one output.
      int w = 0, h = 0, x = 0, y = 0;
      std::sscanf(monitors[i].c_str(), "%dx%d+%d+%d", &w, &h, &x, &y);
      const std::string geometry = std::to_string(w) + "/" + std::to_string(w * 254 / 960) + "x" + std::to_string(h) +
                                   "/" + std::to_string(h * 254 / 960) + "+" + std::to_string(x) + "+" +
                                   std::to_string(y);
      run({"xrandr", "--setmonitor", "talvo-" + std::to_string(i), geometry, i == 0 ? "screen" : "none"},
          environmentWith({}));
    }
  }

 private:
  // Declared last, so the shared display is back before this one stops.
  std::string name_;
  std::unique_ptr<Child> xvfb_;
  testing::ScopedEnv display_;
};

// An XEmbed tray at the top right of the current display's `monitor`, as the shared test display
// has (dark blue), or with a light tint.
std::unique_ptr<Child> startTrayer(const std::string& log, const std::string& tint = "0x335577", int monitor = 0) {
  std::vector<std::string> arguments{"trayer", "--edge",        "top",  "--align",       "right", "--widthtype",
                                     "pixel",  "--width",       "200",  "--heighttype",  "pixel", "--height",
                                     "32",     "--SetDockType", "true", "--transparent", "true",  "--alpha",
                                     "0",      "--tint",        tint};
  arguments.insert(arguments.end(), {"--monitor", std::to_string(monitor)});
  return std::make_unique<Child>(arguments, environmentWith({}), log);
}

TEST_F(TalvoEndToEnd, WithoutATrayAWindowShowsThePanelUntilATrayTakesOver) {
  // No tray, as on GNOME without extensions; a window manager to close windows with.
  PrivateDisplay display(home.file("xvfb.log"));
  Child wm({"openbox", "--sm-disable"}, environmentWith({}), home.file("openbox.log"));
  for (int i = 0;
       i < 100 && run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, environmentWith({})).out.find("window id") ==
                      std::string::npos;
       ++i) {
    std::this_thread::sleep_for(50ms);
  }
  launch();
  const std::string pid = std::to_string(program->pid());
  Outcome window = driver({"window", pid, "TALVO", "15"});
  ASSERT_EQ(window.status, 0) << "no window without a tray";
  EXPECT_NE(window.out.find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos) << window.out;
  expectDriver("wait-text", {"Начать запись"});
  screenshot("no-tray-window");
  {
    // Docks group the window with the launcher by the entry's StartupWMClass; a fixed-size
    // window offers no maximize.
    const std::string id = window.out.substr(0, window.out.find(' '));
    const std::string wmClass = run({"xprop", "-id", id, "WM_CLASS"}, environmentWith({})).out;
    std::ifstream entry(std::string(TALVO_SOURCE_DIR) + "/app/share/pro.talvo.recorder.desktop");
    std::string line, startupClass;
    while (std::getline(entry, line)) {
      if (line.rfind("StartupWMClass=", 0) == 0) startupClass = line.substr(15);
    }
    ASSERT_FALSE(startupClass.empty()) << "no StartupWMClass in the menu entry";
    EXPECT_NE(wmClass.find("\"" + startupClass + "\""), std::string::npos) << wmClass;
    std::string actions;
    for (int i = 0; i < 20 && actions.find("_NET_WM_ACTION_CLOSE") == std::string::npos; ++i) {
      actions = run({"xprop", "-id", id, "_NET_WM_ALLOWED_ACTIONS"}, environmentWith({})).out;
      std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(actions.find("MAXIMIZE"), std::string::npos) << actions;
  }

  // Recording goes on while the window is closed; launching again shows it.
  playTones(60);
  expectDriver("press", {"Начать запись"});
  expectDriver("window", {"TALVO — идёт запись"});
  // Alt+F4: the window manager's close. On a loaded machine the window manager may not have
  // given the window the focus yet when the key arrives, so the key goes again until it closes.
  for (int attempt = 0; attempt < 5 && driverSucceeds("window", {"TALVO — идёт запись", "0"}); ++attempt) {
    run({"xdotool", "windowfocus", "--sync", window.out.substr(0, window.out.find(' '))}, environmentWith({}));
    run({"xdotool", "key", "alt+F4"}, environmentWith({}));
    driverSucceeds("no-window", {"TALVO — идёт запись", "2"});
  }
  expectDriver("no-window", {"TALVO — идёт запись", "5"});
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(program->waitExit(10ms).has_value()) << "closing the window ended the program";
  {
    Talvo second(home.path(), *service, home.file("second.log"));
    EXPECT_EQ(second.waitExit(5s), 0) << "the second instance kept running";
  }
  expectDriver("window", {"TALVO — идёт запись", "5"});
  expectDriver("wait-text", {"Остановить запись"});

  // A tray appears: the window gives way to the icon, and the panel opens under it, the meter
  // readable on the dark bar.
  auto trayer = startTrayer(home.file("trayer.log"));
  expectDriver("tray", {"15"});
  expectDriver("no-window", {"TALVO — идёт запись", "5"});
  expectDriver("wait-text", {"Остановить запись"});
  screenshot("no-tray-then-tray");
  auto iconContrast = [&]() -> double {
    std::string rect = driver({"tray", pid}).out;
    int x = 0, y = 0, w = 0, h = 0;
    std::sscanf(rect.c_str(), "%d %d %d %d", &x, &y, &w, &h);
    // The icon with the bar around it.
    Outcome measured =
        driver({"contrast", pid, std::to_string(x - 4), std::to_string(y), std::to_string(w + 8), std::to_string(h)});
    return std::atof(measured.out.c_str());
  };
  double ratio = 0;
  for (int i = 0; i < 20 && (ratio = iconContrast()) < 3; ++i) std::this_thread::sleep_for(200ms);
  EXPECT_GE(ratio, 3.0) << "the meter on the dark tray";

  // The tray restarts at once (the desktop's panel restarts), now light: the icon docks again,
  // reads on the new bar, and toggles the panel.
  trayer.reset();
  std::this_thread::sleep_for(500ms);
  trayer = startTrayer(home.file("trayer-again.log"), "0xdddddd");
  expectDriver("tray", {"15"});
  EXPECT_FALSE(driverSucceeds("window", {"TALVO", "0"})) << "a short absence of the tray brought the window";
  for (int i = 0; i < 20 && (ratio = iconContrast()) < 3; ++i) std::this_thread::sleep_for(200ms);
  EXPECT_GE(ratio, 3.0) << "the meter on the light tray";
  const auto panelOpen = [&] {
    const std::string listing = driver({"xwindows", pid}).out;
    return std::count(listing.begin(), listing.end(), '\n') >= 2;
  };
  if (panelOpen()) {
    clickTray("left");
    for (int i = 0; i < 50 && panelOpen(); ++i) std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(panelOpen()) << "the icon in the new tray does not close the panel";
  clickTray("left");
  bool opened = false;
  for (int i = 0; i < 50 && !(opened = panelOpen()); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(opened) << "the icon in the new tray does not open the panel";
  screenshot("light-tray");

  // The tray goes away (as GNOME's extension does at every screen lock) and stays away: nothing
  // pops up, however long; the recording goes on. Launching again shows the window, and
  // `talvo --quit` while recording finishes the recording before the program ends.
  clickTray("left");
  for (int i = 0; i < 50 && panelOpen(); ++i) std::this_thread::sleep_for(100ms);
  trayer.reset();
  std::this_thread::sleep_for(4s);  // twice the grace period a start without a tray gets
  EXPECT_FALSE(driverSucceeds("window", {"TALVO", "0"})) << "the tray's absence brought the window";
  EXPECT_EQ(driver({"xwindows", pid}).out, "") << "something of the program popped up";
  {
    Talvo third(home.path(), *service, home.file("third.log"));
    EXPECT_EQ(third.waitExit(5s), 0) << "the third instance kept running";
  }
  expectDriver("window", {"TALVO — идёт запись", "10"});
  screenshot("tray-gone-window");
  std::this_thread::sleep_for(1500ms);
  Outcome quit = run({TALVO_BINARY, "--quit"}, program->environment());
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(quit.out, "");
  EXPECT_EQ(program->waitExit(15s), 0);
  expectFinishedRecording("recorded");
  // With none running, `talvo --quit` says nothing.
  quit = run({TALVO_BINARY, "--quit"}, program->environment());
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(quit.out, "");
}

TEST_F(TalvoEndToEnd, OnAWaylandSessionTheProgramRunsOnXWaylandShowsItsWindowAndQuits) {
  if (run({"sh", "-c", "command -v weston && command -v Xwayland"}, environmentWith({})).status != 0) {
    GTEST_SKIP() << "needs weston and Xwayland (scripts/bootstrap)";
  }
  // Weston without a screen, with XWayland, as a Wayland session whose shell has no tray.
  const std::string socket = "wayland-talvo-" + std::to_string(getpid());
  const std::string westonLog = home.file("weston.log");
  Child weston({"weston", "--backend=headless-backend.so", "--xwayland", "--socket=" + socket, "--width=1280",
                "--height=800", "--idle-time=0", "--log=" + westonLog},
               environmentWith({}), home.file("weston.out"));
  std::string display;
  for (int i = 0; i < 200 && display.empty(); ++i) {
    std::ifstream in(westonLog);
    for (std::string line; std::getline(in, line);) {
      if (auto at = line.find("xserver listening on display "); at != std::string::npos) display = line.substr(at + 29);
    }
    if (display.empty()) std::this_thread::sleep_for(50ms);
  }
  ASSERT_FALSE(display.empty()) << "weston started no XWayland";
  std::optional<testing::ScopedEnv> xDisplay(std::in_place, "DISPLAY", display);
  {
    // Only the program started now sees a Wayland session.
    testing::ScopedEnv wayland("WAYLAND_DISPLAY", socket);
    testing::ScopedEnv session("XDG_SESSION_TYPE", "wayland");
    program = std::make_unique<Talvo>(home.path(), *service, log(), "");
  }
  const std::string pid = std::to_string(program->pid());
  Outcome window = driver({"window", pid, "TALVO", "15"});
  ASSERT_EQ(window.status, 0) << "no window on XWayland";
  expectDriver("wait-text", {"Начать запись"});
  run({"import", "-window", window.out.substr(0, window.out.find(' ')), screenshots() + "/e2e-weston-window.png"},
      environmentWith({}));
  playTones(30);
  expectDriver("press", {"Начать запись"});
  expectDriver("window", {"TALVO — идёт запись"});
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(run({TALVO_BINARY, "--quit"}, program->environment()).status, 0);
  EXPECT_EQ(program->waitExit(15s), 0);
  xDisplay.reset();
  expectFinishedRecording("recorded");
}

TEST_F(TalvoEndToEnd, APanelOpenedBeforeTheTrayAppearsStaysOpenWhenItDoes) {
  // At login a second launch (or the autostart entry twice) opens the panel before the
  // desktop's tray is up; the tray's arrival must not close it again.
  PrivateDisplay display(home.file("xvfb.log"));
  launch();
  std::this_thread::sleep_for(1s);
  Talvo second(home.path(), *service, log());
  EXPECT_EQ(second.waitExit(5s), 0) << "the second instance kept running";
  auto windows = [&] {
    const std::string listing = driver({"xwindows", std::to_string(program->pid())}).out;
    return std::count(listing.begin(), listing.end(), '\n');
  };
  for (int i = 0; i < 50 && windows() < 1; ++i) std::this_thread::sleep_for(100ms);
  ASSERT_GE(windows(), 1) << "the second launch did not open the panel";

  auto trayer = startTrayer(home.file("trayer.log"));
  expectDriver("tray", {"15"});
  std::this_thread::sleep_for(2s);  // past the program's wait for the icon's place
  EXPECT_GE(windows(), 2) << "the panel closed when the tray appeared";
  screenshot("panel-before-tray");
  kill(program->pid(), SIGTERM);
  EXPECT_EQ(program->waitExit(10s), 0);
}

// A tray whose window is up, so it holds the tray selection.
void waitForTrayer() {
  for (int i = 0;
       i < 100 && run({"xdotool", "search", "--onlyvisible", "--class", "trayer"}, environmentWith({})).out.empty();
       ++i) {
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(300ms);
}

TEST_F(TalvoEndToEnd, OnTheSecondMonitorTheIconReadsOnThatMonitorsBar) {
  // Two monitors side by side, a light tray on the right one: the bar is read on that monitor
  // (its grab counts from the monitor's corner), and the launch's panel hangs under the icon.
  PrivateDisplay display(home.file("xvfb.log"), "2560x800", {"1280x800+0+0", "1280x800+1280+0"});
  auto trayer = startTrayer(home.file("trayer.log"), "0xdddddd", 1);
  waitForTrayer();
  launch();
  const Outcome icon = driver({"tray", std::to_string(program->pid()), "15"});
  ASSERT_EQ(icon.status, 0) << icon.out;
  int x = 0, y = 0, w = 0, h = 0;
  std::sscanf(icon.out.c_str(), "%d %d %d %d", &x, &y, &w, &h);
  EXPECT_GE(x, 1280) << "the icon is not on the second monitor: " << icon.out;
  EXPECT_TRUE(logShows("bar sampled, dark: 0", 10s)) << "the light bar was not read";
  const auto panel = panelRect(5s);
  ASSERT_TRUE(panel) << "no panel at launch";
  screenshot("second-monitor");
  EXPECT_LE((*panel)[0], x + w / 2) << "the panel hangs under the icon";
  EXPECT_GE((*panel)[0] + (*panel)[2], x + w / 2);
  EXPECT_GE((*panel)[1], y + h) << "icon " << icon.out << "panel " << (*panel)[0] << "," << (*panel)[1];
}

TEST_F(TalvoEndToEnd, ATrayThatDocksTheIconLateStillHasItsBarRead) {
  // A busy tray docks the icon seconds after the program started, well after the program's wait
  // for the icon's place: the bar is still read, and the launch's panel moves under the icon.
  PrivateDisplay display(home.file("xvfb.log"));
  auto trayer = startTrayer(home.file("trayer.log"), "0xdddddd");
  waitForTrayer();
  trayer->signal(SIGSTOP);
  launch();
  ASSERT_TRUE(panelRect(10s)) << "no panel at launch";
  std::this_thread::sleep_for(1500ms);
  trayer->signal(SIGCONT);
  const Outcome icon = driver({"tray", std::to_string(program->pid()), "15"});
  ASSERT_EQ(icon.status, 0) << icon.out;
  int x = 0, y = 0, w = 0, h = 0;
  std::sscanf(icon.out.c_str(), "%d %d %d %d", &x, &y, &w, &h);
  EXPECT_TRUE(logShows("bar sampled, dark: 0", 10s)) << "the bar of the late tray was not read";
  std::optional<std::array<int, 4>> panel;
  for (int i = 0; i < 30; ++i) {
    panel = panelRect();
    if (panel && (*panel)[0] <= x + w / 2 && x + w / 2 <= (*panel)[0] + (*panel)[2]) break;
    std::this_thread::sleep_for(100ms);
  }
  screenshot("late-dock");
  ASSERT_TRUE(panel) << "the panel closed";
  EXPECT_LE((*panel)[0], x + w / 2) << "the panel stayed where the icon was before it docked";
  EXPECT_GE((*panel)[0] + (*panel)[2], x + w / 2);
  EXPECT_GE((*panel)[1], y + h) << "icon " << icon.out << "panel " << (*panel)[0] << "," << (*panel)[1];
}

// gtk-sni-tray-standalone: a bar at the bottom, icons at its right end, with its own watcher;
// none when it does not come up.
std::unique_ptr<Child> startStatusNotifierHost(const std::string& logPrefix) {
  auto hostRegistered = [] {
    return run({"dbus-send", "--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
                "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get", "string:org.kde.StatusNotifierWatcher",
                "string:IsStatusNotifierHostRegistered"},
               environmentWith({}))
               .out.find("boolean true") != std::string::npos;
  };
  std::unique_ptr<Child> host;
  for (int attempt = 0; attempt < 4 && !(host && host->running() && hostRegistered()); ++attempt) {
    host.reset();
    host = std::make_unique<Child>(
        std::vector<std::string>{"gtk-sni-tray-standalone", "--watcher", "--bottom", "--end", "--size", "30"},
        environmentWith({}), logPrefix + "-" + std::to_string(attempt) + ".log");
    for (int i = 0; i < 150 && host->running() && !hostRegistered(); ++i) std::this_thread::sleep_for(100ms);
  }
  if (!host || !host->running() || !hostRegistered()) return nullptr;
  return host;
}

TEST_F(TalvoEndToEnd, AWatcherThatAnswersLateStillGetsTheIcon) {
  // A shell busy at login may not answer within the program's second; a host registered before
  // says nothing again, so the program asks again and moves its icon there once it answers.
  std::unique_ptr<Child> host = startStatusNotifierHost(home.file("sni-host"));
  ASSERT_TRUE(host) << "the host never came up";
  host->signal(SIGSTOP);
  launch();
  const bool unanswered = logShows("the watcher did not answer", 15s);
  host->signal(SIGCONT);
  ASSERT_TRUE(unanswered) << "the program never asked the stopped watcher";
  const std::string item = "StatusNotifierItem-" + std::to_string(program->pid());
  bool listed = false;
  for (int i = 0; i < 150 && !listed; ++i, std::this_thread::sleep_for(100ms)) {
    listed = run({"dbus-send", "--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
                  "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                  "string:org.kde.StatusNotifierWatcher", "string:RegisteredStatusNotifierItems"},
                 environmentWith({}))
                 .out.find(item) != std::string::npos;
  }
  EXPECT_TRUE(listed) << "the icon never moved to the host that answered late";
}

TEST_F(TalvoEndToEnd, OnAStatusNotifierTrayThePanelOpensUnderTheClickedIcon) {
  // GNOME's AppIndicator extension, KDE Plasma and waybar host icons this way and never say
  // where the icon is: the program places its panel by the click. A bar at the bottom, icons at
  // its right end; the host brings its own watcher, so the program picks this tray.
  // gtk-sni-tray-standalone registers its host before its own watcher serves its object; losing
  // that race (a loaded machine) ends it at once: such a start is tried again (scripts/desktop-env).
  std::unique_ptr<Child> host = startStatusNotifierHost(home.file("sni-host"));
  ASSERT_TRUE(host) << "the host never came up";
  // As on GNOME, whose top bar is dark in either colour scheme: the logo is drawn light.
  {
    testing::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    launch();
  }
  // With nowhere to hang it yet, the panel opens at the bar's edge right after launch.
  expectDriver("wait-text", {"Начать запись"});
  screenshot("sni-launch");

  auto iconPoint = [&]() -> std::optional<std::pair<int, int>> {
    Outcome found = driver({"sni-icon", std::to_string(program->pid())});
    std::pair<int, int> at;
    if (found.status != 0 || std::sscanf(found.out.c_str(), "%d %d", &at.first, &at.second) != 2) return std::nullopt;
    return at;
  };
  auto clickAt = [&](std::pair<int, int> point) {
    spaceLeftClick();
    run({"xdotool", "mousemove", std::to_string(point.first), std::to_string(point.second), "click", "1"},
        environmentWith({}));
  };
  std::optional<std::pair<int, int>> point = iconPoint();
  ASSERT_TRUE(point) << "no visible window of the host";

  // A click on the bar's empty left end is outside the panel: the panel closes. Then a click on
  // the icon opens it under the click. The host lays its icons out a while after the
  // registration, so on a loaded machine the click on the icon is repeated until the host passes
  // it on.
  clickAt({10, point->second});
  expectDriver("gone-text", {"Начать запись"});

  // "Открыть TALVO" from the host's own menu (GNOME's extension opens it on a single click):
  // with no click position from the host yet, the panel hangs in the pointer's column, where
  // the menu under the icon was, not at the bar's edge 192 from the right.
  {
    run({"xdotool", "mousemove", "400", std::to_string(point->second - 40)}, environmentWith({}));
    run({"dbus-send", "--session", "--print-reply",
         "--dest=org.kde.StatusNotifierItem-" + std::to_string(program->pid()) + "-1", "/MenuBar",
         "com.canonical.dbusmenu.Event", "int32:1", "string:clicked", "variant:int32:0", "uint32:0"},
        environmentWith({}));
    expectDriver("wait-text", {"Начать запись"});
    std::vector<std::array<int, 4>> shown;
    for (int i = 0;
         i < 20 && (shown = rectangles(driver({"xwindows", std::to_string(program->pid())}).out)).size() != 1; ++i) {
      std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_LE(shown[0][0], 400) << "the panel hangs in the pointer's column";
    EXPECT_GE(shown[0][0] + shown[0][2], 400);
    EXPECT_LT(shown[0][1] + shown[0][3], point->second) << "above the bottom bar";
    EXPECT_GT(shown[0][1] + shown[0][3], point->second - 60) << "hanging from the bottom bar, where the menu was";
    screenshot("sni-menu-entry");
    clickAt({10, point->second});
    expectDriver("gone-text", {"Начать запись"});
  }
  bool opened = false;
  for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
    point = iconPoint().value_or(*point);
    clickAt(*point);
    opened = driverSucceeds("wait-text", {"Начать запись", "3"});
  }
  ASSERT_TRUE(opened) << "no activation from the host";
  std::vector<std::array<int, 4>> panels;
  for (int i = 0; i < 20; ++i) {
    // The window manager may take a moment to honour the position.
    panels = rectangles(driver({"xwindows", std::to_string(program->pid())}).out);
    if (panels.size() == 1 && panels[0][0] <= point->first && point->first <= panels[0][0] + panels[0][2]) break;
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(panels.size(), 1u) << "the panel and nothing else";
  const auto [x, y, w, h] = panels[0];
  EXPECT_LE(x, point->first) << "the arrow points at the click";
  EXPECT_GE(x + w, point->first);
  EXPECT_LT(y + h, point->second) << "a bottom bar: the panel opens upward, above the bar";
  EXPECT_GT(y, 0);
  screenshot("sni-panel");
  EXPECT_TRUE(logShows("bar sampled, dark: 1", 5s)) << "the host's bar was not read at its click";
  // The host shows the light logo on its dark bar.
  const std::string crop = "30x30+" + std::to_string(point->first - 15) + "+" + std::to_string(point->second - 15);
  const std::string brightest =
      run({"import", "-window", "root", "-crop", crop, "-format", "%[fx:int(255*maxima.intensity)]", "info:"},
          environmentWith({}))
          .out;
  EXPECT_GT(std::atoi(brightest.c_str()), 160) << "no light icon on the bar: " << brightest;
  const Outcome contrast = driver({"contrast", std::to_string(program->pid()), std::to_string(point->first - 15),
                                   std::to_string(point->second - 15), "30", "30"});
  EXPECT_GE(std::atof(contrast.out.c_str()), 3.0) << "the logo against the bar: " << contrast.out;

  // The icon's own click closes it again.
  clickAt(*point);
  expectDriver("gone-text", {"Начать запись"});

  // Under Wayland only the host knows where the click was: the position it passes to
  // Activate(x, y) and ContextMenu(x, y) places the panel and the menu, wherever the pointer is.
  run({"xdotool", "mousemove", "100", "100"}, environmentWith({}));
  const std::string item = "--dest=org.kde.StatusNotifierItem-" + std::to_string(program->pid()) + "-1";
  auto call = [&](const std::string& method, int x, int y) {
    run({"dbus-send", "--session", "--print-reply", item, "/StatusNotifierItem", "org.kde.StatusNotifierItem." + method,
         "int32:" + std::to_string(x), "int32:" + std::to_string(y)},
        environmentWith({}));
  };
  const int clickX = point->first - 60;
  auto onlyPanel = [&] {
    std::vector<std::array<int, 4>> shown;
    for (int i = 0;
         i < 20 && (shown = rectangles(driver({"xwindows", std::to_string(program->pid())}).out)).size() != 1; ++i) {
      std::this_thread::sleep_for(100ms);
    }
    return shown.size() == 1 ? shown[0] : std::array<int, 4>{};
  };
  call("Activate", clickX, point->second);
  expectDriver("wait-text", {"Начать запись"});
  std::array<int, 4> panel = onlyPanel();
  EXPECT_LE(panel[0], clickX);
  EXPECT_GE(panel[0] + panel[2], clickX);
  EXPECT_LT(panel[1] + panel[3], point->second);
  screenshot("sni-activate");
  call("Activate", clickX, point->second);
  expectDriver("gone-text", {"Начать запись"});
  // A point in the middle of the screen is no icon: the bar's edge stands in, 192 from the right.
  call("Activate", 640, 400);
  expectDriver("wait-text", {"Начать запись"});
  panel = onlyPanel();
  EXPECT_LE(panel[0], 1280 - 192);
  EXPECT_GE(panel[0] + panel[2], 1280 - 192);
  EXPECT_LT(panel[1] + panel[3], point->second);
  call("Activate", 640, 400);
  expectDriver("gone-text", {"Начать запись"});
  call("ContextMenu", clickX, point->second);
  std::vector<std::array<int, 4>> menus;
  for (int i = 0; i < 30 && (menus = rectangles(driver({"xwindows", std::to_string(program->pid())}).out)).empty();
       ++i) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(menus.size(), 1u) << "no menu";
  EXPECT_LE(menus[0][0], clickX) << "the menu at the click, kept on the screen";
  EXPECT_GE(menus[0][0] + menus[0][2], clickX);
  EXPECT_LE(menus[0][1] + menus[0][3], point->second) << "above the bottom bar";
  screenshot("sni-context-menu");
  key("Escape");
  kill(program->pid(), SIGTERM);
  EXPECT_EQ(program->waitExit(10s), 0);
}

// Hosts pass Activate(x, y) in screen pixels, also when Qt scales by 2 (Plasma multiplies on
// purpose): a click at the left end of the bottom bar hangs the panel there, not at the bar's-edge
// stand-in 192 units from the right that a point read as Qt's units (off the screen) would give.
TEST_F(TalvoEndToEnd, OnAScaledScreenAHostsClickInPixelsOpensThePanelUnderIt) {
  std::unique_ptr<Child> host = startStatusNotifierHost(home.file("sni-host"));
  ASSERT_TRUE(host) << "the host never came up";
  program = std::make_unique<Talvo>(home.path(), *service, log(), "xcb",
                                    std::map<std::string, std::string>{{"QT_SCALE_FACTOR", "2"}});
  expectDriver("wait-text", {"Начать запись"});
  activateItem(120, 785);  // the panel of the launch closes
  expectDriver("gone-text", {"Начать запись"});
  activateItem(120, 785);  // the bar is the screen's bottom 30 pixels
  expectDriver("wait-text", {"Начать запись"});
  std::vector<std::array<int, 4>> shown;
  for (int i = 0; i < 20; ++i) {
    shown = rectangles(driver({"xwindows", std::to_string(program->pid())}).out);
    if (shown.size() == 1 && shown[0][0] <= 120 && 120 <= shown[0][0] + shown[0][2]) break;
    std::this_thread::sleep_for(100ms);  // the window manager may take a moment to honour the place
  }
  screenshot("sni-scaled-activate");
  ASSERT_EQ(shown.size(), 1u) << "the panel and nothing else";
  const auto [x, y, w, h] = shown[0];
  EXPECT_LE(x, 120) << "the panel hangs at the click";
  EXPECT_GE(x + w, 120);
  EXPECT_LT(y + h, 785) << "above the bottom bar";
  EXPECT_GT(y + h, 785 - 80) << "hanging from the bar";
  EXPECT_GE(w, 2 * 300) << "drawn at the scale";
}

// Two monitors, the right one at twice the scale, and no bar the program can know of (X11 gives
// one usable area for the whole desktop): a host's click near a monitor's edge in screen pixels
// hangs the panel at that click, on that monitor, not at a bar's-edge stand-in.
TEST_F(TalvoEndToEnd, OnMonitorsOfMixedScalesAHostsClickOpensThePanelOnItsMonitor) {
  PrivateDisplay display(home.file("xvfb.log"), "3840x1600", {"1280x800+0+0", "2560x1600+1280+0"});
  std::unique_ptr<Child> host = startStatusNotifierHost(home.file("sni-host"));
  ASSERT_TRUE(host) << "the host never came up";
  program = std::make_unique<Talvo>(home.path(), *service, log(), "xcb",
                                    std::map<std::string, std::string>{{"QT_SCREEN_SCALE_FACTORS", "1;2"}});
  expectDriver("wait-text", {"Начать запись"});
  // Pixels near the bottom of each monitor; the second monitor's is 5 of its units from the edge.
  const std::array<std::array<int, 2>, 2> clicks{{{300, 790}, {1680, 1590}}};
  for (const auto& [clickX, clickY] : clicks) {
    activateItem(clickX, clickY);  // the open panel closes
    expectDriver("gone-text", {"Начать запись"});
    activateItem(clickX, clickY);
    expectDriver("wait-text", {"Начать запись"});
    std::optional<std::array<int, 4>> panel;
    for (int i = 0; i < 20; ++i) {
      panel = panelRect();
      if (panel && (*panel)[0] <= clickX && clickX <= (*panel)[0] + (*panel)[2]) break;
      std::this_thread::sleep_for(100ms);
    }
    screenshot("mixed-scales-" + std::to_string(clickX));
    ASSERT_TRUE(panel) << "no panel";
    const auto [x, y, w, h] = *panel;
    EXPECT_LE(x, clickX) << "the panel hangs at the click " << clickX;
    EXPECT_GE(x + w, clickX);
    EXPECT_LE(y + h, clickY) << "opening upward from the bottom edge";
    EXPECT_GT(y + h, clickY - (clickX > 1280 ? 160 : 80)) << "hanging from the click";
    if (clickX > 1280) {
      EXPECT_GE(w, 2 * 300) << "drawn at the second monitor's scale";
    } else {
      EXPECT_LT(w, 2 * 300) << "drawn at the first monitor's scale";
    }
  }
  kill(program->pid(), SIGTERM);
  EXPECT_EQ(program->waitExit(10s), 0);
}

TEST_F(TalvoEndToEnd, ALockedRecordingsFolderShowsTheAlertAndExits) {
  // Another holder of the lock that the bus does not know (e.g. an instance on another session).
  fs::create_directories(recordings());
  chmod(home.file("data").c_str(), 0700);
  chmod(home.file("data/TALVO").c_str(), 0700);
  chmod(recordings().c_str(), 0700);
  const std::string lockPath = recordings() + "/.instance.lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  launch();
  expectDriver("wait-text", {"TALVO уже работает или папка записей недоступна."});
  expectDriver("wait-text", {"Второй экземпляр не будет менять её записи."});
  screenshot("locked");
  expectDriver("press", {"OK"});
  EXPECT_EQ(program->waitExit(10s), 0);
  close(lock);
}

TEST_F(TalvoEndToEnd, PairingThenARecordingReachesTheServiceAndIsProcessed) {
  launch();
  ASSERT_NO_FATAL_FAILURE(connectTelegram());
  screenshot("paired");
  // The account area folds away once connected; the Telegram button brings the account back.
  expectDriver("press", {"Открыть Telegram"});
  expectDriver("wait-text", {"Анна Тестова · 1001"});
  expectDriver("wait-text", {"Отключить этот"});
  screenshot("paired-account");
  expectDriver("press", {"Открыть Telegram"});
  expectDriver("gone-text", {"Анна Тестова · 1001"});

  playTones(30);
  const std::size_t idle = trayPixels();
  expectDriver("press", {"Начать запись"});
  expectDriver("wait-text", {"Остановить запись"});
  clickTray("left");  // the icon shows the recording with the panel closed too
  std::this_thread::sleep_for(3s);
  EXPECT_NE(trayPixels(), idle) << "the tray icon does not show the recording";
  screenshot("recording");
  clickTray("left");
  expectDriver("press", {"Остановить запись"});
  expectDriver("wait-text", {"Начать запись", "30"});
  // The tray host redraws the icon on its own time; a loaded machine may take a while.
  std::size_t after = trayPixels();
  for (int tries = 0; after != idle && tries < 50; ++tries) {
    std::this_thread::sleep_for(100ms);
    after = trayPixels();
  }
  EXPECT_EQ(after, idle) << "the tray icon still shows a recording";

  std::vector<std::string> waves = files(".wav");
  ASSERT_EQ(waves.size(), 1u);
  testing::WaveContents wave = testing::readWave(waves[0]);
  ASSERT_GT(wave.samples.size(), 32000u);
  const std::size_t first = 16000, count = wave.samples.size() - first;
  const double quiet = testing::tonePower(wave.samples, first, count, 700);
  EXPECT_GT(testing::tonePower(wave.samples, first, count, 440), 100 * quiet) << "the computer's tone is missing";
  EXPECT_GT(testing::tonePower(wave.samples, first, count, 1000), 100 * quiet) << "the microphone's tone is missing";

  const std::string id = fs::path(waves[0]).stem().string();
  const std::string record = recordings() + "/" + id + ".upload.json";
  // Processing is followed on the sync schedule: the status is asked 30 s after the request, at
  // the first pass after that (passes come every 30 s), so "done" takes up to a minute.
  std::string state;
  for (int i = 0; i < 1200 && state != "done"; ++i) {
    std::this_thread::sleep_for(100ms);
    try {
      state = nlohmann::json::parse(testing::readWholeFile(record)).at("state");
    } catch (const std::exception&) {
    }
  }
  EXPECT_EQ(state, "done");
  EXPECT_EQ(runs->storedFile(id), testing::readWholeFile(waves[0])) << "the service holds other bytes";
}

TEST_F(TalvoEndToEnd, QuittingFromTheMenuWhileRecordingFinishesTheRecordingFirst) {
  launch();
  playTones(20);
  expectDriver("press", {"Начать запись"});
  expectDriver("wait-text", {"Остановить запись"});
  std::this_thread::sleep_for(2s);
  clickTray("right");
  std::this_thread::sleep_for(500ms);
  key("Down");
  key("Down");
  key("Return");  // "Выйти"
  ASSERT_EQ(program->waitExit(30s), 0);
  expectFinishedRecording("recorded");
}

TEST_F(TalvoEndToEnd, SigtermWhileRecordingFinishesTheRecordingFirst) {
  launch();
  playTones(20);
  expectDriver("press", {"Начать запись"});
  expectDriver("wait-text", {"Остановить запись"});
  std::this_thread::sleep_for(2s);
  kill(program->pid(), SIGTERM);
  ASSERT_EQ(program->waitExit(30s), 0);
  expectFinishedRecording("recorded");
}

// The session's login keyring locked (as a screen lock or a login without its password leaves
// it) for the object's life; the device key a previous test stored is cleared before and after,
// so the program starts without an account both times.
class LockedKeyring {
 public:
  LockedKeyring() {
    clearDeviceKey();
    locked_ = keyring({"lock"}).status == 0;
  }
  ~LockedKeyring() {
    unlock();
    clearDeviceKey();
  }
  bool locked() const { return locked_; }
  bool unlock() {
    if (locked_)
      locked_ = keyring({"unlock", testing::envOr("TALVO_KEYRING_PASSWORD", "talvo-test-keyring")}).status != 0;
    return !locked_;
  }

 private:
  static Outcome keyring(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"/usr/bin/python3", sourceFile("app/tests/keyring_lock.py")});
    return run(arguments, environmentWith({}));
  }
  static void clearDeviceKey() {
    run({"secret-tool", "clear", "service", NativeProduct::deviceCredentialsService}, environmentWith({}));
  }
  bool locked_ = false;
};

TEST_F(TalvoEndToEnd, ARecordingKilledWhileTheKeyringWasLockedIsUploadedOnceItOpens) {
  LockedKeyring keyring;
  ASSERT_TRUE(keyring.locked()) << "the test keyring did not lock";
  launch();
  expectDriver("wait-text", {"Ключ устройства недоступен."});
  playTones(30);
  expectDriver("press", {"Начать запись"});
  expectDriver("wait-text", {"Остановить запись"});
  // Its queue record is on disk from the start, with no owner while the keyring refuses.
  std::string record;
  for (int i = 0; i < 300 && record.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    std::vector<std::string> records = files(".upload.json");
    if (records.size() == 1) record = records[0];
  }
  ASSERT_FALSE(record.empty()) << "no queue record while recording";
  std::this_thread::sleep_for(3s);
  kill(program->pid(), SIGKILL);
  ASSERT_TRUE(program->waitExit(10s));
  const std::string id = fs::path(record).stem().stem().string();
  ASSERT_TRUE(fs::exists(recordings() + "/" + id + ".wav"));

  ASSERT_TRUE(keyring.unlock()) << "the test keyring did not unlock";
  launch();
  ASSERT_NO_FATAL_FAILURE(connectTelegram());
  // The account area, folded away once connected, offers to send the recording made without one.
  expectDriver("press", {"Открыть Telegram"});
  expectDriver("wait-text", {"Отправить записи без аккаунта (1)"});
  expectDriver("press", {"Отправить записи без аккаунта (1)"});
  expectDriver("press", {"Отправить в Анна Тестова · 1001"});
  std::optional<testing::FakeRunsService::RunState> sent;
  for (int i = 0; i < 600 && !(sent && sent->status == "finalized"); ++i) {
    std::this_thread::sleep_for(100ms);
    sent = runs->run(id);
  }
  ASSERT_TRUE(sent && sent->status == "finalized") << "the recording was not uploaded";
  // The WAV the crash cut off was repaired at the start; the service holds exactly those bytes.
  const std::string wav = recordings() + "/" + id + ".wav";
  testing::WaveContents wave = testing::readWave(wav);
  EXPECT_EQ(wave.headerDataBytes, wave.samples.size() * 2) << "the WAV was not repaired";
  EXPECT_GT(wave.samples.size(), 16000u);
  EXPECT_EQ(runs->storedFile(id), testing::readWholeFile(wav)) << "the service holds other bytes";
}

// A copy folder on a server that stopped answering, as an NFS mount whose server went away:
// the FUSE daemon behind it is stopped, so every access there waits. It answers again (and is
// unmounted) when the object goes, whatever the test's outcome.
class HungCopyFolder {
 public:
  HungCopyFolder() {
    if (!mount_.mounted()) return;
    server_ = mount_.serverPid();
    if (server_ > 0) ::mkdir(folder().c_str(), 0700);
  }
  ~HungCopyFolder() { resume(); }
  bool usable() const { return mount_.mounted() && server_ > 0; }
  std::string why() const { return mount_.mounted() ? "no server process of the FUSE mount found" : mount_.why(); }
  std::string folder() const { return mount_.path() + "/copies"; }
  void hang() { stopped_ = kill(server_, SIGSTOP) == 0; }
  void resume() {
    if (stopped_) kill(server_, SIGCONT);
    stopped_ = false;
  }

 private:
  testing::FuseMount mount_{testing::FuseMount::Kind::ext4};
  pid_t server_ = -1;
  bool stopped_ = false;
};

class TalvoHungCopy : public TalvoEndToEnd {
 protected:
  // Well past the copy's 10 s limit for a quit, and a loaded machine's slow teardown.
  static constexpr auto quitLimit = 40s;

  void SetUp() override {
    TalvoEndToEnd::SetUp();
    if (IsSkipped()) return;
    copies = std::make_unique<HungCopyFolder>();
    TALVO_REQUIRE_COMPONENT(copies->usable(), "no FUSE mount to hang: " << copies->why());
    // The folder chosen earlier, as "Выбрать" leaves it in the settings.
    fs::create_directories(home.file("config/TALVO"));
    testing::writeWholeFile(home.file("config/TALVO/TALVO.conf"),
                            "[General]\nlocalRecordingFolder.v1=" + copies->folder() + "\n");
  }
  void TearDown() override {
    // A program still waiting there (a failed test) can then be ended before the unmount.
    if (copies) copies->resume();
    TalvoEndToEnd::TearDown();
    copies.reset();
  }

  // A recording stopped by the user whose copy then hangs: the recorder is ready for the next
  // one all the same.
  void recordAndStopWithTheCopyHanging() {
    launch();
    playTones(60);
    expectDriver("press", {"Начать запись"});
    expectDriver("wait-text", {"Остановить запись"});
    std::this_thread::sleep_for(2s);
    copies->hang();
    expectDriver("press", {"Остановить запись"});
    expectDriver("wait-text", {"Начать запись", "30"});
  }

  // Every recording complete, with a final queue record; none left unfinished.
  void expectEveryRecordingFinal(std::size_t count) {
    std::vector<std::string> waves = files(".wav");
    ASSERT_EQ(waves.size(), count);
    for (const auto& wave : waves) {
      SCOPED_TRACE(wave);
      testing::WaveContents contents = testing::readWave(wave);
      EXPECT_EQ(contents.headerDataBytes, contents.samples.size() * 2) << "the WAV was not finalised";
      EXPECT_GT(contents.samples.size(), 16000u);
      nlohmann::json record =
          nlohmann::json::parse(testing::readWholeFile(wave.substr(0, wave.size() - 4) + ".upload.json"));
      EXPECT_EQ(record.at("state"), "recorded");
    }
  }

  std::unique_ptr<HungCopyFolder> copies;
};

TEST_F(TalvoHungCopy, QuitCommandEndsTheProgramWhileTheCopyHangs) {
  ASSERT_NO_FATAL_FAILURE(recordAndStopWithTheCopyHanging());
  const auto asked = std::chrono::steady_clock::now();
  Outcome command = run({TALVO_BINARY, "--quit"}, program->environment());
  EXPECT_EQ(command.status, 0) << command.out;
  EXPECT_EQ(program->waitExit(quitLimit), 0) << "still running while the copy hangs";
  std::cout << "ended "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count()
            << " ms after the quit command\n";
  expectEveryRecordingFinal(1);
}

TEST_F(TalvoHungCopy, ANewRecordingStartsAndASessionsEndQuitsWhileTheCopyHangs) {
  ASSERT_NO_FATAL_FAILURE(recordAndStopWithTheCopyHanging());
  expectDriver("press", {"Начать запись"});
  expectDriver("wait-text", {"Остановить запись"});
  std::this_thread::sleep_for(2s);
  // A session's end: SIGTERM and SIGHUP together are one request, so the second recording is
  // finished and queued first; its copy hangs too and is given up after its limit.
  kill(program->pid(), SIGTERM);
  kill(program->pid(), SIGHUP);
  EXPECT_EQ(program->waitExit(quitLimit), 0) << "still running while the copies hang";
  expectEveryRecordingFinal(2);
}

// A program named like a meeting application recording from the microphone.
class FakeMeetingApp {
 public:
  FakeMeetingApp(const testing::TempDirectory& directory, const std::string& name) {
    const std::string copy = directory.file(name);
    fs::copy_file("/usr/bin/parecord", copy, fs::copy_options::overwrite_existing);
    chmod(copy.c_str(), 0700);
    const char* mic = std::getenv("TALVO_TEST_MIC_SOURCE");
    // Named otherwise, pacat must be told to record.
    pid_ = spawn({copy, "--record", "--raw", std::string("--device=") + (mic ? mic : "virtmic"), "/dev/null"},
                 environmentWith({}), -1, directory.file(name + ".log"));
  }
  ~FakeMeetingApp() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

TEST_F(TalvoEndToEnd, AMeetingAppOnTheMicrophoneBringsTheReminderWhichStartsRecording) {
  launch();
  expectDriver("wait-text", {"Начать запись"});
  clickTray("left");
  expectDriver("gone-text", {"Начать запись"});
  {
    FakeMeetingApp zoom(home, "zoom");
    expectDriver("wait-text", {"Похоже, начался созвон в Zoom.", "25"});
    screenshot("reminder");
    expectDriver("press", {"Начать запись"});
    expectDriver("wait-text", {"Остановить запись", "15"});
    expectDriver("press", {"Остановить запись"});
    expectDriver("wait-text", {"Начать запись", "30"});
  }
  ASSERT_EQ(files(".wav").size(), 1u);
}

TEST_F(TalvoEndToEnd, NoReminderWhileARecordingRuns) {
  launch();
  expectDriver("press", {"Начать запись"});
  expectDriver("wait-text", {"Остановить запись"});
  FakeMeetingApp zoom(home, "zoom");
  std::this_thread::sleep_for(14s);
  Outcome texts = driver({"texts", std::to_string(program->pid())});
  EXPECT_EQ(texts.out.find("Похоже, начался созвон"), std::string::npos) << texts.out;
  expectDriver("press", {"Остановить запись"});
  expectDriver("wait-text", {"Начать запись", "30"});
}

}  // namespace
}  // namespace talvo
