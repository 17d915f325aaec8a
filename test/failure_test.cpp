// Bags that cannot be opened or read, long paths and interrupts.
#include "tool_runner.h"

#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <functional>

namespace {

void writeImuBag(const std::string &path, rosbag::compression::CompressionType compression,
                 int messages, uint32_t chunkThreshold = 4096)
{
  writeBag(
      path, compression,
      [&](rosbag::Bag &bag) {
        for (int i = 0; i < messages; ++i) {
          sensor_msgs::Imu imu;
          imu.header.stamp = ros::Time(1700000000 + i / 200, (i % 200) * 5000000);
          imu.orientation.w = 1;
          imu.linear_acceleration.z = 9.80665 + i * 1e-4;
          bag.write("/imu/data", imu.header.stamp, imu);
        }
      },
      chunkThreshold);
}

std::string openFailure(const std::string &path, const std::string &reason)
{
  return " Bag file open failed, " + path + ", msg = " + reason + "\n";
}

TEST(OpenFailure, FilesThatAreNoBags)
{
  TempDir dir;
  std::string missing = dir.path("missing.bag");
  ToolRun run = runTarnwick({missing});
  EXPECT_EQ(run.out, openFailure(missing, "Error opening file: " + missing));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 254);

  std::string text = dir.path("notes.txt");
  writeFile(text, "not a bag at all\n");
  run = runTarnwick({text});
  EXPECT_EQ(run.out, openFailure(text, "Error reading version line"));
  EXPECT_EQ(run.status, 254);

  std::string empty = dir.path("empty.bag");
  writeFile(empty, "");
  run = runTarnwick({empty});
  EXPECT_EQ(run.out, openFailure(empty, "Error reading version line"));
  EXPECT_EQ(run.status, 254);
}

TEST(OpenFailure, TruncatedBag)
{
  TempDir dir;
  std::string whole = dir.path("whole.bag"), cut = dir.path("cut.bag");
  writeImuBag(whole, rosbag::compression::LZ4, 1000);
  std::string bytes = readFile(whole);
  // A recorder killed mid-write leaves no index at the end of the file.
  writeFile(cut, bytes.substr(0, bytes.size() / 2));

  ToolRun run = runTarnwick({cut});
  EXPECT_EQ(run.out, openFailure(cut, "Error reading from file: wanted 4 bytes, read 0 bytes"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 254);
}

// Writes a bag of 2,000 IMU samples in some 30 chunks, damages it, and checks
// that the listing stops at the damage: whole lines of the intact listing up
// to there, then one line on stderr and status 253.
void expectListingUpToDamage(rosbag::compression::CompressionType compression,
                             const std::function<void(std::string &bytes)> &damage,
                             const std::string &reason)
{
  TempDir dir;
  std::string bagPath = dir.path("damaged.bag");
  writeImuBag(bagPath, compression, 2000);
  std::string intact = runTarnwick({bagPath}).out;
  std::string bytes = readFile(bagPath);
  ASSERT_GT(bagRecords(bytes, opChunk).size(), 20u);
  damage(bytes);
  writeFile(bagPath, bytes);

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(run.err, " Bag file read failed, " + bagPath + ", msg = " + reason + "\n");
  EXPECT_EQ(run.status, 253);
  EXPECT_LT(run.out.size(), intact.size() / 4);
  EXPECT_EQ(run.out, intact.substr(0, run.out.size()));
  if (!run.out.empty()) {
    EXPECT_EQ(run.out.back(), '\n');
  }
}

const rosbag::compression::CompressionType everyCompression[] = {
    rosbag::compression::Uncompressed, rosbag::compression::BZ2, rosbag::compression::LZ4};

const std::string outsideBuffers =
    "the bag library read outside its buffers (SIGSEGV): damaged bag";

TEST(ReadFailure, DamagedChunkKeepsLinesBeforeIt)
{
  auto overwriteFifthChunk = [](std::string &bytes) {
    BagRecord chunk = bagRecords(bytes, opChunk)[4];
    bytes.replace(chunk.dataAt + chunk.dataSize / 4, chunk.dataSize / 2, chunk.dataSize / 2,
                  '\xff');
  };
  expectListingUpToDamage(rosbag::compression::LZ4, overwriteFifthChunk,
                          "ROSLZ4_OUTPUT_SMALL: output buffer is too small");
  expectListingUpToDamage(rosbag::compression::BZ2, overwriteFifthChunk,
                          "data integrity error was detected in the compressed data");
}

// The bag library dies by SIGSEGV on these: it trusts the offsets of its
// index and the lengths in record headers.
TEST(ReadFailure, LibraryFaultsOnDamagedIndex)
{
  auto offsetBeyondItsChunk = [](std::string &bytes) {
    BagRecord index = bagRecords(bytes, opIndexData)[4];
    patchUint32(bytes, index.dataAt + 8, 0x7ffffff0);  // entry 0: sec, nsec, offset
  };
  auto headerOneByteShort = [](std::string &bytes) {
    BagRecord index = bagRecords(bytes, opIndexData)[4];
    patchUint32(bytes, index.headerSizeAt, index.dataSizeAt - index.headerSizeAt - 4 - 1);
  };
  for (auto compression : everyCompression) {
    expectListingUpToDamage(compression, offsetBeyondItsChunk, outsideBuffers);
    expectListingUpToDamage(compression, headerOneByteShort, outsideBuffers);
  }
}

TEST(OpenFailure, HeaderFieldLengthBeyondItsRecord)
{
  for (auto compression : everyCompression) {
    TempDir dir;
    std::string bagPath = dir.path("damaged.bag");
    writeImuBag(bagPath, compression, 200);
    std::string bytes = readFile(bagPath);
    // Under the library's limit of a million bytes for a header field.
    patchUint32(bytes, bagRecords(bytes, opIndexData)[1].fieldSizeAt.at("op"), 999999);
    writeFile(bagPath, bytes);

    ToolRun run = runTarnwick({bagPath});
    EXPECT_EQ(run.out, openFailure(bagPath, outsideBuffers));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 254);
  }
}

TEST(LongPath, HeldWhole)
{
  TempDir dir;
  std::string folder = dir.path(std::string(120, 'd'));
  mkdir(folder.c_str(), 0700);
  folder += "/" + std::string(120, 'e');
  mkdir(folder.c_str(), 0700);
  std::string bagPath = folder + "/recording.bag";
  ASSERT_GT(bagPath.size(), 255u);
  writeImuBag(bagPath, rosbag::compression::Uncompressed, 3);

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(
      run.out,
      "                   0      1700000000.0000000000  /imu/data             sensor_msgs/Imu      "
      "    1.000000     0.000000     0.000000     0.000000     0.000000     0.000000     0.000000 "
      "    0.000000     0.000000     9.806650\n"
      "                   1      1700000000.0050001144  /imu/data             sensor_msgs/Imu      "
      "    1.000000     0.000000     0.000000     0.000000     0.000000     0.000000     0.000000 "
      "    0.000000     0.000000     9.806750\n"
      "                   2      1700000000.0099999905  /imu/data             sensor_msgs/Imu      "
      "    1.000000     0.000000     0.000000     0.000000     0.000000     0.000000     0.000000 "
      "    0.000000     0.000000     9.806850\n");
  EXPECT_EQ(run.status, 0);

  std::string missing = folder + "/" + std::string(200, 'm') + ".bag";
  run = runTarnwick({missing});
  EXPECT_EQ(run.out, openFailure(missing, "Error opening file: " + missing));
  EXPECT_EQ(run.status, 254);
}

// The listing is read slowly through a pipe, so the tool is still busy (often
// blocked in a write) when the interrupt comes.
TEST(Interrupt, StopsOnLineBoundary)
{
  TempDir dir;
  std::string bagPath = dir.path("long.bag");
  writeImuBag(bagPath, rosbag::compression::Uncompressed, 60000, 768 * 1024);
  std::string intact = runTarnwick({bagPath}).out;

  for (size_t readBeforeStop : {size_t(1), size_t(100000), size_t(1000000)}) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    if (child == 0) {
      dup2(pipeEnds[1], STDOUT_FILENO);
      close(pipeEnds[0]);
      execl(TARNWICK_PATH, TARNWICK_PATH, bagPath.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(pipeEnds[1]);
    std::string out;
    char block[4096];
    ssize_t got = 1;
    while (out.size() < readBeforeStop && (got = read(pipeEnds[0], block, sizeof block)) > 0)
      out.append(block, got);
    kill(child, SIGINT);
    while ((got = read(pipeEnds[0], block, sizeof block)) > 0)
      out.append(block, got);
    close(pipeEnds[0]);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);

    ASSERT_TRUE(WIFEXITED(wstatus)) << "killed by signal " << WTERMSIG(wstatus);
    EXPECT_EQ(WEXITSTATUS(wstatus), 255);
    ASSERT_FALSE(out.empty());
    EXPECT_LT(out.size(), intact.size());
    EXPECT_EQ(out, intact.substr(0, out.size()));
    EXPECT_EQ(out.back(), '\n');
  }
}

}  // namespace
