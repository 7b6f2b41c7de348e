// Fast programming on the devices whose data sheets give page instructions: a page
// written with one instruction and its end found by data polling, pages read with
// one instruction each. What the byte-at-a-time operations check stays checked: every
// byte written is read back (by the page read after the write, or by the verify that
// follows it in Auto-program), a byte that does not take its value is written again
// byte by byte and stops the write with its box when it never programs, and a read
// that disagrees is read again byte by byte.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "devices/device_ops.h"

namespace vql {

namespace {

bool PageIsBlank(const CodeImage& image, std::int32_t start, std::int32_t end) {
  for (std::int32_t n = start; n <= end; ++n) {
    if (ImageByte(image, n) != 0xFF) return false;
  }
  return true;
}

}  // namespace

bool DeviceOps::PagesWanted() const {
  return !halt_ && controls_.FastProgramming && device_ != nullptr && device_->pageBytes != 0 &&
         pagesAnswer_ != false;
}

bool DeviceOps::PagesAnswer() {
  if (pagesAnswer_ || halt_) return pagesAnswer_.value_or(false);
  // The byte reads first: a chip that frames the page read otherwise than its data
  // sheet (another model) is then out of step only until the next enable resets it.
  const auto size = static_cast<std::size_t>(device_->pageBytes);
  std::vector<std::uint8_t> bytes(size);
  if (link_.ReadAhead() > 1) ReadAhead(InstructionSet::FourByte, 0, device_->pageBytes - 1, 1);
  for (std::size_t n = 0; n < size; ++n) {
    SetAddressCounter(image_.Counter, static_cast<std::int32_t>(n));
    const auto got = ReadCounterByte(InstructionSet::FourByte);
    if (!got) return false;
    bytes[n] = *got;
  }
  // A chip that does not know the page read answers with echoes of the bytes the
  // programmer clocks meanwhile: twice, with 00 and with FF, tells them apart.
  for (const std::uint8_t filler : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
    const auto page = ReadPage(0, filler);
    if (!page) return false;
    const auto differs = std::ranges::mismatch(bytes, *page);
    if (differs.in1 == bytes.end()) continue;
    pagesAnswer_ = false;
    contactDoubted_ = true;  // two answers for one byte disagreed
    char text[400];
    std::snprintf(text, sizeof text,
                  "The %s answered the page read of page 0000 otherwise than its byte reads: "
                  "address %04X read %02X by itself and %02X in the page. It does not take "
                  "the page instructions as its data sheet says, or the contact is poor, so "
                  "this command goes on byte by byte, at the usual speed.",
                  std::string(device_->name).c_str(),
                  static_cast<unsigned>(differs.in1 - bytes.begin()),
                  static_cast<unsigned>(*differs.in1), static_cast<unsigned>(*differs.in2));
    window_.ShowNotice(text);
    return false;
  }
  pagesAnswer_ = true;
  return true;
}

std::vector<std::uint8_t> DeviceOps::PageOpening(std::uint8_t op, std::int32_t start) {
  SetAddressCounter(image_.Counter, start);
  std::vector<std::uint8_t> opening{op, AddressHigh4(start)};
  if (device_->pageBytes < 256) opening.push_back(AddressLow(start));
  return opening;
}

std::optional<std::vector<std::uint8_t>> DeviceOps::ReadPage(std::int32_t start,
                                                            std::uint8_t filler) {
  auto pages = ReadPages(start, 1, filler);
  if (pages.empty()) return std::nullopt;
  return std::move(pages.front());
}

std::vector<std::vector<std::uint8_t>> DeviceOps::ReadPages(std::int32_t start, std::int32_t count,
                                                           std::uint8_t filler) {
  const auto size = static_cast<std::size_t>(device_->pageBytes);
  std::vector<std::uint8_t> bytes;
  std::size_t skip = 0;
  for (std::int32_t page = 0; page < count; ++page) {
    const auto opening = PageOpening(0x30, start + page * device_->pageBytes);
    skip = opening.size();
    bytes.insert(bytes.end(), opening.begin(), opening.end());
    bytes.insert(bytes.end(), size, filler);
  }
  std::vector<std::uint8_t> answers(bytes.size());
  if (!Send(bytes, answers)) return {};
  std::vector<std::vector<std::uint8_t>> pages;
  for (auto at = answers.begin(); at != answers.end(); at += static_cast<std::ptrdiff_t>(skip + size)) {
    pages.emplace_back(at + static_cast<std::ptrdiff_t>(skip),
                       at + static_cast<std::ptrdiff_t>(skip + size));
  }
  return pages;
}

bool DeviceOps::AwaitPageWritten(std::int32_t at, std::uint8_t want) {
  // A stop request waits too: the chip finishes its page on its own either way.
  const std::uint64_t until =
      link_.NowMicroseconds() +
      static_cast<std::uint64_t>(device_->pageWriteMaxUs) * kPagePollMargin;
  SetAddressCounter(image_.Counter, at);
  bool once = false;
  do {
    const auto got = ReadCounterByte(InstructionSet::FourByte);
    if (!got) return false;
    if (*got == want && once) return true;
    once = *got == want;
  } while (link_.NowMicroseconds() < until);
  return false;
}

bool DeviceOps::RewriteMismatches(std::int32_t start, std::int32_t end,
                                  const std::function<std::optional<std::uint8_t>(std::int32_t)>& now) {
  for (std::int32_t n = start; n <= end; ++n) {
    const auto want = static_cast<std::uint8_t>(ImageByte(image_.Image, n));
    if (want == 0xFF) continue;
    const auto got = now(n);
    if (!got) return false;
    if (*got == want) continue;
    SetAddressCounter(image_.Counter, n);
    if (!WriteAndReadBack4(n)) {
      if (!halt_) NotProgrammed(n, "");
      return false;
    }
  }
  return true;
}

bool DeviceOps::WritePage(std::int32_t start, std::int32_t end, bool readBack) {
  std::vector<std::uint8_t> bytes = PageOpening(0x50, start);
  const std::int32_t last = start + device_->pageBytes - 1;
  for (std::int32_t n = start; n <= last; ++n) {
    bytes.push_back(n <= end ? ImageByteAfter(n, bytes.back()) : std::uint8_t{0xFF});
  }
  ForgetAnswers();
  if (!Send(bytes)) return false;
  // Past the bound the page read below decides: a chip still writing, or one that
  // missed the page, shows there.
  const bool polled = AwaitPageWritten(
      last, static_cast<std::uint8_t>(last <= end ? ImageByte(image_.Image, last) : 0xFF));
  if (polled && !readBack) return true;
  const auto back = halt_ ? std::nullopt : ReadPage(start);
  // On a contact that has shown itself unreliable a byte counts as written only when a
  // second page read agrees; one that does not goes the byte-by-byte way, whose
  // read-back confirms it.
  const auto again = back && contactDoubted_ ? ReadPage(start) : back;
  return back && again && RewriteMismatches(start, end, [&](std::int32_t n) {
           const auto k = static_cast<std::size_t>(n - start);
           const std::uint8_t got = (*back)[k];
           return std::optional<std::uint8_t>(
               got == (*again)[k] ? got : static_cast<std::uint8_t>(~ImageByte(image_.Image, n)));
         });
}

bool DeviceOps::WritePages4(std::int32_t last) {
  if (!Enable4()) return true;
  if (!PagesAnswer()) return halt_.has_value();
  last = Bounded(last);
  // On a chip that may answer without hearing, a write counts once a byte reads
  // otherwise before it than after it, as in the byte-at-a-time write: the first byte
  // of each page to write is read so, by byte reads, until one shows it. The pages
  // before that are read again then, byte by byte, as the chip may not have heard
  // them.
  bool proved = !NeedsWriteProof();
  bool wrote = false;
  std::vector<std::int32_t> pending;
  const std::int32_t size = device_->pageBytes;
  for (std::int32_t start = 0; start <= last && !Ended(); start += size) {
    const std::int32_t end = std::min(start + size - 1, last);
    if (PageIsBlank(image_.Image, start, end)) continue;
    std::int32_t witness = start;
    while (ImageByte(image_.Image, witness) == 0xFF) ++witness;
    SetAddressCounter(image_.Counter, witness);
    const auto before = proved ? std::nullopt : ReadBeforeWrite(InstructionSet::FourByte);
    if (halt_) break;
    wrote = true;
    if (!WritePage(start, end, !VerifyFollowsWrite || !proved)) break;
    if (!proved) {
      SetAddressCounter(image_.Counter, witness);
      const auto after = ReadCounterByte(InstructionSet::FourByte);
      if (!after) break;
      if (!before || *before == *after || *after != ImageByte(image_.Image, witness)) {
        pending.push_back(start);
      } else {
        proved = writeShown_ = true;
        // Read again byte by byte: the chip hears now.
        const auto byteNow = [&](std::int32_t n) {
          SetAddressCounter(image_.Counter, n);
          return ReadCounterByte(InstructionSet::FourByte);
        };
        for (const std::int32_t other : std::exchange(pending, {})) {
          if (!RewriteMismatches(other, std::min(other + size - 1, last), byteNow)) break;
        }
        if (halt_) break;
      }
    }
    window_.ShowProgress(end, last);
    window_.PumpMessages();
  }
  writeUnproved_ = !halt_ && wrote && !proved;
  return true;
}

bool DeviceOps::AgreeWithSecondRead(std::int32_t start, std::vector<std::vector<std::uint8_t>>& pages) {
  if (!contactDoubted_) return true;
  const auto again = ReadPages(start, static_cast<std::int32_t>(pages.size()));
  if (again.size() != pages.size()) return false;
  for (std::size_t p = 0; p < pages.size(); ++p) {
    for (std::size_t k = 0; k < pages[p].size(); ++k) {
      if (pages[p][k] == again[p][k]) continue;
      const auto n = start + static_cast<std::int32_t>(p * pages[p].size() + k);
      const auto agreed = ReadByteAgreed(n);
      if (!agreed) return false;
      pages[p][k] = *agreed;
    }
  }
  return true;
}

bool DeviceOps::WalkPages(std::int32_t last,
                          const std::function<Step(std::int32_t, std::uint8_t)>& handle) {
  ResetAddressCounter(image_.Counter);
  if (!Enable4()) return true;
  if (!PagesAnswer()) return halt_.has_value();
  last = Bounded(last);
  const std::int32_t size = device_->pageBytes;
  // Where the engine packs many instructions into one exchange, as many pages go out
  // in one as the reads of a byte walk would.
  const auto perExchange =
      std::max<std::int32_t>(1, static_cast<std::int32_t>(link_.ReadAhead()) * 4 / (size + 3));
  std::vector<std::vector<std::uint8_t>> pages;
  std::size_t next = 0;
  for (std::int32_t start = 0; start <= last; start += size) {
    if (Ended()) return true;
    if (next == pages.size()) {
      const std::int32_t left = (last - start) / size + 1;
      pages = ReadPages(start, std::min(perExchange, left));
      next = 0;
      if (pages.empty() || !AgreeWithSecondRead(start, pages)) return true;
    }
    const std::vector<std::uint8_t>& page = pages[next++];
    const std::int32_t end = std::min(start + size - 1, last);
    for (std::int32_t n = start; n <= end; ++n) {
      const Step step = handle(n, page[static_cast<std::size_t>(n - start)]);
      if (halt_ || step != Step::Next) return true;
    }
    window_.ShowProgress(end, last);
  }
  return true;
}

}  // namespace vql
