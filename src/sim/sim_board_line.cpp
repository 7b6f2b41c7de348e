#include "sim/sim_board_line.h"

#include <charconv>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "portio/port_io.h"

namespace vql {

namespace {

// A faulty board's dead cell lies in 0000..000F.
constexpr std::uint64_t kFaultCells = 16;

constexpr std::string_view kFilePrefix = "board-";
constexpr std::string_view kFileSuffix = ".state";

std::string BoardFileName(std::uint32_t board) {
  return std::string(kFilePrefix) + std::to_string(board) + std::string(kFileSuffix);
}

// The board whose file name is name, or 0 when it is no board's.
std::uint32_t BoardOfFile(std::string_view name) {
  if (!name.starts_with(kFilePrefix) || !name.ends_with(kFileSuffix)) return 0;
  const std::string_view digits =
      name.substr(kFilePrefix.size(), name.size() - kFilePrefix.size() - kFileSuffix.size());
  std::uint32_t board = 0;
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), board);
  if (error != std::errc{} || stop != digits.data() + digits.size()) return 0;
  // "board-01.state" is not what the line writes.
  return BoardFileName(board) == name ? board : 0;
}

// A draw of the engine as a share in [0, 1): its top 53 bits, exactly a double's
// precision, so that every platform compares the same numbers.
double Share(std::uint64_t draw) { return static_cast<double>(draw >> 11) * 0x1.0p-53; }

}  // namespace

SimBoardLine::SimBoardLine(const SimChipModel& model, SimChipSettings settings,
                           std::uint32_t boards, double faultRate)
    : model_(model),
      settings_(std::move(settings)),
      boards_(boards),
      faultRate_(faultRate),
      faults_(settings_.seed) {
  MakeStateFolder();
  if (boards_ > 0) PutNextBoardIn();
}

void SimBoardLine::LinesChanged(const TargetLines& lines, std::uint64_t us) {
  if (board_ != nullptr) board_->LinesChanged(lines, us);
}

bool SimBoardLine::Miso(std::uint64_t us) { return board_ == nullptr || board_->Miso(us); }

void SimBoardLine::BufferSwitched(bool enabled) {
  // A board in the socket while the buffer was enabled has been driven; once the
  // cable lets it go, the operator takes it off.
  if (!enabled) board_.reset();
}

bool SimBoardLine::SenseRead() {
  if (board_ != nullptr || plugged_ == boards_) return false;
  if (!std::exchange(seenEmpty_, true)) return false;
  PutNextBoardIn();
  return true;
}

std::string SimBoardLine::StateFile(std::uint32_t board) const {
  if (settings_.stateFile.empty()) return {};
  return (std::filesystem::path(settings_.stateFile) / BoardFileName(board)).string();
}

void SimBoardLine::MakeStateFolder() const {
  const std::string& folder = settings_.stateFile;
  if (folder.empty()) return;
  const auto refuse = [&folder](const std::string& why) {
    throw PortError("Cannot keep the boards' state files in \"" + folder + "\" (VQLISP_SIM state=): " +
                    why);
  };
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) refuse(error.message());
  if (!std::filesystem::is_directory(folder, error)) refuse("it is not a folder");

  std::vector<std::filesystem::path> earlier;
  std::filesystem::directory_iterator entry(folder, error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::uint32_t board = BoardOfFile(entry->path().filename().string());
    if (board >= 1 && board <= boards_) earlier.push_back(entry->path());
  }
  if (error) refuse(error.message());
  for (const auto& path : earlier) {
    if (!std::filesystem::remove(path, error) && error) {
      throw PortError("Cannot remove \"" + path.string() +
                      "\", a board's state file from an earlier run: " + error.message());
    }
  }
}

void SimBoardLine::PutNextBoardIn() {
  ++plugged_;
  seenEmpty_ = false;
  SimChipSettings settings = settings_;
  settings.stateFile = StateFile(plugged_);
  // Both draws for every board, faulty or not, so that board n's draws are the same
  // at any rate. A faulty board's dead cell takes the place of the options' dead=.
  const std::uint64_t faultDraw = faults_();
  const std::uint64_t addressDraw = faults_();
  if (Share(faultDraw) < faultRate_) {
    settings.deadAddress = static_cast<std::uint16_t>(addressDraw % kFaultCells);
  }
  board_ = std::make_unique<SimChip>(model_, std::move(settings));
}

}  // namespace vql
