#include "tools/codec/codec_commands.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/test_paths.h"
#include "tests/tools/codec_test_frames.h"
#include "tools/codec/block_io.h"
#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan {
namespace {

using test::Bytes;
using test::Capture;

// The frames of `blocks` as PackCommand writes them.
Capture PackAll(const std::vector<Bytes>& blocks) {
  Capture capture;
  for (const Bytes& raw : blocks) {
    const CommandResult packed = PackCommand(test::CodecTestWords(), raw);
    EXPECT_TRUE(packed.ok) << packed.error;
    capture.Add(packed.output, raw);
  }
  return capture;
}

std::vector<Bytes> SampleBlocks() {
  return {test::ToBytes("x"), test::ToBytes(test::ResponseText(kMaxRawBlock, 1)),
          test::ToBytes(test::ResponseText(700, 2)), Bytes(kMaxRawBlock, 0xAB)};
}

TEST(CodecCommands, PackThenUnpackGivesTheBlocksBack) {
  const Capture capture = PackAll(SampleBlocks());
  const CommandResult unpacked = UnpackCommand(test::CodecTestWords(), capture.bytes);
  ASSERT_TRUE(unpacked.ok) << unpacked.error;
  EXPECT_EQ(unpacked.output, capture.unpacked);
  // A frame of a compressible block is much smaller than the block.
  EXPECT_LT(capture.starts[2] - capture.starts[1], kMaxRawBlock / 4);
}

TEST(CodecCommands, UnpackReportsTheFirstBadFrame) {
  const WordList& words = test::CodecTestWords();
  const Capture good = PackAll({test::ToBytes("first block"), test::ToBytes(test::ResponseText(2000, 3))});

  // Empty input: nothing to do, nothing out.
  const CommandResult empty = UnpackCommand(words, {});
  EXPECT_TRUE(empty.ok);
  EXPECT_TRUE(empty.output.empty());

  Bytes truncated = good.bytes;
  truncated.pop_back();
  EXPECT_EQ(UnpackCommand(words, truncated).error,
            "frame 1 at byte " + std::to_string(good.starts[1]) + " is truncated (" +
                std::to_string(good.bytes.size() - 1 - good.starts[1]) + " bytes left)");

  // A token for word 9 of a list of 4.
  Bytes bad_word = good.bytes;
  const Bytes token = MakeFrame(tfWords, test::ToBytes("ab|\x09" "cd"));
  bad_word.insert(bad_word.begin() + static_cast<long>(good.starts[1]), token.begin(), token.end());
  const CommandResult word_result = UnpackCommand(words, bad_word);
  EXPECT_FALSE(word_result.ok);
  EXPECT_EQ(word_result.error,
            "frame 1 at byte " + std::to_string(good.starts[1]) + " names a word past the end of the list");
  EXPECT_EQ(word_result.output, test::ToBytes("first block"));  // what came before the bad frame

  Bytes damaged = good.bytes;
  damaged[good.starts[1] + (good.starts[2] - good.starts[1]) / 2] ^= 0x55;
  EXPECT_EQ(UnpackCommand(words, damaged).error,
            "frame 1 at byte " + std::to_string(good.starts[1]) + " does not unpack (damaged deflate data)");
}

// A temporary file holding `bytes`, open for reading from its start.
class TempFile {
 public:
  explicit TempFile(const Bytes& bytes = {}) : file_(std::tmpfile()) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
    std::rewind(file_);
  }
  ~TempFile() { std::fclose(file_); }
  int fd() const { return fileno(file_); }
  Bytes Contents() const {
    Bytes bytes(static_cast<std::size_t>(lseek(fd(), 0, SEEK_END)));
    EXPECT_EQ(pread(fd(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    return bytes;
  }

 private:
  std::FILE* file_;
};

TEST(CodecStreams, PackReadsItsInputToTheEnd) {
  const WordList& words = test::CodecTestWords();
  const Bytes block = test::ToBytes(test::ResponseText(30000, 4));
  TempFile raw(block);
  TempFile frame;
  ASSERT_TRUE(PackStream(words, raw.fd(), frame.fd()).ok);
  EXPECT_EQ(frame.Contents(), PackCommand(words, block).output);

  TempFile too_long(Bytes(200000, 'z'));
  TempFile unused;
  EXPECT_EQ(PackStream(words, too_long.fd(), unused.fd()).error, "pack takes one block of 1 to 64511 bytes; got 200000");
  EXPECT_TRUE(unused.Contents().empty());
}

TEST(CodecStreams, UnpackReadsAPipeAsItFills) {
  // The writer sends odd-sized pieces, so reads end inside frames.
  const Capture capture = test::LargeCapture(9);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  std::thread writer([&] {
    std::size_t at = 0;
    for (std::size_t piece = 1; at < capture.bytes.size(); piece = piece * 3 % 70001 + 1) {
      const std::size_t n = std::min(piece, capture.bytes.size() - at);
      if (!WriteAll(pipe_fds[1], {capture.bytes.data() + at, n})) break;
      at += n;
    }
    close(pipe_fds[1]);
  });
  TempFile out;
  const CommandResult result = UnpackStream(test::CodecTestWords(), pipe_fds[0], out.fd());
  writer.join();
  close(pipe_fds[0]);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(out.Contents(), capture.unpacked);
}

TEST(CodecStreams, UnpackWritesThePayloadsBeforeABadFrame) {
  Capture capture = test::LargeCapture(3);
  const Bytes bad = MakeFrame(tfWords, test::ToBytes("|\xF0"));
  capture.bytes.insert(capture.bytes.end(), bad.begin(), bad.end());
  TempFile frames(capture.bytes);
  TempFile out;
  const CommandResult result = UnpackStream(test::CodecTestWords(), frames.fd(), out.fd());
  EXPECT_EQ(result.error, "frame 3 at byte " + std::to_string(capture.starts[3]) +
                              " names a word past the end of the list");
  EXPECT_EQ(out.Contents(), capture.unpacked);
  EXPECT_EQ(UnpackStream(test::CodecTestWords(), -1, out.fd()).error, "cannot read standard input");
}

// The tool itself: exit status and standard error of each outcome.
class CodecTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("korvan-codec-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    Write("words.lvk", SerializeWordListFile(test::CodecTestWords()));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir_ / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                       static_cast<std::streamsize>(bytes.size()));
  }
  Bytes Read(const std::string& name) { return test::ReadFileBytes(dir_ / name); }
  std::string Error() {
    const Bytes e = Read("err");
    return {e.begin(), e.end()};
  }
  // Runs korvan-codec ARGS < in > out 2> err; returns the exit status.
  int RunTool(const std::string& args, const std::string& in) {
    const std::string command = "cd '" + dir_.string() + "' && '" + (test::BinDir() / "korvan-codec").string() + "' " +
                                args + " < " + in + " > out 2> err";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::filesystem::path dir_;
};

TEST_F(CodecTool, PacksAndUnpacksThroughStandardStreams) {
  const Bytes block = test::ToBytes(test::ResponseText(5000, 6));
  Write("block", block);
  ASSERT_EQ(RunTool("pack --words words.lvk", "block"), 0) << Error();
  const Bytes frame = Read("out");
  EXPECT_EQ(frame, PackCommand(test::CodecTestWords(), block).output);
  Bytes two = frame;
  two.insert(two.end(), frame.begin(), frame.end());
  Write("frames", two);
  ASSERT_EQ(RunTool("unpack --words words.lvk", "frames"), 0) << Error();
  Bytes twice = block;
  twice.insert(twice.end(), block.begin(), block.end());
  EXPECT_EQ(Read("out"), twice);
  EXPECT_TRUE(Error().empty());
}

TEST_F(CodecTool, FailsWithAMessageAndItsStatus) {
  Write("empty", {});
  EXPECT_EQ(RunTool("unpack --words words.lvk", "empty"), 0);
  EXPECT_TRUE(Read("out").empty());
  EXPECT_EQ(RunTool("pack --words words.lvk", "empty"), 1);
  EXPECT_EQ(Error(), "korvan-codec: pack takes one block of 1 to 64511 bytes; got 0\n");
  Write("cut", {0x00, 0x10, 0x00, 'a'});
  EXPECT_EQ(RunTool("unpack --words words.lvk", "cut"), 1);
  EXPECT_EQ(Error(), "korvan-codec: frame 0 at byte 0 is truncated (4 bytes left)\n");
  EXPECT_EQ(RunTool("unpack", "empty"), 2);
  EXPECT_EQ(Error().rfind("korvan-codec: unpack needs --words FILE\nusage:", 0), 0U);
  EXPECT_EQ(RunTool("unpack --words missing.lvk", "empty"), 1);
}

}  // namespace
}  // namespace korvan
