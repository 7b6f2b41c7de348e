#include "image/char_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace vql {
namespace {

// Everything a stream hands out before it reports its end.
std::string Drain(CharStream& in) {
  std::string got;
  while (!in.AtEnd()) got += in.Get();
  return got;
}

TEST(CharStream, EndsAtThePhysicalEndOrTheFirstCtrlZWhateverTheChunkSize) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"ab\x1A" "cd", "ab"},
      {"\x1A" "abc", ""},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"line\r\nline\n", "line\r\nline\n"},
  };
  for (std::size_t chunk : {1, 2, 3, 5, 4096}) {
    for (const auto& [data, expected] : cases) {
      MemoryCharStream in(data, chunk);
      EXPECT_EQ(Drain(in), expected) << "chunk " << chunk;
      // Reading on at the end gives Ctrl-Z and stays at the end.
      EXPECT_EQ(in.Get(), kEndOfFileChar);
      EXPECT_EQ(in.Get(), kEndOfFileChar);
      EXPECT_TRUE(in.AtEnd());
    }
  }
}

TEST(FileCharStream, ReadsTheFileThroughAnyBufferSize) {
  testing::TempDir dir;
  std::string content;
  for (int i = 0; i < 1000; ++i) content += static_cast<char>(i % 26 + 'a');
  const std::string path = dir.Write("f.txt", content);
  for (std::size_t size : {1, 7, 999, 1000, 1001, 65536}) {
    FileCharStream in(path, size);
    EXPECT_EQ(Drain(in), content) << size;
  }
}

TEST(FileCharStream, ErrorsNameTheFileAndTheReason) {
  testing::TempDir dir;
  const std::string missing = (dir.Path() / "none.hex").string();
  try {
    FileCharStream in(missing);
    FAIL() << "opened a missing file";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open \"" + missing + "\": No such file or directory");
  }
  // A directory opens, but cannot be read.
  FileCharStream in(dir.Path().string());
  try {
    in.AtEnd();
    FAIL() << "read a directory";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot read \"" + dir.Path().string() + "\": Is a directory");
  }
}

}  // namespace
}  // namespace vql
