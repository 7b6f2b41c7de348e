// The simulated line of boards behind either cable: boards come and go as the cable
// drives and releases them, each keeps its own state file, and the seed decides
// which boards have a dead cell.
#include "sim/sim_board_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_chip_cable.h"
#include "sim/sim_chip_state.h"
#include "sim/sim_ftdi.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A cable driven as the program drives it, with a line of AT89S51 boards behind it
// (SPI mode 0, four-byte instructions).
class LineCable {
 public:
  virtual ~LineCable() = default;
  virtual void Hold() = 0;     // program mode: RST high, the buffer enabled
  virtual void Release() = 0;  // run mode: RST low, the buffer disabled
  virtual bool Sense() = 0;    // one read of SENSE
  virtual Bytes Send(const Bytes& bytes) = 0;
  virtual void Wait(std::uint64_t us) = 0;
  virtual SimBoardLine& Line() = 0;
  virtual std::optional<std::string> Described() const = 0;
  virtual bool Ended() const = 0;

  void Enable() { Send({0xAC, 0x53, 0x55, 0x55}); }
  // Writes the byte, waits out the write, and reads the cell back.
  std::uint8_t Program(std::uint16_t address, std::uint8_t byte) {
    const auto high = static_cast<std::uint8_t>(address >> 8);
    const auto low = static_cast<std::uint8_t>(address);
    Send({0x40, high, low, byte});
    Wait(1000);
    return Send({0x20, high, low, 0x00}).back();
  }
};

class PrinterCable final : public LineCable {
 public:
  explicit PrinterCable(const std::string& options) : cable_(options) {}
  void Hold() override { cable_.Drive(cable::kRst); }
  void Release() override { cable_.Drive(cable::kMode7 | cable::kMode3); }
  bool Sense() override { return (cable_.port.Inport(testing::ChipCable::kStatus) & cable::kSense) != 0; }
  Bytes Send(const Bytes& bytes) override { return cable_.Send(bytes); }
  void Wait(std::uint64_t us) override { cable_.clock.Advance(us); }
  SimBoardLine& Line() override { return *cable_.port.TargetAs<SimBoardLine>(); }
  std::optional<std::string> Described() const override { return cable_.port.SimulatedTarget(); }
  bool Ended() const override { return cable_.port.TargetsEnded(); }

 private:
  testing::ChipCable cable_;
};

// An FT232H's MPSSE engine at a half period of 4 us.
class UsbCable final : public LineCable {
 public:
  explicit UsbCable(const std::string& options)
      : ftdi_(clock_, ParseSimOptions("adapter=ft232h," + options)) {
    EXPECT_TRUE(ftdi_.SetBitmode(0, ftdi_mode::kMpsse));
    Write({0x8A, 0x86, 0xEF, 0x00});
  }
  void Hold() override { Write({0x80, PinMask(kMpssePins.rst) | PinMask(3), kMpssePins.outputs}); }
  void Release() override { Write({0x80, kMpssePins.idle, kMpssePins.outputs}); }
  bool Sense() override {
    Write({0x81});
    return (Read(1)[0] & PinMask(kMpssePins.sense)) != 0;
  }
  Bytes Send(const Bytes& bytes) override {
    Bytes command{0x31, static_cast<std::uint8_t>(bytes.size() - 1), 0x00};
    command.insert(command.end(), bytes.begin(), bytes.end());
    Write(command);
    return Read(bytes.size());
  }
  void Wait(std::uint64_t us) override { clock_.Advance(us); }
  SimBoardLine& Line() override { return *ftdi_.TargetAs<SimBoardLine>(); }
  std::optional<std::string> Described() const override { return ftdi_.SimulatedTarget(); }
  bool Ended() const override { return ftdi_.TargetsEnded(); }

 private:
  void Write(const Bytes& bytes) { EXPECT_TRUE(ftdi_.Write(bytes)) << ftdi_.Error(); }
  Bytes Read(std::size_t count) {
    Bytes bytes(count);
    EXPECT_TRUE(ftdi_.Read(bytes)) << ftdi_.Error();
    return bytes;
  }

  testing::ManualClock clock_;
  SimulatedFtdi ftdi_;
};

const SimChipModel& At89s51() { return *FindSimChip("AT89S51"); }

TEST(SimBoardLine, BoardsComeAndGoAsEitherCableDrivesAndReleasesThem) {
  using Make = std::function<std::unique_ptr<LineCable>(const std::string&)>;
  const std::pair<std::string, Make> cables[] = {
      {"printer port", [](const std::string& o) { return std::make_unique<PrinterCable>(o); }},
      {"FT232H", [](const std::string& o) { return std::make_unique<UsbCable>(o); }},
  };
  constexpr std::uint8_t kBoards = 3;
  for (const auto& [name, make] : cables) {
    SCOPED_TRACE(name);
    testing::TempDir dir;
    // A damaged file of an earlier run is no board's memory now.
    dir.Write("line/board-1.state", "not a state file");
    const auto cable = make("target=AT89S51,boards=3,state=" + (dir.Path() / "line").string());
    for (std::uint8_t n = 1; n <= kBoards; ++n) {
      cable->Hold();
      // The next board comes at the read after the one that finds the socket empty.
      if (n > 1) {
        EXPECT_FALSE(cable->Sense()) << n;
      }
      EXPECT_TRUE(cable->Sense()) << n;
      ASSERT_EQ(cable->Line().BoardNumber(), n);
      EXPECT_FALSE(cable->Ended());
      cable->Enable();
      EXPECT_EQ(cable->Program(n, static_cast<std::uint8_t>(0xA0 + n)), 0xA0 + n);
      const std::string file = cable->Line().StateFile(n);
      EXPECT_FALSE(std::filesystem::exists(file)) << "saved before the board went";

      cable->Release();
      EXPECT_EQ(cable->Line().BoardNumber(), 0u);
      // Each board is a chip of its own, erased but for what it was given.
      const auto kept = LoadSimChipState(file, At89s51());
      ASSERT_TRUE(kept.has_value()) << file;
      for (std::uint8_t cell = 0; cell <= kBoards; ++cell) {
        EXPECT_EQ(kept->code[cell], cell == n ? 0xA0 + n : 0xFF) << file << " at " << int{cell};
      }
    }
    cable->Hold();
    for (int read = 0; read < 3; ++read) EXPECT_FALSE(cable->Sense());
    EXPECT_TRUE(cable->Ended());
    EXPECT_EQ(cable->Described(), "AT89S51");
  }
}

// Board by board, the cell of 0000..000F that stays FF when 00 is written to each;
// -1 for a board without one.
std::vector<int> DeadCells(const std::string& faults, std::uint32_t boards) {
  PrinterCable cable("target=AT89S51,boards=" + std::to_string(boards) + "," + faults);
  std::vector<int> dead;
  for (std::uint32_t n = 1; n <= boards; ++n) {
    cable.Hold();
    cable.Sense();
    cable.Sense();
    cable.Enable();
    int found = -1;
    for (std::uint16_t address = 0; address < 0x20; ++address) {
      if (cable.Program(address, 0x00) == 0x00) continue;
      EXPECT_EQ(found, -1) << "board " << n << " has a second dead cell at " << address;
      found = address;
    }
    dead.push_back(found);
    cable.Release();
  }
  return dead;
}

TEST(SimBoardLine, TheSeedDecidesWhichBoardsHaveADeadCellInTheFirstSixteen) {
  constexpr std::uint32_t kBoards = 12;
  const std::vector<int> all = DeadCells("board-fault-rate=1,seed=7", kBoards);
  for (const int cell : all) EXPECT_TRUE(cell >= 0 && cell <= 0xF) << cell;
  EXPECT_GT(std::set<int>(all.begin(), all.end()).size(), 1u);
  EXPECT_EQ(DeadCells("board-fault-rate=0,seed=7", kBoards), std::vector<int>(kBoards, -1));

  const std::vector<int> half = DeadCells("board-fault-rate=0.5,seed=7", kBoards);
  EXPECT_EQ(DeadCells("board-fault-rate=0.5,seed=7", kBoards), half);
  EXPECT_NE(DeadCells("board-fault-rate=0.5,seed=8", kBoards), half);
  const auto good = static_cast<std::uint32_t>(std::ranges::count(half, -1));
  EXPECT_TRUE(good > 0 && good < kBoards) << good;
  // A higher rate only adds faulty boards: those of the lower keep their cells.
  for (std::size_t i = 0; i < kBoards; ++i) {
    if (half[i] >= 0) {
      EXPECT_EQ(all[i], half[i]) << "board " << i + 1;
    }
  }
}

TEST(SimBoardLine, AStateFolderThatCannotBeMadeIsRefusedNamingIt) {
  testing::TempDir dir;
  const std::string file = dir.Write("taken", "a file, not a folder");
  try {
    PrinterCable cable("target=AT89S51,boards=2,state=" + file);
    ADD_FAILURE() << "a file was taken for the folder";
  } catch (const PortError& e) {
    EXPECT_NE(std::string(e.what()).find("\"" + file + "\""), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace vql
