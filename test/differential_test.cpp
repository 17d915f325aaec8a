// Valid bags of random shape, written byte by byte (the C++ writer refuses
// time 0 and writes one layout), listed by tarnwick and walked by one full
// rosbag::View here: the listing must be the view's, message for message.
#include "tool_runner.h"

#include <console_bridge/console.h>
#include <gtest/gtest.h>
#include <rosbag/view.h>
#include <sensor_msgs/TimeReference.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

template <class T>
std::string bytesOf(T value)
{
  return std::string(reinterpret_cast<const char *>(&value), sizeof value);
}

struct BagWriter {
  std::mt19937 &random;

  // A record with its header fields in random order, now and then with a
  // field no reader knows, short or of a thousand bytes and more (of '=',
  // which only the first splits from the name).
  std::string record(Fields fields, const std::string &data)
  {
    if (random() % 4 == 0)
      fields.emplace_back("unknown_field", random() % 6 == 0
                                               ? std::string(1000 + random() % 1000, '=')
                                               : std::string(random() % 40, 'u'));
    std::shuffle(fields.begin(), fields.end(), random);
    std::string header;
    for (const auto &field : fields)
      header += bytesOf(uint32_t(field.first.size() + 1 + field.second.size())) + field.first +
                "=" + field.second;
    return bytesOf(uint32_t(header.size())) + header + bytesOf(uint32_t(data.size())) + data;
  }
};

struct Message {
  uint32_t connection;
  uint32_t sec, nsec;
  std::string data;
};

struct Shape {
  std::string bytes;
  uint64_t atTimeZero = 0;
};

std::string md5Of(uint32_t connection)
{
  // Every fifth connection carries a type that is not listed.
  return connection % 5 == 4 ? std::string(32, 'f')
                             : ros::message_traits::md5sum<sensor_msgs::TimeReference>();
}

std::string topicOf(uint32_t connection)
{
  return "/t" + std::to_string(connection / 2);  // two connections a topic in format 2.0
}

// Each index record's entries, split in two, shuffled or kept in order.
std::vector<std::vector<const Message *>> indexRecords(std::vector<const Message *> entries,
                                                       std::mt19937 &random)
{
  if (random() % 3 == 0)
    std::shuffle(entries.begin(), entries.end(), random);
  if (entries.size() > 1 && random() % 3 == 0) {
    size_t split = 1 + random() % (entries.size() - 1);
    return {{entries.begin(), entries.begin() + split}, {entries.begin() + split, entries.end()}};
  }
  return {entries};
}

Shape randomShape(unsigned seed)
{
  std::mt19937 random(seed);
  BagWriter writer{random};
  Shape shape;
  const uint32_t connectionCounts[] = {1, 2, 3, 5, 8, 17, 70, 150};
  uint32_t connections = connectionCounts[random() % 8];
  size_t messageCount = random() % (4 * connections + 20);
  bool version102 = random() % 4 == 0;
  std::vector<Message> messages;
  uint32_t timeZeroOdds = random() % 3 * 3;  // 0: no message at second 0
  for (size_t i = 0; i < messageCount; ++i) {
    uint32_t connection = random() % connections;
    if (version102)
      connection -= connection % 2;  // one connection a topic
    // Stored times from a small pool: ties within and across connections.
    uint32_t sec = timeZeroOdds && random() % timeZeroOdds == 0 ? 0 : 1 + random() % 4;
    uint32_t nsec = sec == 0 && random() % 2 ? 0 : (random() % 3) * 500000000;
    sensor_msgs::TimeReference ref;
    ref.header.stamp = ros::Time(7, 0);
    ref.source = "c" + std::to_string(connection) + "m" + std::to_string(i);
    std::string data(ros::serialization::serializationLength(ref), '\0');
    ros::serialization::OStream out(reinterpret_cast<uint8_t *>(&data[0]), data.size());
    ros::serialization::serialize(out, ref);
    messages.push_back({connection, sec, nsec, data});
    shape.atTimeZero += sec == 0 && nsec == 0;
  }
  auto connectionHeader = [&](uint32_t connection) {
    return writer.record({{"topic", topicOf(connection)},
                          {"type", "sensor_msgs/TimeReference"},
                          {"md5sum", md5Of(connection)},
                          {"message_definition", "time time_ref\nstring source\n"},
                          {"callerid", "/p" + std::to_string(connection % 2)}},
                         "");
  };
  auto headerOnly = [](const std::string &record) {  // a record's header, without data
    return record.substr(0, record.size() - 4);
  };

  std::string bytes = version102 ? "#ROSBAG V1.2" : "#ROSBAG V2.0";
  // The library reads 1,023 bytes of a version line that has no newline by then.
  bytes += random() % 6 == 0 ? std::string(1023 - bytes.size(), ' ') : "\n";
  size_t fileHeaderAt = bytes.size();
  bytes += std::string(4096, ' ');  // the file header, written last
  Fields fileHeader;
  if (version102) {
    // Every message behind a definition record, as the library accepts.
    std::map<uint32_t, std::vector<const Message *>> byConnection;
    std::map<const Message *, uint64_t> offsetOf;
    for (const Message &m : messages) {
      offsetOf[&m] = bytes.size();
      byConnection[m.connection].push_back(&m);
      bytes += writer.record({{"op", "\x01"},
                              {"topic", topicOf(m.connection)},
                              {"md5", md5Of(m.connection)},
                              {"type", "sensor_msgs/TimeReference"},
                              {"def", "time time_ref\nstring source\n"}},
                             "");
      bytes += writer.record({{"op", "\x02"},
                              {"topic", topicOf(m.connection)},
                              {"md5", md5Of(m.connection)},
                              {"type", "sensor_msgs/TimeReference"}},
                             m.data);
    }
    fileHeader = {{"op", "\x03"}, {"index_pos", bytesOf(uint64_t(bytes.size()))}};
    for (auto &connection : byConnection) {
      // The library reads a topic's definition at its earliest message.
      const Message *first = nullptr;
      for (const Message *m : connection.second)
        if ((m->sec || m->nsec) &&
            (!first || std::make_pair(m->sec, m->nsec) < std::make_pair(first->sec, first->nsec)))
          first = m;
      if (!first)
        continue;  // no message the library reads: the topic would have no definition
      for (const auto &entries : indexRecords(connection.second, random)) {
        std::string data;
        for (const Message *m : entries)
          data += bytesOf(m->sec) + bytesOf(m->nsec) + bytesOf(offsetOf[m]);
        bytes += writer.record({{"op", "\x04"},
                                {"ver", bytesOf(uint32_t(0))},
                                {"topic", topicOf(connection.first)},
                                {"count", bytesOf(uint32_t(entries.size()))}},
                               data);
      }
    }
    // Messages of a topic whose every message is at time 0 are in no index.
    shape.atTimeZero = 0;
    for (auto &connection : byConnection)
      for (const Message *m : connection.second)
        for (const Message *other : connection.second)
          if (!m->sec && !m->nsec && (other->sec || other->nsec)) {
            ++shape.atTimeZero;
            break;
          }
  } else {
    std::vector<std::string> chunkInfos;
    std::set<uint32_t> written;
    size_t first = 0;
    do {
      size_t size = random() % 3 == 0 ? 0 : 1 + random() % 12;  // some chunks empty
      size_t end = std::min(messages.size(), first + size);
      std::string contents;
      std::map<uint32_t, std::vector<const Message *>> byConnection;
      std::map<const Message *, uint64_t> offsetOf;
      if (random() % 4 == 0)  // a chunk of connection records alone, or with messages
        for (uint32_t c = 0; c < connections; c += 1 + random() % 3)
          contents += writer.record({{"op", "\x07"}, {"conn", bytesOf(c)}, {"topic", topicOf(c)}},
                                    headerOnly(connectionHeader(c)).substr(4));
      for (size_t i = first; i < end; ++i) {
        const Message &m = messages[i];
        if (written.insert(m.connection).second || random() % 8 == 0)
          contents += writer.record(
              {{"op", "\x07"}, {"conn", bytesOf(m.connection)}, {"topic", topicOf(m.connection)}},
              headerOnly(connectionHeader(m.connection)).substr(4));
        offsetOf[&m] = contents.size();
        byConnection[m.connection].push_back(&m);
        contents += writer.record({{"op", "\x02"},
                                   {"conn", bytesOf(m.connection)},
                                   {"time", bytesOf(m.sec) + bytesOf(m.nsec)}},
                                  m.data);
      }
      static const char *const compressions[] = {"none", "lz4", "bz2"};
      std::string compression = contents.empty() ? "none" : compressions[random() % 3];
      uint64_t chunkAt = bytes.size();
      bytes += writer.record({{"op", "\x05"},
                              {"compression", compression},
                              {"size", bytesOf(uint32_t(contents.size()))}},
                             compressChunk(compression, contents));
      std::vector<uint32_t> listed;  // the connections that the chunk info names
      for (auto &connection : byConnection)
        for (const auto &entries : indexRecords(connection.second, random)) {
          std::string data;
          for (const Message *m : entries)
            data += bytesOf(m->sec) + bytesOf(m->nsec) + bytesOf(uint32_t(offsetOf[m]));
          bytes += writer.record({{"op", "\x04"},
                                  {"ver", bytesOf(uint32_t(1))},
                                  {"conn", bytesOf(connection.first)},
                                  {"count", bytesOf(uint32_t(entries.size()))}},
                                 data);
          listed.push_back(connection.first);
        }
      // An empty index record for a connection with no message in this chunk.
      if (random() % 4 == 0 && written.size() > byConnection.size()) {
        for (uint32_t c : written)
          if (!byConnection.count(c) && std::count(listed.begin(), listed.end(), c) == 0) {
            bytes += writer.record({{"op", "\x04"},
                                    {"ver", bytesOf(uint32_t(1))},
                                    {"conn", bytesOf(c)},
                                    {"count", bytesOf(uint32_t(0))}},
                                   "");
            listed.push_back(c);
            break;
          }
      }
      // As many distinct ids in the chunk info as index records follow.
      std::string counts;
      std::set<uint32_t> distinct;
      for (uint32_t c : listed) {
        while (distinct.count(c))
          c = (c + 1) % std::max<uint32_t>(connections, listed.size() + 1);
        distinct.insert(c);
        counts += bytesOf(c) + bytesOf(uint32_t(1));
      }
      chunkInfos.push_back(writer.record({{"op", "\x06"},
                                          {"ver", bytesOf(uint32_t(1))},
                                          {"chunk_pos", bytesOf(chunkAt)},
                                          {"start_time", bytesOf(uint64_t(0))},
                                          {"end_time", bytesOf(uint64_t(0))},
                                          {"count", bytesOf(uint32_t(distinct.size()))}},
                                         counts));
      first = end;
    } while (first < messages.size());
    // The index section: connection records out of order, some twice.
    std::vector<uint32_t> order(written.begin(), written.end());
    std::shuffle(order.begin(), order.end(), random);
    if (!order.empty() && random() % 3 == 0)
      order.push_back(order[random() % order.size()]);
    uint64_t indexAt = bytes.size();
    for (uint32_t c : order)
      bytes += headerOnly(writer.record(
                   {{"op", "\x07"}, {"conn", bytesOf(c)}, {"topic", topicOf(c)}}, "")) +
               headerOnly(connectionHeader(c));
    for (const std::string &info : chunkInfos)
      bytes += info;
    fileHeader = {{"op", "\x03"},
                  {"index_pos", bytesOf(indexAt)},
                  {"conn_count", bytesOf(uint32_t(order.size()))},
                  {"chunk_count", bytesOf(uint32_t(chunkInfos.size()))}};
  }
  std::string header = writer.record(fileHeader, "");
  header = header.substr(0, header.size() - 4);
  header +=
      bytesOf(uint32_t(4096 - header.size() - 4)) + std::string(4096 - header.size() - 4, ' ');
  bytes.replace(fileHeaderAt, 4096, header);
  shape.bytes = bytes;
  return shape;
}

// "position source" of each TimeReference that one full view yields.
std::vector<std::string> viewListing(const std::string &bagPath)
{
  rosbag::Bag bag(bagPath);
  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
  std::vector<std::string> listing;
  size_t position = 0;
  for (const rosbag::MessageInstance &m : view) {
    if (auto ref = m.instantiate<sensor_msgs::TimeReference>())
      listing.push_back(std::to_string(position) + " " + ref->source);
    ++position;
  }
  return listing;
}

TEST(Differential, RandomValidShapesListAsTheViewWalksThem)
{
  console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_NONE);
  TempDir dir;
  std::string bagPath = dir.path("shape.bag");
  int shapes = 0, withTimeZero = 0, version102 = 0, lines = 0;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    Shape shape = randomShape(seed);
    writeFile(bagPath, shape.bytes);
    std::vector<std::string> expected = viewListing(bagPath);
    ToolRun run = runTarnwick({bagPath});
    std::vector<std::string> listed;
    for (const std::string &line : splitLines(run.out)) {
      size_t count = line.find_first_not_of(' ');
      listed.push_back(line.substr(count, line.find(' ', count) - count) + " " +
                       line.substr(line.rfind(' ') + 1));
    }
    EXPECT_TRUE(listed == expected) << "seed " << seed << ": " << listed.size() << " lines, "
                                    << expected.size() << " expected; " << run.err;
    if (shape.atTimeZero == 0) {
      EXPECT_EQ(run.status, 0) << "seed " << seed << ": " << run.err;
    } else {
      EXPECT_EQ(run.status, 253) << "seed " << seed;
      std::string count = std::to_string(shape.atTimeZero);
      EXPECT_NE(run.err.find("msg = " + count + (shape.atTimeZero == 1 ? " message" : " messages") +
                             " stored at time 0 not listed"),
                std::string::npos)
          << "seed " << seed << ": " << run.err;
    }
    ++shapes;
    withTimeZero += shape.atTimeZero > 0;
    version102 += shape.bytes[11] == '2' && shape.bytes[9] == '1';
    lines += expected.size();
  }
  EXPECT_GT(withTimeZero, 50);
  EXPECT_GT(version102, 40);
  std::cout << shapes << " shapes (" << withTimeZero << " with messages at time 0, " << version102
            << " of format 1.2), " << lines << " lines\n";
}

}  // namespace
