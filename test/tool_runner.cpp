#include "tool_runner.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <roslz4/lz4s.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

// The tool as a shell starts it in the foreground, whatever the test runner
// hands on (a background job of a script starts with SIGINT ignored): the
// stop signals at their default, which setup may change.
static void asInTheForeground()
{
  for (int stop : {SIGINT, SIGTERM, SIGHUP})
    signal(stop, SIG_DFL);
}

ToolRun runTarnwick(const std::vector<std::string> &args, const ChildSetup &setup)
{
  std::vector<std::string> argv{TARNWICK_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return runTarnwickArgv(argv, setup);
}

ToolRun runTarnwickArgv(const std::vector<std::string> &argv, const ChildSetup &setup)
{
  TempDir dir;
  std::string outPath = dir.path("stdout"), errPath = dir.path("stderr");
  std::vector<char *> pointers;
  for (const std::string &arg : argv)
    pointers.push_back(const_cast<char *>(arg.c_str()));
  pointers.push_back(nullptr);

  pid_t child = fork();
  if (child == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    asInTheForeground();
    if (setup)
      setup();
    execv(TARNWICK_PATH, pointers.data());
    _exit(127);
  }
  ToolRun run;
  int wstatus = 0;
  struct rusage usage = {};
  for (int waited = 0; wait4(child, &wstatus, WNOHANG, &usage) == 0; waited += 2) {
    if (waited >= 30000) {
      run.hung = true;
      kill(child, SIGKILL);
      wait4(child, &wstatus, 0, &usage);
      break;
    }
    usleep(2000);
  }
  run.peakKiB = usage.ru_maxrss;
  run.out = readFile(outPath);
  run.err = readFile(errPath);
  if (WIFEXITED(wstatus))
    run.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    run.signal = WTERMSIG(wstatus);
  return run;
}

pid_t startTarnwick(const std::vector<std::string> &args, int &readEnd, const ChildSetup &setup)
{
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0)
    throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);
    asInTheForeground();
    if (setup)
      setup();
    std::vector<char *> argv{const_cast<char *>(TARNWICK_PATH)};
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(TARNWICK_PATH, argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  readEnd = pipeEnds[0];
  return child;
}

int waitForExit(pid_t child)
{
  int wstatus = 0;
  for (int waited = 0; waitpid(child, &wstatus, WNOHANG) == 0; waited += 2) {
    if (waited >= 30000) {
      kill(child, SIGKILL);
      waitpid(child, &wstatus, 0);
      return -1;
    }
    usleep(2000);
  }
  return wstatus;
}

std::string readToEnd(int fd)
{
  std::string bytes;
  char block[4096];
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0)
    bytes.append(block, got);
  close(fd);
  return bytes;
}

TempDir::TempDir()
{
  char pattern[] = "/tmp/tarnwick-test-XXXXXX";
  if (!mkdtemp(pattern))
    throw std::runtime_error("mkdtemp failed");
  root = pattern;
}

TempDir::~TempDir()
{
  std::string command = "rm -rf '" + root + "'";
  if (system(command.c_str()) != 0)
    fprintf(stderr, "could not remove %s\n", root.c_str());
}

std::string TempDir::path(const std::string &name) const
{
  return root + "/" + name;
}

void writeBag(const std::string &path, rosbag::compression::CompressionType compression,
              const std::function<void(rosbag::Bag &)> &fill, uint32_t chunkThreshold)
{
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  bag.setChunkThreshold(chunkThreshold);
  fill(bag);
  bag.close();
}

static uint32_t readUint32(const std::string &bytes, uint64_t offset)
{
  if (offset + 4 > bytes.size())
    throw std::runtime_error("bag record runs past the end of the file");
  uint32_t value;
  memcpy(&value, bytes.data() + offset, 4);
  return value;
}

static std::vector<BagRecord> recordsFrom(const std::string &bytes, uint64_t offset)
{
  std::vector<BagRecord> records;
  while (offset < bytes.size()) {
    BagRecord record{};
    record.headerSizeAt = offset;
    uint64_t headerEnd = offset + 4 + readUint32(bytes, offset);
    for (uint64_t field = offset + 4; field < headerEnd;) {
      uint32_t fieldSize = readUint32(bytes, field);
      std::string text = bytes.substr(field + 4, fieldSize);
      std::string name = text.substr(0, text.find('='));
      record.fieldSizeAt[name] = field;
      record.fieldValueAt[name] = field + 4 + name.size() + 1;
      if (name == "op")
        record.op = uint8_t(text.back());
      field += 4 + fieldSize;
    }
    record.dataSizeAt = headerEnd;
    record.dataAt = headerEnd + 4;
    record.dataSize = readUint32(bytes, headerEnd);
    records.push_back(record);
    offset = record.dataAt + record.dataSize;
  }
  return records;
}

// A bag file is a version line and then records.
std::vector<BagRecord> bagRecords(const std::string &bytes)
{
  return recordsFrom(bytes, std::string("#ROSBAG V2.0\n").size());
}

std::vector<BagRecord> chunkRecords(const std::string &contents)
{
  return recordsFrom(contents, 0);
}

std::vector<BagRecord> bagRecords(const std::string &bytes, uint8_t op)
{
  std::vector<BagRecord> records;
  for (const BagRecord &record : bagRecords(bytes))
    if (record.op == op)
      records.push_back(record);
  return records;
}

static std::string fieldValue(const std::string &bytes, const BagRecord &record,
                              const std::string &name)
{
  uint64_t at = record.fieldValueAt.at(name);
  return bytes.substr(at, readUint32(bytes, record.fieldSizeAt.at(name)) - name.size() - 1);
}

// A chunk's data, compressed as it says, or uncompressed when it is "lz4" or "bz2".
static std::string recompressed(const std::string &compression, const std::string &data,
                                uint32_t uncompressedSize, bool compress)
{
  if (compression == "none")
    return data;
  std::string out(compress ? data.size() * 2 + 1024 : uncompressedSize, '\0');
  unsigned int size = out.size();
  char *in = const_cast<char *>(data.data());
  int status = compression == "lz4"
                   ? (compress ? roslz4_buffToBuffCompress(in, data.size(), &out[0], &size, 6)
                               : roslz4_buffToBuffDecompress(in, data.size(), &out[0], &size))
               : compress ? BZ2_bzBuffToBuffCompress(&out[0], &size, in, data.size(), 9, 0, 30)
                          : BZ2_bzBuffToBuffDecompress(&out[0], &size, in, data.size(), 0, 0);
  if (status != 0)
    throw std::runtime_error(compression + " failed on a chunk");
  return out.substr(0, size);
}

void damageChunks(std::string &bytes, const std::function<void(std::string &contents)> &damage)
{
  std::string rebuilt = bytes.substr(0, bagRecords(bytes)[0].headerSizeAt);
  std::map<uint64_t, uint64_t> movedTo;
  for (const BagRecord &record : bagRecords(bytes)) {
    movedTo[record.headerSizeAt] = rebuilt.size();
    std::string data = bytes.substr(record.dataAt, record.dataSize);
    uint32_t contentsSize = 0;
    if (record.op == opChunk) {
      std::string compression = fieldValue(bytes, record, "compression");
      std::string contents =
          recompressed(compression, data, readUint32(bytes, record.fieldValueAt.at("size")), false);
      damage(contents);
      contentsSize = contents.size();
      data = recompressed(compression, contents, 0, true);
    }
    rebuilt += bytes.substr(record.headerSizeAt, record.dataSizeAt - record.headerSizeAt);
    if (record.op == opChunk)
      patchUint32(rebuilt, rebuilt.size() - record.dataSizeAt + record.fieldValueAt.at("size"),
                  contentsSize);
    uint32_t size = data.size();
    rebuilt += std::string(reinterpret_cast<const char *>(&size), 4) + data;
  }
  for (const BagRecord &record : bagRecords(rebuilt)) {
    const char *position = record.op == opFileHeader  ? "index_pos"
                           : record.op == opChunkInfo ? "chunk_pos"
                                                      : nullptr;
    if (position) {
      uint64_t at = record.fieldValueAt.at(position), old;
      memcpy(&old, &rebuilt[at], 8);
      memcpy(&rebuilt[at], &movedTo.at(old), 8);
    }
  }
  bytes = rebuilt;
}

std::string compressChunk(const std::string &compression, const std::string &contents)
{
  return recompressed(compression, contents, 0, true);
}

void patchUint32(std::string &bytes, uint64_t offset, uint32_t value)
{
  if (offset + 4 > bytes.size())
    throw std::runtime_error("patch beyond the end of the file");
  memcpy(&bytes[offset], &value, 4);
}

std::string readFile(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string &path, const std::string &bytes)
{
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> splitLines(const std::string &text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The tests' own main: gtest_main is a library of its own in some builds of
// GoogleTest and not in others.
int main(int argc, char **argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
