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

// A bag file is a version line and then records.
std::vector<BagRecord> bagRecords(const std::string &bytes)
{
  std::vector<BagRecord> records;
  uint64_t offset = std::string("#ROSBAG V2.0\n").size();
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

std::vector<BagRecord> bagRecords(const std::string &bytes, uint8_t op)
{
  std::vector<BagRecord> records;
  for (const BagRecord &record : bagRecords(bytes))
    if (record.op == op)
      records.push_back(record);
  return records;
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
