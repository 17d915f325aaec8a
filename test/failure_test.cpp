// Bags that cannot be opened or read, long paths and interrupts.
#include "tool_runner.h"

#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <functional>
#include <sstream>

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

// An IMU bag whose bytes damage then changes.
std::string writeChangedImuBag(const TempDir &dir, rosbag::compression::CompressionType compression,
                               int messages, const std::function<void(std::string &)> &damage)
{
  std::string bagPath = dir.path("changed.bag");
  writeImuBag(bagPath, compression, messages);
  std::string bytes = readFile(bagPath);
  damage(bytes);
  writeFile(bagPath, bytes);
  return bagPath;
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

// Constructing the bag object runs the library's plugin loader, which throws
// when it cannot open its files: reported like any other open failure.
TEST(OpenFailure, TooFewFileDescriptors)
{
  TempDir dir;
  std::string bagPath = dir.path("imu.bag");
  writeImuBag(bagPath, rosbag::compression::Uncompressed, 3);
  ToolRun run = runTarnwick({bagPath}, [] {
    for (int fd = 3; fd < 64; ++fd)
      close(fd);
    struct rlimit few = {5, 5};
    setrlimit(RLIMIT_NOFILE, &few);
  });
  std::string start = openFailure(bagPath, "");
  EXPECT_EQ(run.out.substr(0, start.size() - 1), start.substr(0, start.size() - 1));
  EXPECT_EQ(splitLines(run.out).size(), 1u);
  EXPECT_EQ(run.err, "");
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
// to there (some lines at least, unless the damage is met before the first
// message), then one line on stderr and status 253.
void expectListingUpToDamage(rosbag::compression::CompressionType compression,
                             const std::function<void(std::string &bytes)> &damage,
                             const std::string &reason, bool metAtOnce = false)
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
  if (metAtOnce) {
    EXPECT_EQ(run.out, "");
    return;
  }
  // The lines of the chunks before the damage, still in the tool's buffer
  // when the damage is met, must survive.
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out, intact.substr(0, run.out.size()));
  EXPECT_EQ(run.out.back(), '\n');
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

// The bag library trusts the offsets of its index and the lengths in record
// headers: an offset beyond its chunk, or the offsets of an index record read
// one byte early (its header one byte short), are found before the library
// reads there.
TEST(ReadFailure, DamagedIndexIsMetBeforeTheLibraryReadsByIt)
{
  auto offsetBeyondItsChunk = [](std::string &bytes) {
    BagRecord index = bagRecords(bytes, opIndexData)[4];
    patchUint32(bytes, index.dataAt + 8, 0x7ffffff0);  // entry 0: sec, nsec, offset
  };
  auto headerOneByteShort = [](std::string &bytes) {
    BagRecord index = bagRecords(bytes, opIndexData)[4];
    patchUint32(bytes, index.headerSizeAt, index.dataSizeAt - index.headerSizeAt - 4 - 1);
  };
  const std::string outsideItsChunk =
      "the bag's index puts a sensor_msgs/Imu message outside its chunk: damaged bag";
  for (auto compression : everyCompression) {
    expectListingUpToDamage(compression, offsetBeyondItsChunk, outsideItsChunk);
    expectListingUpToDamage(compression, headerOneByteShort, outsideItsChunk, true);
  }
}

// Out of memory while reading is a read failure like any other: the lines
// before it stay. With 200 MB of address space the library cannot unpack the
// cloud's chunk (and fails an assertion of its own); with 500 MB it unpacks
// it but the cloud cannot be decoded.
TEST(ReadFailure, OutOfMemoryKeepsTheLinesBeforeIt)
{
  TempDir dir;
  std::string bagPath = dir.path("big-cloud.bag");
  writeBag(
      bagPath, rosbag::compression::LZ4,
      [](rosbag::Bag &bag) {
        sensor_msgs::Imu imu;
        for (uint32_t i = 1; i <= 3; ++i)
          bag.write("/imu/data", ros::Time(i), imu);
        sensor_msgs::PointCloud2 cloud;
        cloud.data.assign(300 << 20, 0);
        bag.write("/lidar/points", ros::Time(4), cloud);
      },
      1);  // a chunk for every message
  std::string intact = runTarnwick({bagPath}).out;
  const struct {
    rlim_t addressSpace;
    std::string reason;
  } cases[] = {
      {200 << 20, "the bag library failed an assertion (SIGABRT): damaged bag or out of memory"},
      {500 << 20, "out of memory"},
  };
  for (const auto &test : cases) {
    ToolRun run = runTarnwick({bagPath}, [&] {
      struct rlimit limit = {test.addressSpace, test.addressSpace};
      setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(splitLines(run.out).size(), 3u) << test.reason;
    EXPECT_EQ(run.out, intact.substr(0, run.out.size()));
    EXPECT_EQ(run.err, " Bag file read failed, " + bagPath + ", msg = " + test.reason + "\n");
    EXPECT_EQ(run.status, 253);
  }
}

// Adds a field of size bytes (with its length) to the header of the last
// record of a chunk's contents: the record stays valid, its data further on.
void padLastRecordHeader(std::string &contents, uint32_t size)
{
  BagRecord last = chunkRecords(contents).back();
  uint32_t fieldSize = size - 4;
  std::string field(reinterpret_cast<const char *>(&fieldSize), 4);
  field += "pad=" + std::string(fieldSize - 4, 'p');
  contents.insert(last.dataSizeAt, field);
  patchUint32(contents, last.headerSizeAt, last.dataSizeAt - last.headerSizeAt - 4 + size);
}

// A damaged length inside a message's data, or in its record, is met in
// bounded time and memory, before anything is read by it: the decoder would
// size an array to it, and the library would read past its chunk and list
// what lies there. Strings are checked by the decoder itself before they are
// copied. The damage is done to the uncompressed chunk, in every compression.
TEST(ReadFailure, DamagedLengthInsideAMessage)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.frame_id = "cloudframe";
  sensor_msgs::PointField field;
  field.name = "fieldmark";
  cloud.fields = {field, field};
  cloud.data.assign(256, 'd');
  std::copy_n("DATAMARK", 8, cloud.data.begin());
  sensor_msgs::Imu imu;
  imu.header.frame_id = "imu-frame";
  sensor_msgs::TimeReference reference;
  reference.source = "gps-source";
  uint32_t cloudSize = ros::serialization::serializationLength(cloud);
  const std::string cloudDamage = "a length in a sensor_msgs/PointCloud2 message exceeds its " +
                                  std::to_string(cloudSize) + " bytes: damaged bag";
  auto writeCloud = [&](rosbag::Bag &bag) {
    bag.write("/lidar/points", ros::Time(2), cloud);
  };
  auto writeReference = [&](rosbag::Bag &bag) {
    bag.write("/gps/time_reference", ros::Time(2), reference);
  };
  const struct {
    const char *name;
    std::function<void(rosbag::Bag &)> writeDamaged;
    std::string marker;  // the bytes right after the damaged length
    // {how far before the marker a length is, its new value}
    std::vector<std::pair<int, uint32_t>> lengths;
    std::string reason;
    uint32_t headerPadding = 0;  // bytes of a field added to the last record's header first
  } cases[] = {
      {"cloud data", writeCloud, "DATAMARK", {{4, 0xdcd7030b}}, cloudDamage},
      {"cloud fields", writeCloud, "fieldmark", {{8, 0x02000000}}, cloudDamage},
      // An array that takes nearly all that the decode may, then bytes that
      // are not there: the bound must not outlive the decode.
      {"cloud data near the bound",
       writeCloud,
       "DATAMARK",
       {{4, 4 * cloudSize + (64 << 10) - 1000}},
       "Buffer Overrun"},
      {"cloud record",
       writeCloud,
       "cloudframe",
       {{20, 0xdcd7030b}},
       "a sensor_msgs/PointCloud2 message claims 3705078539 bytes, more than its chunk holds: "
       "damaged bag"},
      {"IMU frame",
       [&](rosbag::Bag &bag) { bag.write("/imu/data", ros::Time(2), imu); },
       "imu-frame",
       {{4, 0xdcd7030b}},
       "Buffer Overrun"},
      {"time reference source", writeReference, "gps-source", {{4, 0xdcd7030b}}, "Buffer Overrun"},
      // Record and source both claim what lies past the chunk.
      {"time reference record and source",
       writeReference,
       "gps-source",
       {{32, 4034}, {4, 4010}},
       "a sensor_msgs/TimeReference message claims 4034 bytes, more than its chunk holds: "
       "damaged bag"},
      // 30 bytes past: as far as the framing of a usual record header would
      // let a count of 16 bytes for it reach.
      {"time reference record and source, 30 bytes past",
       writeReference,
       "gps-source",
       {{32, 38 + 30}, {4, 10 + 30}},
       "a sensor_msgs/TimeReference message claims 68 bytes, more than its chunk holds: "
       "damaged bag"},
      // Into the next record, of a connection that the chunk's index lists
      // before this one.
      {"time reference record and source, 30 bytes into a later record",
       [&](rosbag::Bag &bag) {
         writeReference(bag);
         bag.write("/imu/before", ros::Time(3), imu);
       },
       "gps-source",
       {{32, 38 + 30}, {4, 10 + 30}},
       "a sensor_msgs/TimeReference message claims 68 bytes, more than its chunk holds: "
       "damaged bag"},
      {"time reference record and source, after a padded header",
       writeReference,
       "gps-source",
       {{32, 38 + 1500}, {4, 10 + 1500}},
       "a sensor_msgs/TimeReference message claims 1538 bytes, more than its chunk holds: "
       "damaged bag",
       1600},
  };
  for (const auto &test : cases) {
    for (auto compression : everyCompression) {
      TempDir dir;
      std::string bagPath = dir.path("damaged.bag");
      writeBag(bagPath, compression, [&](rosbag::Bag &bag) {
        bag.write("/imu/before", ros::Time(1), sensor_msgs::Imu());
        test.writeDamaged(bag);
      });
      std::string bytes = readFile(bagPath);
      damageChunks(bytes, [&](std::string &contents) {
        if (test.headerPadding > 0)
          padLastRecordHeader(contents, test.headerPadding);
        for (const auto &length : test.lengths)
          patchUint32(contents, contents.find(test.marker) - length.first, length.second);
      });
      writeFile(bagPath, bytes);

      ToolRun run = runTarnwick({bagPath});
      std::string name = test.name + std::string(", compression ") + std::to_string(compression);
      EXPECT_EQ(run.err, " Bag file read failed, " + bagPath + ", msg = " + test.reason + "\n")
          << name;
      EXPECT_EQ(run.status, 253) << name;
      EXPECT_EQ(splitLines(run.out).size(), 1u) << name;
      EXPECT_EQ(run.out.substr(0, 60),
                "                   0               0.0000000000  /imu/before")
          << name;
      EXPECT_LT(run.peakKiB, 100 << 10) << name;
    }
  }
}

// A chunk whose header claims more than its data holds: for bz2 the library
// sizes its buffer by the claim and leaves the rest of it as the chunk
// before left it, where a record that claims bytes past the true end would
// find them. An uncompressed chunk is as long as its data; lz4 refuses a
// chunk of another size itself.
TEST(ReadFailure, ChunkClaimingMoreThanItHolds)
{
  sensor_msgs::TimeReference stale, reference;
  stale.source = std::string(1500, 's');
  reference.source = "gps-source";
  const struct {
    rosbag::compression::CompressionType compression;
    std::string reason;
  } cases[] = {
      {rosbag::compression::BZ2,
       "a sensor_msgs/TimeReference message claims 938 bytes, more than its chunk holds: "
       "damaged bag"},
      {rosbag::compression::Uncompressed,
       "a sensor_msgs/TimeReference message claims 938 bytes, more than its chunk holds: "
       "damaged bag"},
      {rosbag::compression::LZ4, "Decompression size mismatch in LZ4 chunk"},
  };
  for (const auto &test : cases) {
    TempDir dir;
    std::string bagPath = dir.path("claiming.bag");
    writeBag(
        bagPath, test.compression,
        [&](rosbag::Bag &bag) {
          bag.write("/imu/data", ros::Time(1), sensor_msgs::Imu());
          bag.write("/gps/time_reference", ros::Time(2), stale);
          bag.write("/gps/time_reference", ros::Time(3), reference);
        },
        1);  // a chunk for every message
    std::vector<std::string> intact = splitLines(runTarnwick({bagPath}).out);
    std::string bytes = readFile(bagPath);
    damageChunks(bytes, [](std::string &contents) {
      size_t source = contents.find("gps-source");
      if (source != std::string::npos) {
        patchUint32(contents, source - 32, 38 + 900);
        patchUint32(contents, source - 4, 10 + 900);
      }
    });
    BagRecord last = bagRecords(bytes, opChunk).back();
    patchUint32(bytes, last.fieldValueAt.at("size"), 1000);
    writeFile(bagPath, bytes);

    ToolRun run = runTarnwick({bagPath});
    EXPECT_EQ(run.err, " Bag file read failed, " + bagPath + ", msg = " + test.reason + "\n")
        << test.compression;
    EXPECT_EQ(run.status, 253);
    EXPECT_EQ(run.out, intact.at(0) + "\n" + intact.at(1) + "\n");
  }
}

// The bag library leaves out messages stored at time 0, which Python's
// rosbag writes and reads: the others are listed, and the failure says how
// many are missing.
TEST(ReadFailure, MessagesAtTimeZeroAreReported)
{
  TempDir dir;
  // rosbag::Bag refuses time 0 itself: written at 1 ns, then set to 0.
  std::string bagPath =
      writeChangedImuBag(dir, rosbag::compression::LZ4, 3, [](std::string &bytes) {
        BagRecord index = bagRecords(bytes, opIndexData)[0];
        for (uint64_t entry : {0, 1})
          for (uint64_t field : {0, 4})
            patchUint32(bytes, index.dataAt + 12 * entry + field, 0);
      });

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(run.out.substr(0, 60), "                   0      1700000000.0099999905  /imu/data  ");
  EXPECT_EQ(splitLines(run.out).size(), 1u);
  EXPECT_EQ(run.err, " Bag file read failed, " + bagPath +
                         ", msg = 2 messages stored at time 0 not listed: the bag library does "
                         "not read them\n");
  EXPECT_EQ(run.status, 253);
}

TEST(OpenFailure, HeaderFieldLengthBeyondItsRecord)
{
  for (auto compression : everyCompression) {
    TempDir dir;
    std::string bagPath = writeChangedImuBag(dir, compression, 200, [](std::string &bytes) {
      // Under the library's limit of a million bytes for a header field.
      patchUint32(bytes, bagRecords(bytes, opIndexData)[1].fieldSizeAt.at("op"), 999999);
    });

    ToolRun run = runTarnwick({bagPath});
    EXPECT_EQ(run.out, openFailure(bagPath, outsideBuffers));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 254);
  }
}

// A chunk that the index lists twice, which the library would list twice.
TEST(ReadFailure, ChunkListedTwice)
{
  TempDir dir;
  std::string bagPath =
      writeChangedImuBag(dir, rosbag::compression::LZ4, 400, [](std::string &bytes) {
        BagRecord info = bagRecords(bytes, opChunkInfo)[0];
        bytes += bytes.substr(info.headerSizeAt, info.dataAt + info.dataSize - info.headerSizeAt);
        uint64_t countAt = bagRecords(bytes, opFileHeader)[0].fieldValueAt.at("chunk_count");
        patchUint32(bytes, countAt, bagRecords(bytes, opChunkInfo).size());
      });

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, " Bag file read failed, " + bagPath +
                         ", msg = the bag's index lists a chunk twice: damaged bag\n");
  EXPECT_EQ(run.status, 253);
}

// An encrypted bag with no GnuPG home to find its key in is refused before
// gpg runs: gpg would make ~/.gnupg and leave its agent running.
TEST(OpenFailure, EncryptedBagWithoutGnupgHome)
{
  TempDir dir;
  std::string home = dir.path("home");
  mkdir(home.c_str(), 0700);
  auto encrypted = [](std::string &bytes) {
    BagRecord header = bagRecords(bytes, opFileHeader)[0];
    std::string fields =
        bytes.substr(header.headerSizeAt + 4, header.dataSizeAt - header.headerSizeAt - 4);
    for (std::string field :
         {"encryptor=rosbag/AesCbcEncryptor", "gpg_key_user=nobody@example.com"}) {
      uint32_t size = field.size();
      fields += std::string(reinterpret_cast<const char *>(&size), 4) + field;
    }
    uint32_t fieldsSize = fields.size(),
             padding = header.dataAt + header.dataSize - header.headerSizeAt - 8 - fieldsSize;
    bytes.replace(header.headerSizeAt, header.dataAt + header.dataSize - header.headerSizeAt,
                  std::string(reinterpret_cast<const char *>(&fieldsSize), 4) + fields +
                      std::string(reinterpret_cast<const char *>(&padding), 4) +
                      std::string(padding, ' '));
  };
  std::string bagPath = writeChangedImuBag(dir, rosbag::compression::Uncompressed, 10, encrypted);

  ToolRun run = runTarnwick({bagPath}, [&] {
    setenv("HOME", home.c_str(), 1);
    unsetenv("GNUPGHOME");
  });
  EXPECT_EQ(run.out, openFailure(bagPath,
                                 "the bag is encrypted (rosbag/AesCbcEncryptor) and there "
                                 "is no GnuPG home with a key to decrypt it"));
  EXPECT_EQ(run.status, 254);
  EXPECT_NE(access((home + "/.gnupg").c_str(), F_OK), 0) << "gpg made its home";
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

// A bag whose listing (4 MB) is far larger than a pipe and the tool's buffer:
// 15,000 IMU lines, and among them, from byte 400,000 or so of the listing, a
// cloud's line of 1.25 MB.
struct LongBag {
  std::string path;
  std::string listing;  // as the tool lists it undisturbed
};

// Written once for all the tests that need it, and removed at exit.
const LongBag &longBag()
{
  static TempDir dir;
  static const LongBag bag = [] {
    std::string path = dir.path("long.bag");
    writeImuBag(path, rosbag::compression::Uncompressed, 15000, 768 * 1024);
    rosbag::Bag bag(path, rosbag::bagmode::Append);
    sensor_msgs::PointCloud2 cloud;
    sensor_msgs::PointField field;
    field.name = "fieldname";
    cloud.fields.assign(125000, field);
    bag.write("/lidar/points", ros::Time(1700000010), cloud);
    bag.close();
    return LongBag{path, runTarnwick({path}).out};
  }();
  return bag;
}

// The tool ended by exiting with status, not by a signal.
void expectExit(int wstatus, int status)
{
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == status) << "wait status " << wstatus;
}

// The processor time that a running child has used so far.
long cpuMilliseconds(pid_t child)
{
  std::string stat = readFile("/proc/" + std::to_string(child) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long userTicks = 0, systemTicks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      userTicks = std::stol(field);
    if (i == 15)
      systemTicks = std::stol(field);
  }
  return (userTicks + systemTicks) * 1000 / sysconf(_SC_CLK_TCK);
}

// Waits until the tool has filled the pipe that it writes into and is
// blocked in write(2) on it, as the kernel says: in its own code, not in the
// bag library's.
void waitUntilFull(pid_t child, int pipeEnd)
{
  int queued = 0;
  for (int waited = 0; waited < 10000 && queued < fcntl(pipeEnd, F_GETPIPE_SZ) - 4096;
       waited += 5) {
    usleep(5000);
    ioctl(pipeEnd, FIONREAD, &queued);
  }
  const std::string writingStdout = std::to_string(SYS_write) + " 0x1 ";
  std::string syscall = "/proc/" + std::to_string(child) + "/syscall";
  for (int waited = 0;
       waited < 10000 && readFile(syscall).compare(0, writingStdout.size(), writingStdout) != 0;
       waited += 5)
    usleep(5000);
}

// Sends SIGINT to child after a while, and returns its wait status.
int interruptAfter(pid_t child, useconds_t pause)
{
  usleep(pause);
  kill(child, SIGINT);
  return waitForExit(child);
}

void expectWholeLinesOf(const std::string &out, const std::string &intact)
{
  ASSERT_FALSE(out.empty());
  EXPECT_LT(out.size(), intact.size());
  EXPECT_EQ(out, intact.substr(0, out.size()));
  EXPECT_EQ(out.back(), '\n');
}

// The listing is read slowly through a pipe, so the tool is still busy (often
// blocked in a write) when the stop comes; from 1,000,000 bytes on it is in
// the middle of the cloud's long line, which must be finished. SIGTERM and
// SIGHUP end the tool by themselves once the lines are out.
TEST(Interrupt, StopsOnLineBoundary)
{
  const std::string &bagPath = longBag().path, &intact = longBag().listing;
  const struct {
    size_t readBeforeStop;
    int signal;
  } cases[] = {{1, SIGINT},       {100000, SIGINT},   {1000000, SIGINT},
               {1200000, SIGINT}, {1000000, SIGTERM}, {1000000, SIGHUP}};
  for (const auto &test : cases) {
    int fromTool;
    pid_t child = startTarnwick({bagPath}, fromTool);
    std::string out;
    char block[4096];
    ssize_t got = 1;
    while (out.size() < test.readBeforeStop && (got = read(fromTool, block, sizeof block)) > 0)
      out.append(block, got);
    kill(child, test.signal);
    out += readToEnd(fromTool);
    int wstatus = waitForExit(child);
    if (test.signal == SIGINT)
      expectExit(wstatus, 255);
    else
      EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == test.signal) << wstatus;
    expectWholeLinesOf(out, intact);
  }
}

// A reader that has stopped reading must not keep the tool alive after a
// SIGINT; what it gets is still whole lines.
TEST(Interrupt, StalledReaderDoesNotHoldTheTool)
{
  const std::string &bagPath = longBag().path, &intact = longBag().listing;
  int fromTool;
  pid_t child = startTarnwick({bagPath}, fromTool);
  waitUntilFull(child, fromTool);
  expectExit(interruptAfter(child, 0), 255);
  expectWholeLinesOf(readToEnd(fromTool), intact);
}

// imuLines IMU samples, then nine clouds of 24 MB in BZ2 chunks of their own,
// which take seconds to unpack.
void writeSlowBag(const std::string &path, uint32_t imuLines)
{
  writeBag(path, rosbag::compression::BZ2, [&](rosbag::Bag &bag) {
    sensor_msgs::Imu imu;
    for (uint32_t i = 1; i <= imuLines; ++i)
      bag.write("/imu/data", ros::Time(i), imu);
    bag.setChunkThreshold(1);  // the IMU lines come before any cloud is unpacked
    for (uint32_t i = 1; i <= 9; ++i) {
      sensor_msgs::PointCloud2 big;
      big.data.assign(24 << 20, 0);
      bag.write("/lidar/points", ros::Time(imuLines + i), big);
    }
  });
}

// Waits until the tool has used some processor time since it last wrote: it
// is then among the clouds. The processor time, not the clock: a loaded
// machine must not make the signal come too early. Reads what the tool writes
// meanwhile, if fromTool is a pipe.
std::string waitUntilAmongTheClouds(pid_t child, int fromTool = -1)
{
  std::string out;
  long busySince = cpuMilliseconds(child);
  for (int waited = 0; waited < 20000 && cpuMilliseconds(child) - busySince < 150; waited += 5) {
    pollfd ready = {fromTool, POLLIN, 0};
    char block[4096];
    ssize_t got;
    if (poll(&ready, 1, 5) == 1 && (got = read(fromTool, block, sizeof block)) > 0) {
      out.append(block, got);
      busySince = cpuMilliseconds(child);
    }
  }
  return out;
}

// Lines still in the tool's buffer when the interrupt comes reach a file.
TEST(Interrupt, BufferedLinesReachAFile)
{
  TempDir dir;
  std::string bagPath = dir.path("slow.bag"), outPath = dir.path("listing.txt");
  writeSlowBag(bagPath, 3);
  std::string intact = runTarnwick({bagPath}).out;
  int fromTool;
  pid_t child = startTarnwick({bagPath}, fromTool, [&] {
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
  });
  close(fromTool);
  waitUntilAmongTheClouds(child);
  expectExit(interruptAfter(child, 0), 255);
  std::string out = readFile(outPath);
  EXPECT_GE(splitLines(out).size(), 3u);
  expectWholeLinesOf(out, intact);
}

// A fault contained inside the bag library (sent here while it unpacks the
// clouds, as a damaged chunk would raise it): every line listed before it
// reaches a reader that is slow but reading, through a pipe too small for
// the lines the tool holds.
TEST(Interrupt, ContainedFaultWaitsForASlowReader)
{
  TempDir dir;
  std::string bagPath = dir.path("slow.bag");
  writeSlowBag(bagPath, 3000);
  std::string full = runTarnwick({bagPath}).out;
  size_t imuBytes = full.rfind('\n', full.find("/lidar/points")) + 1;
  int fromTool;
  pid_t child = startTarnwick({bagPath}, fromTool);
  fcntl(fromTool, F_SETPIPE_SZ, 4096);
  std::string out = waitUntilAmongTheClouds(child, fromTool);
  kill(child, SIGSEGV);
  char block[1024];
  for (ssize_t got; (got = read(fromTool, block, sizeof block)) > 0; usleep(2000))
    out.append(block, got);
  close(fromTool);
  expectExit(waitForExit(child), 253);
  // How many clouds were listed before the fault depends on the machine's
  // speed; what holds whatever it is: whole lines of the full listing, the
  // IMU lines (all listed before the clouds are unpacked) among them.
  EXPECT_GE(out.size(), imuBytes);
  EXPECT_TRUE(full.compare(0, out.size(), out) == 0) << out.size() << " bytes, not a prefix";
  EXPECT_TRUE(out.empty() || out.back() == '\n');
}

// A stop cuts short the wait for a reader after a contained fault, whether it
// comes with the fault (both held while the tool is stopped) or at any time
// after: nothing reads here, and the wait would last a minute. The run has
// failed, and says so.
TEST(Interrupt, StopCutsTheWaitAfterAContainedFaultShort)
{
  TempDir dir;
  std::string bagPath = dir.path("slow.bag"), errPath = dir.path("stderr");
  writeSlowBag(bagPath, 100);  // more lines than the pipe takes, fewer than the tool holds
  std::string full = runTarnwick({bagPath}).out;
  size_t imuBytes = full.rfind('\n', full.find("/lidar/points")) + 1;
  for (bool withTheFault : {true, false}) {
    int fromTool;
    pid_t child = startTarnwick({bagPath}, fromTool, [&] {
      dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    });
    fcntl(fromTool, F_SETPIPE_SZ, 4096);
    waitUntilAmongTheClouds(child, fromTool);
    if (withTheFault)
      kill(child, SIGSTOP);
    kill(child, SIGSEGV);
    kill(child, SIGTERM);
    kill(child, SIGCONT);
    expectExit(waitForExit(child), 253);
    std::string out = readToEnd(fromTool);
    EXPECT_LT(out.size(), imuBytes) << "the pipe took every line: nothing was waited for";
    EXPECT_TRUE(full.compare(0, out.size(), out) == 0) << out.size() << " bytes, not a prefix";
    if (withTheFault) {
      EXPECT_TRUE(out.empty() || out.back() == '\n');
    }
    EXPECT_NE(readFile(errPath).find("msg = the bag library read outside its buffers (SIGSEGV)"),
              std::string::npos);
  }
}

// A script's background job starts with SIGINT ignored, and keeps it so.
TEST(Interrupt, IgnoredOnEntryStaysIgnored)
{
  const std::string &bagPath = longBag().path, &intact = longBag().listing;
  int fromTool;
  pid_t child = startTarnwick({bagPath}, fromTool, [] { signal(SIGINT, SIG_IGN); });
  char block[4096];
  ssize_t got = read(fromTool, block, sizeof block);
  ASSERT_GT(got, 0);
  kill(child, SIGINT);
  std::string out = std::string(block, got) + readToEnd(fromTool);
  expectExit(waitForExit(child), 0);
  EXPECT_EQ(out.size(), intact.size());
}

// Faults are contained only while the bag library runs: one that comes while
// the tool writes (here sent from outside) is not reported as a damaged bag.
TEST(Interrupt, FaultOutsideTheBagLibraryIsNotContained)
{
  const std::string &bagPath = longBag().path;
  int fromTool;
  pid_t child = startTarnwick({bagPath}, fromTool, [] {
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
  });
  waitUntilFull(child, fromTool);
  kill(child, SIGSEGV);
  int wstatus = waitForExit(child);
  close(fromTool);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGSEGV) << "wait status " << wstatus;
}

// stdout as the tool finds it, and what it must report.
struct OutputCase {
  const char *name;
  std::function<void()> setup;
  std::vector<std::string> args;  // {bag} when empty
  int status;
  std::string reason;  // after " Listing write failed, BAG, msg = "
};

void toDevFull()
{
  dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
}

TEST(Output, WriteFailuresAreReported)
{
  TempDir dir;
  const std::string &bagPath = longBag().path;
  const OutputCase cases[] = {
      {"full device", toDevFull, {}, 252, "No space left on device"},
      {"closed stdout", [] { close(STDOUT_FILENO); }, {}, 252, "Bad file descriptor"},
      {"file size limit",
       [] {
         struct rlimit small = {10000, 10000};
         setrlimit(RLIMIT_FSIZE, &small);
       },
       {},
       252,
       "File too large"},
      {"reader gone, SIGPIPE ignored",
       [] {
         int ends[2];
         if (pipe(ends) == 0) {
           close(ends[0]);
           dup2(ends[1], STDOUT_FILENO);
         }
         signal(SIGPIPE, SIG_IGN);
       },
       {},
       252,
       "Broken pipe"},
      // These lines keep the status of what they report.
      {"usage line to a full device", toDevFull, {"__ns:=/a"}, 255, ""},
      {"open failure to a full device", toDevFull, {dir.path("missing.bag")}, 254, ""},
  };
  for (const OutputCase &test : cases) {
    ToolRun run =
        runTarnwick(test.args.empty() ? std::vector<std::string>{bagPath} : test.args, test.setup);
    EXPECT_EQ(run.status, test.status) << test.name;
    EXPECT_EQ(run.err, test.reason.empty()
                           ? ""
                           : " Listing write failed, " + bagPath + ", msg = " + test.reason + "\n")
        << test.name;
  }
}

// `tarnwick BAG | head -1` ends by SIGPIPE at the first write after head
// has gone, not after the whole walk.
TEST(Output, ReaderThatLeavesEndsTheToolBySigpipe)
{
  const std::string &bagPath = longBag().path;
  int fromTool;
  // As a shell starts it, whatever the test runner hands on: SIGPIPE at its
  // default action and not blocked.
  pid_t child = startTarnwick({bagPath}, fromTool, [] {
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &pipeSignal, nullptr);
  });
  char first;
  ASSERT_EQ(read(fromTool, &first, 1), 1);
  close(fromTool);
  int wstatus = waitForExit(child);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGPIPE) << "wait status " << wstatus;
}

// A parent (Node.js, Python) may hand over a non-blocking pipe: every byte
// must still arrive, in order, however slowly it is read.
TEST(Output, NonBlockingPipeGetsEveryByte)
{
  const std::string &bagPath = longBag().path, &intact = longBag().listing;
  int fromTool;
  pid_t child = startTarnwick({bagPath}, fromTool, [] {
    fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
  });
  std::string out;
  char block[65536];
  for (ssize_t got, reads = 0; (got = read(fromTool, block, sizeof block)) > 0; ++reads) {
    out.append(block, got);
    if (reads < 20)
      usleep(20000);  // the tool meets a full pipe, again and again
  }
  close(fromTool);
  expectExit(waitForExit(child), 0);
  EXPECT_EQ(out.size(), intact.size());
  EXPECT_TRUE(out == intact);
}

}  // namespace
