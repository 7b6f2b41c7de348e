// vql-isp-cli: the terminal front end over the core.
//
// For now it reads the configuration file, loads Intel HEX files into the code image
// (printing what the grid would show) and runs the cable loop test; the chip
// commands join it as they come.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "image/code_image.h"
#include "image/hex_files.h"
#include "link/config_file.h"
#include "link/programmer_link.h"
#include "portio/port_factory.h"
#include "services/window_services.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vql-isp-cli [--config PATH] config\n"
    "       vql-isp-cli [--config PATH] load FILE.hex\n"
    "       vql-isp-cli [--config PATH] test-io\n"
    "\n"
    "  config     read the configuration file and show its five values\n"
    "  load FILE  load an Intel HEX file into the 64 KiB code image and show the\n"
    "             rows of the image that hold anything but FF\n"
    "  test-io    the cable loop test on LPT1: with a loop-back plug (MISO joined to\n"
    "             SCK) it says \"Ok...\", otherwise the first cycle that failed\n"
    "  --config PATH  configuration file (default CONFIG.VQL in the current directory)\n"
    "\n";

// The terminal as the program's window: message boxes go to standard error, the
// grid is printed on request.
class TerminalWindow final : public vql::WindowServices {
 public:
  explicit TerminalWindow(std::optional<std::string> hexFile) : hexFile_(std::move(hexFile)) {}

  std::uint32_t GetTickCount() override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());
  }
  void PumpMessages() override {
    if (timerPeriodMs_ == 0) return;
    const std::uint32_t now = GetTickCount();
    if (now - timerStart_ >= timerPeriodMs_) {
      timerStart_ += timerPeriodMs_;
      auto onTick = onTick_;
      onTick();
    }
  }
  void StartTimer(std::uint32_t periodMs, std::function<void()> onTick) override {
    timerPeriodMs_ = periodMs;
    timerStart_ = GetTickCount();
    onTick_ = std::move(onTick);
  }
  void StopTimer() override { timerPeriodMs_ = 0; }
  void ShowStatus(std::string_view text) override { std::cout << text << '\n'; }
  void Beep() override {}
  void ShowProgress(std::int32_t, std::int32_t) override {}
  void ShowMessageBox(std::string_view text) override {
    std::cerr << text << '\n';
    lastMessage_ = text;
  }
  const std::string& LastMessage() const { return lastMessage_; }
  std::optional<std::string> ChooseHexFile() override { return hexFile_; }
  void ShowFileName(std::string_view) override {}
  void ShowImage(const vql::CodeImage& image) override { shown_ = image; }

  // The rows of the last image shown that hold anything but "FF", as the grid has them.
  void PrintUsedRows() const {
    for (std::size_t row = 0; row < vql::kImageSize; row += 16) {
      std::string line;
      bool used = false;
      for (std::size_t a = row; a < row + 16; ++a) {
        used = used || shown_.HighDigits[a] != 'F' || shown_.LowDigits[a] != 'F';
        line += ' ';
        line += shown_.HighDigits[a];
        line += shown_.LowDigits[a];
      }
      if (used) std::printf("%04zX%s\n", row, line.c_str());
    }
  }

 private:
  std::optional<std::string> hexFile_;
  std::string lastMessage_;
  vql::CodeImage shown_;
  std::uint32_t timerPeriodMs_ = 0;  // 0: stopped
  std::uint32_t timerStart_ = 0;
  std::function<void()> onTick_;
};

int Usage(int status) {
  (status == 0 ? std::cout : std::cerr) << kUsage << (status == 0 ? vql::PortEnvironmentHelp() : "");
  return status;
}

// The loop test of the "Test IO" button, on the port the environment chooses.
int TestIo(const std::string& config) {
  TerminalWindow window{std::nullopt};
  vql::SteadyMicrosecondClock clock;
  vql::PortSelection selection = vql::OpenPortIo(std::getenv, clock);
  if (!selection.notice.empty()) std::cerr << selection.notice << '\n';
  vql::ProgrammerLink link(*selection.port, window);
  std::int32_t unused = 0;
  link.ConfigPath = vql::ConfigFilePath(config);
  vql::ReadConfigFile(link.DelayScale, link.BitDelay, unused, link.Lpt1Base, link.Lpt2Base,
                      config);
  link.SelectStartupPort();
  if (!link.PortUsable()) return 2;
  std::cerr << "Port: " << selection.port->Description() << '\n';
  link.HoldTargetInProgramMode();
  link.CalibrateDelayLoop();
  link.Button1Click();
  link.ReleaseTargetToRun();
  return window.LastMessage() == "Ok..." ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config = "CONFIG.VQL";
  int i = 1;
  for (; i < argc && std::string_view(argv[i]).starts_with("--"); ++i) {
    const std::string_view option = argv[i];
    if (option == "--help") return Usage(0);
    if (option == "--version") {
      std::cout << "VQL-ISP V2.3\n";
      return 0;
    }
    if (option == "--config" && i + 1 < argc) {
      config = argv[++i];
      continue;
    }
    std::cerr << "vql-isp-cli: unknown option " << option << '\n';
    return Usage(2);
  }
  if (i >= argc) return Usage(2);
  const std::string_view command = argv[i++];

  try {
    if (command == "config" && i == argc) {
      std::int32_t delayScale = 0, bitDelay = 0, unused = 0, lpt1 = 0, lpt2 = 0;
      vql::ReadConfigFile(delayScale, bitDelay, unused, lpt1, lpt2, config);
      std::printf("%s\nDelayScale %d\nBitDelay %d\nLPT1 %X\nLPT2 %X\n",
                  vql::ConfigFilePath(config).c_str(), delayScale, bitDelay,
                  static_cast<unsigned>(lpt1), static_cast<unsigned>(lpt2));
      return 0;
    }
    if (command == "load" && i + 1 == argc) {
      // The dialog hands over full paths; so does the command line.
      TerminalWindow window{std::filesystem::absolute(argv[i]).string()};
      auto state = std::make_unique<vql::ImageState>();
      const std::int32_t extent = vql::LoadHexFromDialog(*state, window);
      window.PrintUsedRows();
      std::printf("Loaded %s: extent %d (%04X)\n", state->HexFilePath.c_str(), extent,
                  static_cast<unsigned>(extent));
      return 0;
    }
    if (command == "test-io" && i == argc) return TestIo(config);
  } catch (const vql::PortError& error) {
    std::cerr << error.what() << '\n';
    return 2;
  } catch (const vql::FileError& error) {
    std::cerr << error.what() << '\n';
    return 2;
  }
  return Usage(2);
}
