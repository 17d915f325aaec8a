// Shared by the tests: temporary bags written with rosbag::Bag, and runs of
// the real tarnwick executable with its output and exit status.
#pragma once

#include <ros/time.h>
#include <rosbag/bag.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 if the tool died by a signal
  int signal = 0;
  bool hung = false;  // killed after 30 s
  long peakKiB = 0;   // the child's peak resident memory
};

// Runs in the child just before tarnwick is executed: environment, working
// folder, limits, signal dispositions.
using ChildSetup = std::function<void()>;

// Runs tarnwick with exactly these arguments after the program name.
ToolRun runTarnwick(const std::vector<std::string> &args, const ChildSetup &setup = nullptr);

// Runs tarnwick with this whole argument vector, program name included.
ToolRun runTarnwickArgv(const std::vector<std::string> &argv, const ChildSetup &setup = nullptr);

// Starts tarnwick with its stdout into a pipe, whose read end it returns in
// readEnd; stderr goes to /dev/null.
pid_t startTarnwick(const std::vector<std::string> &args, int &readEnd,
                    const ChildSetup &setup = nullptr);

// Waits for child to end, at most 30 s (then kills it and returns -1);
// returns its wait status.
int waitForExit(pid_t child);

// Everything left in fd until its end; closes fd.
std::string readToEnd(int fd);

// A folder under /tmp, removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string path(const std::string &name) const;

 private:
  std::string root;
};

// Writes a bag at path; fill adds the messages.
void writeBag(const std::string &path, rosbag::compression::CompressionType compression,
              const std::function<void(rosbag::Bag &)> &fill, uint32_t chunkThreshold = 768 * 1024);

// Writes msg under a connection that claims the given type name and MD5 sum,
// from the given publisher.
template <class T>
void writeAs(rosbag::Bag &bag, const std::string &topic, const ros::Time &time, const T &msg,
             const std::string &type, const std::string &md5,
             const std::string &publisher = "/recorder")
{
  auto header = boost::make_shared<ros::M_string>();
  (*header)["type"] = type;
  (*header)["md5sum"] = md5;
  (*header)["message_definition"] = ros::message_traits::definition(msg);
  (*header)["callerid"] = publisher;
  bag.write(topic, time, msg, header);
}

// One record of a bag file: a header of name=value fields and a data block,
// each behind a 32-bit length. Offsets are into the file.
struct BagRecord {
  uint8_t op;
  uint64_t headerSizeAt;                         // the record's first byte
  std::map<std::string, uint64_t> fieldSizeAt;   // by field name
  std::map<std::string, uint64_t> fieldValueAt;  // by field name
  uint64_t dataSizeAt;
  uint64_t dataAt;
  uint32_t dataSize;
};
enum : uint8_t { opIndexData = 0x04, opChunk = 0x05 };
std::vector<BagRecord> bagRecords(const std::string &bytes);
std::vector<BagRecord> bagRecords(const std::string &bytes, uint8_t op);
// The records of a chunk's contents; offsets are into the contents.
std::vector<BagRecord> chunkRecords(const std::string &contents);

enum : uint8_t { opFileHeader = 0x03, opChunkInfo = 0x06 };

// Hands each chunk of a bag to damage, uncompressed, and stores it again with
// its own compression and new size, moving the records after it.
void damageChunks(std::string &bytes, const std::function<void(std::string &contents)> &damage);

// A chunk's contents compressed as "none", "lz4" or "bz2" says.
std::string compressChunk(const std::string &compression, const std::string &contents);

// Overwrites the 32-bit little-endian number at offset.
void patchUint32(std::string &bytes, uint64_t offset, uint32_t value);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);
std::vector<std::string> splitLines(const std::string &text);
