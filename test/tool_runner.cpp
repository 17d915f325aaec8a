#include "tool_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

ToolRun runTarnwick(const std::vector<std::string> &args)
{
  std::vector<std::string> argv{TARNWICK_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return runTarnwickArgv(argv);
}

ToolRun runTarnwickArgv(const std::vector<std::string> &argv)
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
    execv(TARNWICK_PATH, pointers.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  ToolRun run;
  run.out = readFile(outPath);
  run.err = readFile(errPath);
  if (WIFEXITED(wstatus))
    run.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    run.signal = WTERMSIG(wstatus);
  return run;
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

// A bag file is a version line and then records: a header of name=value
// fields and a data block, each behind a 32-bit length.
std::vector<ByteRange> chunkDataRanges(const std::string &path)
{
  std::string bytes = readFile(path);
  std::vector<ByteRange> chunks;
  uint64_t offset = std::string("#ROSBAG V2.0\n").size();
  while (offset < bytes.size()) {
    uint32_t headerSize = readUint32(bytes, offset);
    uint64_t headerStart = offset + 4, headerEnd = headerStart + headerSize;
    bool isChunk = false;
    for (uint64_t field = headerStart; field < headerEnd;) {
      uint32_t fieldSize = readUint32(bytes, field);
      if (bytes.compare(field + 4, fieldSize, std::string("op=\x05", 4)) == 0)
        isChunk = true;
      field += 4 + fieldSize;
    }
    uint32_t dataSize = readUint32(bytes, headerEnd);
    if (isChunk)
      chunks.push_back({headerEnd + 4, dataSize});
    offset = headerEnd + 4 + dataSize;
  }
  return chunks;
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
