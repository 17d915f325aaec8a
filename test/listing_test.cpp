// The listing of well-formed bags: line layouts, recognition, order and index,
// chunk compressions and the command line.
#include "tool_runner.h"

#include <geometry_msgs/TwistStamped.h>
#include <gtest/gtest.h>
#include <rosbag/view.h>
#include <sensor_msgs/Image.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <dirent.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

ros::Time at(uint32_t sec, uint32_t nsec = 0)
{
  return ros::Time(sec, nsec);
}

sensor_msgs::Imu imuSample(const ros::Time &stamp, std::vector<double> values)
{
  sensor_msgs::Imu imu;
  imu.header.stamp = stamp;
  imu.orientation.w = values[0];
  imu.orientation.x = values[1];
  imu.orientation.y = values[2];
  imu.orientation.z = values[3];
  imu.angular_velocity.x = values[4];
  imu.angular_velocity.y = values[5];
  imu.angular_velocity.z = values[6];
  imu.linear_acceleration.x = values[7];
  imu.linear_acceleration.y = values[8];
  imu.linear_acceleration.z = values[9];
  return imu;
}

sensor_msgs::PointCloud2 cloud(const ros::Time &stamp, const std::vector<std::string> &names)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = stamp;
  for (const std::string &name : names) {
    sensor_msgs::PointField field;
    field.name = name;
    cloud.fields.push_back(field);
  }
  return cloud;
}

sensor_msgs::NavSatFix fix(const ros::Time &stamp, double latitude, double longitude,
                           double altitude)
{
  sensor_msgs::NavSatFix fix;
  fix.header.stamp = stamp;
  fix.latitude = latitude;
  fix.longitude = longitude;
  fix.altitude = altitude;
  return fix;
}

sensor_msgs::TimeReference timeReference(const ros::Time &stamp, const ros::Time &ref,
                                         const std::string &source)
{
  sensor_msgs::TimeReference reference;
  reference.header.stamp = stamp;
  reference.time_ref = ref;
  reference.source = source;
  return reference;
}

geometry_msgs::TwistStamped velocity(const ros::Time &stamp, std::vector<double> values)
{
  geometry_msgs::TwistStamped velocity;
  velocity.header.stamp = stamp;
  velocity.twist.linear.x = values[0];
  velocity.twist.linear.y = values[1];
  velocity.twist.linear.z = values[2];
  velocity.twist.angular.x = values[3];
  velocity.twist.angular.y = values[4];
  velocity.twist.angular.z = values[5];
  return velocity;
}

sensor_msgs::Image image(const ros::Time &stamp)
{
  sensor_msgs::Image image;
  image.header.stamp = stamp;
  image.width = image.height = image.step = 4;
  image.encoding = "mono8";
  image.data.assign(16, 7);
  return image;
}

// One message of every layout, with widths overflowed, empty lists and strings,
// NUL bytes inside strings, zero stamps and negative values.
void writeEveryLayout(rosbag::Bag &bag)
{
  bag.write("/imu/data", at(100),
            imuSample(at(1700000000, 123456789),
                      {1, 0.5, -0.25, 0.125, 0.001, -0.002, 3.14159265, 0, -9.80665, -1234567.5}));
  bag.write("/lidar/points", at(101), cloud(at(12, 500000000), {"x", "y", "z", "intensity"}));
  bag.write("/gps/fix", at(102), fix(at(1700000000), 48.1372, -11.5755, -12.5));
  bag.write("/gps/time_reference", at(103), timeReference(at(0), at(1733700000, 250000000), "gps"));
  bag.write("/gps/vel", at(104), velocity(at(5, 1), {1.5, -2.25, 0, 0, 0, -0.0001}));
  bag.write("/lidar/points", at(105), cloud(at(6), {}));
  bag.write("/gps/time_reference", at(106), timeReference(at(7), at(12, 500000000), ""));
  bag.write("/a_rather_long_topic_name/imu", at(107),
            imuSample(at(8), std::vector<double>(10, 0.0)));
  bag.write("/gps/time_reference", at(108),
            timeReference(at(9), at(1), std::string("gps\0hidden", 10)));
  bag.write("/lidar/points", at(109), cloud(at(10), {"x", std::string("\0y", 2)}));
}

const std::string everyLayoutListing =
    "                   0      1700000000.1234567165  /imu/data             sensor_msgs/Imu        "
    "  "
    "1.000000     0.500000    -0.250000     0.125000     0.001000    -0.002000     3.141593     "
    "0.000000    -9.806650 -1234567.500000\n"
    "                   1              12.5000000000  /lidar/points         "
    "sensor_msgs/PointCloud2  "
    "4  x  y  z  intensity\n"
    "                   2      1700000000.0000000000  /gps/fix              sensor_msgs/NavSatFix  "
    " "
    "48.13720000  -11.57550000  -12.50000000\n"
    "                   3               0.0000000000  /gps/time_reference   "
    "sensor_msgs/TimeReference "
    "1733700000.25000000 gps\n"
    "                   4               5.0000000010  /gps/vel              "
    "geometry_msgs/TwistStamped "
    "   1.50000000   -2.25000000    0.00000000    0.00000000    0.00000000   -0.00010000\n"
    "                   5               6.0000000000  /lidar/points         "
    "sensor_msgs/PointCloud2  0\n"
    "                   6               7.0000000000  /gps/time_reference   "
    "sensor_msgs/TimeReference "
    "  12.50000000 \n"
    "                   7               8.0000000000  /a_rather_long_topic_name/imu  "
    "sensor_msgs/Imu   "
    "       0.000000     0.000000     0.000000     0.000000     0.000000     0.000000     0.000000 "
    "  "
    "  0.000000     0.000000     0.000000\n"
    "                   8               9.0000000000  /gps/time_reference   "
    "sensor_msgs/TimeReference "
    "   1.00000000 gps\n"
    "                   9              10.0000000000  /lidar/points         "
    "sensor_msgs/PointCloud2  "
    "2  x  \n";

TEST(Listing, EveryLineLayoutAsFormatted)
{
  TempDir dir;
  std::string bagPath = dir.path("layouts.bag");
  writeBag(bagPath, rosbag::compression::Uncompressed, writeEveryLayout);

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(run.out, everyLayoutListing);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

// Strings and lines far longer than any buffer of the tool, between ordinary lines.
TEST(Listing, HugeStringsAndLinesWhole)
{
  TempDir dir;
  std::string bagPath = dir.path("huge.bag");
  std::string longSource(200000, 's'), longName(10000, 'n');
  std::vector<std::string> manyNames(30000, "ab");
  manyNames[0] = longName;
  writeBag(bagPath, rosbag::compression::LZ4, [&](rosbag::Bag &bag) {
    bag.write("/gps/fix", at(1), fix(at(1), 1, 2, 3));
    bag.write("/gps/time_reference", at(2), timeReference(at(2), at(3), longSource));
    bag.write("/lidar/points", at(3), cloud(at(3), manyNames));
    bag.write("/gps/fix", at(4), fix(at(4), 4, 5, 6));
  });

  std::string names;
  for (size_t i = 1; i < manyNames.size(); ++i)
    names += "  ab";
  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(run.out,
            "                   0               1.0000000000  /gps/fix              "
            "sensor_msgs/NavSatFix "
            "   1.00000000    2.00000000    3.00000000\n"
            "                   1               2.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference "
            "   3.00000000 " +
                longSource +
                "\n"
                "                   2               3.0000000000  /lidar/points         "
                "sensor_msgs/PointCloud2  "
                "30000  " +
                longName + names +
                "\n"
                "                   3               4.0000000000  /gps/fix              "
                "sensor_msgs/NavSatFix "
                "   4.00000000    5.00000000    6.00000000\n");
  EXPECT_EQ(run.status, 0);
}

// A bag's strings can neither forge lines nor drive a terminal: each control
// byte is written as '?', one for one; all other bytes as they are.
TEST(Listing, ControlBytesWrittenAsQuestionMarks)
{
  const std::string sources[] = {"gps\n                  99      1.0  /imu/data",
                                 "carriage\rreturn",
                                 "\x1b]0;title\x07",
                                 "\x1b[2Jclear\x7f",
                                 "invalid \xff\xfe utf-8",
                                 "caf\xc3\xa9 plain"};
  TempDir dir;
  std::string bagPath = dir.path("controls.bag");
  writeBag(bagPath, rosbag::compression::Uncompressed, [&](rosbag::Bag &bag) {
    for (uint32_t i = 0; i < 6; ++i)
      bag.write("/gps/time_reference", at(i + 1), timeReference(at(i + 1), at(1), sources[i]));
    writeAs(bag, "/gps\ttime", at(7), timeReference(at(7), at(1), "tab"), "odd\n/Reference",
            ros::message_traits::md5sum<sensor_msgs::TimeReference>());
    bag.write("/lidar/points", at(8), cloud(at(8), {"x\ny", "\x1b[31mred"}));
  });

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(run.out,
            "                   0               1.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference    1.00000000 gps?                  99      1.0  /imu/data\n"
            "                   1               2.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference    1.00000000 carriage?return\n"
            "                   2               3.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference    1.00000000 ?]0;title?\n"
            "                   3               4.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference    1.00000000 ?[2Jclear?\n"
            "                   4               5.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference    1.00000000 invalid \xff\xfe utf-8\n"
            "                   5               6.0000000000  /gps/time_reference   "
            "sensor_msgs/TimeReference    1.00000000 caf\xc3\xa9 plain\n"
            "                   6               7.0000000000  /gps?time             "
            "odd?/Reference          1.00000000 tab\n"
            "                   7               8.0000000000  /lidar/points         "
            "sensor_msgs/PointCloud2  2  x?y  ?[31mred\n");
  EXPECT_EQ(run.status, 0);
}

TEST(Listing, ChunkCompressionsGiveIdenticalListings)
{
  TempDir dir;
  // Small chunks, so that the listing crosses many chunk boundaries.
  auto fill = [](rosbag::Bag &bag) {
    for (int i = 0; i < 200; ++i) {
      writeEveryLayout(bag);
      bag.write("/camera/image", at(110), image(at(1)));
    }
  };
  std::string listings[3];
  rosbag::compression::CompressionType compressions[] = {
      rosbag::compression::Uncompressed, rosbag::compression::BZ2, rosbag::compression::LZ4};
  for (int i = 0; i < 3; ++i) {
    std::string bagPath = dir.path("bag" + std::to_string(i) + ".bag");
    writeBag(bagPath, compressions[i], fill, 4096);
    ASSERT_GT(bagRecords(readFile(bagPath), opChunk).size(), 10u);
    ToolRun run = runTarnwick({bagPath});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    listings[i] = run.out;
  }
  // Sorted by stored time: 200 IMU samples first, 200 unlisted images last.
  std::vector<std::string> lines = splitLines(listings[0]);
  ASSERT_EQ(lines.size(), 2000u);
  EXPECT_EQ(
      lines[199],
      "                 199      1700000000.1234567165  /imu/data             sensor_msgs/Imu      "
      "    1.000000     0.500000    -0.250000     0.125000     0.001000    -0.002000     3.141593 "
      "    0.000000    -9.806650 -1234567.500000");
  EXPECT_EQ(lines[1999],
            "                1999              10.0000000000  /lidar/points         "
            "sensor_msgs/PointCloud2  2  x  ");
  EXPECT_EQ(listings[1], listings[0]);
  EXPECT_EQ(listings[2], listings[0]);
}

TEST(Recognition, ByMd5SumNotByTypeName)
{
  TempDir dir;
  std::string bagPath = dir.path("relabelled.bag");
  const std::string imuMd5 = "6a62c6daae103f4ff57a132d6f95cec2";
  writeBag(bagPath, rosbag::compression::Uncompressed, [&](rosbag::Bag &bag) {
    std::vector<double> values{1, 0, 0, 0, 0.1, 0.2, 0.3, 1, 2, 3};
    // A vendor's copy of the IMU type: same MD5 sum, another name.
    writeAs(bag, "/vendor/imu", at(1), imuSample(at(2), values), "vendor_msgs/ImuSample", imuMd5);
    // The IMU's name on a type of a different version.
    writeAs(bag, "/old/imu", at(2), imuSample(at(3), values), "sensor_msgs/Imu",
            "0123456789abcdef0123456789abcdef");
    writeAs(bag, "/imu/data", at(3), imuSample(at(4), values), "sensor_msgs/Imu", imuMd5);
  });

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(
      run.out,
      "                   0               2.0000000000  /vendor/imu           "
      "vendor_msgs/ImuSample "
      "    1.000000     0.000000     0.000000     0.000000     0.100000     0.200000     0.300000 "
      "    1.000000     2.000000     3.000000\n"
      "                   2               4.0000000000  /imu/data             sensor_msgs/Imu      "
      "    1.000000     0.000000     0.000000     0.000000     0.100000     0.200000     0.300000 "
      "    1.000000     2.000000     3.000000\n");
  EXPECT_EQ(run.status, 0);
}

TEST(Order, StoredTimeAcrossTopicsWithIndexGaps)
{
  TempDir dir;
  std::string bagPath = dir.path("order.bag");
  // Written out of order; header stamps run against the stored times.
  writeBag(bagPath, rosbag::compression::Uncompressed, [](rosbag::Bag &bag) {
    bag.write("/imu/data", at(30), imuSample(at(100), std::vector<double>(10, 1.0)));
    bag.write("/camera/image", at(1), image(at(1)));
    bag.write("/gps/fix", at(10), fix(at(300), 1, 2, 3));
    bag.write("/camera/image", at(2), image(at(2)));
    bag.write("/gps/vel", at(20), velocity(at(200), {1, 2, 3, 4, 5, 6}));
    bag.write("/camera/image", at(3), image(at(3)));
    bag.write("/camera/image", at(15), image(at(15)));
  });

  ToolRun run = runTarnwick({bagPath});
  EXPECT_EQ(
      run.out,
      "                   3             300.0000000000  /gps/fix              "
      "sensor_msgs/NavSatFix "
      "   1.00000000    2.00000000    3.00000000\n"
      "                   5             200.0000000000  /gps/vel              "
      "geometry_msgs/TwistStamped    1.00000000    2.00000000    3.00000000    4.00000000    "
      "5.00000000    6.00000000\n"
      "                   6             100.0000000000  /imu/data             sensor_msgs/Imu      "
      "    1.000000     1.000000     1.000000     1.000000     1.000000     1.000000     1.000000 "
      "    1.000000     1.000000     1.000000\n");
  EXPECT_EQ(run.status, 0);
}

// What a plain full-range view of the bag yields, by each message's source.
std::vector<std::string> viewOrder(const std::string &bagPath)
{
  rosbag::Bag bag(bagPath);
  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
  std::vector<std::string> sources;
  for (const rosbag::MessageInstance &m : view)
    sources.push_back(m.instantiate<sensor_msgs::TimeReference>()->source);
  return sources;
}

// Many connections, two publishers on each topic, connections that end early
// or hold one message, and steps where every connection, pairs of them or
// none share a stored time: the listing must come in the view's order, ties
// included.
TEST(Order, ManyConnectionsInTheViewsOrderTiesIncluded)
{
  // {connections, steps}: from 64 on, the tool reads the messages through
  // views of groups of connections (of 4 to 32 here).
  const int cases[][2] = {{1, 24}, {16, 24}, {17, 24}, {64, 24}, {300, 24}, {2000, 6}};
  for (const auto &test : cases) {
    int connections = test[0];
    TempDir dir;
    std::string bagPath = dir.path("connections.bag");
    writeBag(bagPath, rosbag::compression::LZ4, [&](rosbag::Bag &bag) {
      for (int step = 0; step < test[1]; ++step) {
        for (int i = 0; i < connections; ++i) {
          int k = step % 2 ? i : connections - 1 - i;  // written in both directions
          if ((k % 5 == 1 && step > 3) || (k % 11 == 2 && step > 0))
            continue;
          uint32_t nsec = step % 3 == 0 ? 0 : step % 3 == 1 ? 1000 * k + 1 : 1000 * (k / 2) + 2;
          std::string source = "c" + std::to_string(k) + "m" + std::to_string(step);
          writeAs(bag, "/gps/time" + std::to_string(k / 2), at(100 + step, nsec),
                  timeReference(at(step), at(step), source), "sensor_msgs/TimeReference",
                  ros::message_traits::md5sum<sensor_msgs::TimeReference>(),
                  "/publisher" + std::to_string(k % 2));
        }
      }
    });
    std::vector<std::string> listed;
    for (const std::string &line : splitLines(runTarnwick({bagPath}).out))
      listed.push_back(line.substr(line.rfind(' ') + 1));
    std::vector<std::string> expected = viewOrder(bagPath);
    ASSERT_GT(expected.size(), size_t(connections));
    EXPECT_TRUE(listed == expected) << connections << " connections";
  }
}

TEST(Order, BagsWithNothingToListPrintNothing)
{
  TempDir dir;
  std::string emptyPath = dir.path("empty.bag"), othersPath = dir.path("others.bag");
  writeBag(emptyPath, rosbag::compression::LZ4, [](rosbag::Bag &) {});
  writeBag(othersPath, rosbag::compression::BZ2, [](rosbag::Bag &bag) {
    for (uint32_t i = 1; i <= 50; ++i)
      bag.write("/camera/image", at(i), image(at(i)));
  });

  for (const std::string &bagPath : {emptyPath, othersPath}) {
    ToolRun run = runTarnwick({bagPath});
    EXPECT_EQ(run.out, "") << bagPath;
    EXPECT_EQ(run.err, "") << bagPath;
    EXPECT_EQ(run.status, 0) << bagPath;
  }
}

TEST(CommandLine, MissingPathGivesUsage)
{
  ToolRun bare = runTarnwick({});
  EXPECT_EQ(bare.out, " Usage : " TARNWICK_PATH " xxx.bag\n");
  EXPECT_EQ(bare.status, 255);

  // Remapping arguments are taken away, leaving no path.
  ToolRun remapOnly = runTarnwick({"__name:=other", "__ns:=/robot"});
  EXPECT_EQ(remapOnly.out, " Usage : " TARNWICK_PATH " xxx.bag\n");
  EXPECT_EQ(remapOnly.status, 255);

  // An empty vector reaches the tool as one empty name on current kernels.
  for (const std::vector<std::string> &nameless : {std::vector<std::string>{}, {""}}) {
    ToolRun noProgramName = runTarnwickArgv(nameless);
    EXPECT_EQ(noProgramName.out, " Usage : tarnwick xxx.bag\n");
    EXPECT_EQ(noProgramName.status, 255);
  }

  ToolRun asInvoked = runTarnwickArgv({"./some/name"});
  EXPECT_EQ(asInvoked.out, " Usage : ./some/name xxx.bag\n");
  EXPECT_EQ(asInvoked.err, "");
  EXPECT_EQ(asInvoked.status, 255);
}

TEST(CommandLine, PathIsFirstArgumentLeftByRemappings)
{
  TempDir dir;
  std::string bagPath = dir.path("layouts.bag");
  writeBag(bagPath, rosbag::compression::LZ4, writeEveryLayout);

  ToolRun remapFirst = runTarnwick({"__name:=other", "/imu:=/imu2", bagPath});
  EXPECT_EQ(remapFirst.out, everyLayoutListing);
  EXPECT_EQ(remapFirst.status, 0);

  ToolRun twoPaths = runTarnwick({bagPath, dir.path("never-opened.bag")});
  EXPECT_EQ(twoPaths.out, everyLayoutListing);
  EXPECT_EQ(twoPaths.err, "");
  EXPECT_EQ(twoPaths.status, 0);
}

std::vector<std::string> folderEntries(const std::string &path)
{
  std::vector<std::string> names;
  if (DIR *folder = opendir(path.c_str())) {
    while (const dirent *entry = readdir(folder))
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, ".."))
        names.push_back(entry->d_name);
    closedir(folder);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Nothing of the ROS environment reaches the listing or stderr, nor does the
// tool write anything to the home folder or ROS_HOME: it takes the remapping
// arguments away itself, runs nothing of ROS's set-up, and the bag library's
// plugin loader does not run rospack, which would crawl ROS_PACKAGE_PATH and
// keep a cache in ROS_HOME (here a FIFO, which would hold it forever).
TEST(CommandLine, RosEnvironmentLeavesTheListingAlone)
{
  TempDir dir;
  std::string home = dir.path("home"), rosHome = dir.path("roshome");
  const std::string cache = "rospack_cache_00000000000000000000";
  mkdir(home.c_str(), 0700);
  mkdir(rosHome.c_str(), 0700);
  mkfifo((rosHome + "/" + cache).c_str(), 0600);
  const std::string homes[] = {"HOME=" + home, "ROS_HOME=" + rosHome};
  std::string bagPath = dir.path("layouts.bag"), logPath = dir.path("log4j-wrote-this");
  writeBag(bagPath, rosbag::compression::LZ4, writeEveryLayout);
  writeFile(dir.path("log4j.properties"),
            "log4j.rootLogger=DEBUG, file, out\n"
            "log4j.appender.file=org.apache.log4j.FileAppender\n"
            "log4j.appender.file.File=" +
                logPath +
                "\n"
                "log4j.appender.file.layout=org.apache.log4j.SimpleLayout\n"
                "log4j.appender.out=org.apache.log4j.ConsoleAppender\n"
                "log4j.appender.out.layout=org.apache.log4j.SimpleLayout\n");
  const struct {
    const char *name;
    std::vector<std::string> environment;
    std::vector<std::string> rosArgs;
  } cases[] = {
      {"home missing", {"HOME=/nonexistent/home"}, {}},
      {"home a file", {"HOME=/dev/null"}, {}},
      {"master URI without scheme", {"ROS_MASTER_URI=localhost:11311"}, {}},
      {"empty host name and address", {"ROS_HOSTNAME=", "ROS_IP="}, {}},
      {"namespace with a space", {"ROS_NAMESPACE=a b"}, {}},
      {"parameter for an absent master", {}, {"_p:=1"}},
      {"malformed remappings", {}, {"__name:=a/b", "1a:=b", "__master:=foo"}},
      {"package path a whole system", {"ROS_PACKAGE_PATH=/usr"}, {}},
      {"no ROS home", {"ROS_HOME=/nonexistent/ros"}, {}},
  };
  for (const auto &test : cases) {
    std::vector<std::string> args = test.rosArgs;
    args.push_back(bagPath);
    ToolRun run = runTarnwick(args, [&] {
      if (chdir(dir.path("").c_str()) != 0)
        _exit(126);
      for (const std::string &setting : homes)
        putenv(const_cast<char *>(setting.c_str()));
      for (const std::string &setting : test.environment)
        putenv(const_cast<char *>(setting.c_str()));
    });
    EXPECT_FALSE(run.hung) << test.name;
    EXPECT_EQ(run.out, everyLayoutListing) << test.name;
    EXPECT_EQ(run.err, "") << test.name;
    EXPECT_EQ(run.status, 0) << test.name;
    EXPECT_EQ(folderEntries(home), std::vector<std::string>{}) << test.name;
    EXPECT_EQ(folderEntries(rosHome), std::vector<std::string>{cache}) << test.name;
  }
  EXPECT_EQ(access(logPath.c_str(), F_OK), -1) << "log4j.properties was run";
}

// On a terminal each line is written as soon as it is listed: the first lines
// must be readable while the tool still decompresses large clouds behind them.
TEST(Output, LinesReachATerminalAsTheyAreListed)
{
  TempDir dir;
  std::string bagPath = dir.path("slow.bag");
  writeBag(bagPath, rosbag::compression::BZ2, [](rosbag::Bag &bag) {
    for (uint32_t i = 1; i <= 3; ++i)
      bag.write("/imu/data", at(i), imuSample(at(i), std::vector<double>(10, 0.5)));
    for (uint32_t i = 4; i <= 8; ++i) {
      sensor_msgs::PointCloud2 big = cloud(at(i), {"x"});
      big.data.assign(24 << 20, 0);
      bag.write("/lidar/points", at(i), big);
    }
  });

  int terminal = -1;
  pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child < 0)
    GTEST_SKIP() << "no pseudo-terminal here: " << strerror(errno);
  if (child == 0) {
    execl(TARNWICK_PATH, TARNWICK_PATH, bagPath.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string shown;
  char block[4096];
  ssize_t got;
  while (std::count(shown.begin(), shown.end(), '\n') < 3 &&
         (got = read(terminal, block, sizeof block)) > 0)
    shown.append(block, got);
  EXPECT_EQ(shown.substr(0, 20), "                   0");
  EXPECT_EQ(shown.find("/lidar/points"), std::string::npos) << "the lines came in one block";
  while (read(terminal, block, sizeof block) > 0) {
  }
  close(terminal);
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
}

// The README's recipes, run as a user runs them (bash, awk, sort, diff) on
// bags written here: each prints what it says. The manual page's examples
// are among them.
TEST(Recipes, ReadmeRecipesPrintWhatTheySay)
{
  TempDir dir;
  auto drive = [](double lastAltitude) {
    return [=](rosbag::Bag &bag) {
      bag.write("/imu/data", at(10),
                imuSample(at(10, 500000000), {1, 0, 0, 0, 0.1, 0.2, 0.3, 1.5, -2.25, 9.75}));
      bag.write("/gps/fix", at(11), fix(at(11), 48.1, 11.5, 519.25));
      bag.write("/imu/other", at(12), imuSample(at(12), {1, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
      bag.write("/imu/data", at(13), imuSample(at(13), {0, 1, 0, 0, 0, 0, 0, -0.5, 0.25, 9.5}));
      bag.write("/gps/fix", at(14), fix(at(14), 48.2, 11.6, lastAltitude));
    };
  };
  writeBag(dir.path("monday.bag"), rosbag::compression::Uncompressed, drive(520.5));
  writeBag(dir.path("tuesday.bag"), rosbag::compression::LZ4, drive(521.5));
  std::vector<std::string> monday = splitLines(runTarnwick({dir.path("monday.bag")}).out);
  std::vector<std::string> tuesday = splitLines(runTarnwick({dir.path("tuesday.bag")}).out);
  ASSERT_EQ(monday.size(), 5u);

  std::string readme = readFile(TARNWICK_SOURCE_DIR "/README.md");
  size_t block = readme.find("```sh\n", readme.find("\n## Recipes\n")) + 6;
  std::vector<std::string> recipes;  // each command, without its comment
  for (const std::string &line :
       splitLines(readme.substr(block, readme.find("```", block) - block)))
    recipes.push_back(line.substr(0, line.find_last_not_of(' ', line.find(" #")) + 1));
  const std::string expected[] = {
      monday[0] + "\n" + monday[3] + "\n",
      monday[1] + "\n" + monday[4] + "\n",
      "10.5000000000 1.500000 -2.250000 9.750000\n"
      "12.0000000000 0.000000 0.000000 1.000000\n"
      "13.0000000000 -0.500000 0.250000 9.500000\n",
      "11.0000000000,48.10000000,11.50000000,519.25000000\n"
      "14.0000000000,48.20000000,11.60000000,520.50000000\n",
      "/gps/fix 2\n/imu/data 2\n/imu/other 1\n",
      "5c5\n< " + monday[4] + "\n---\n> " + tuesday[4] + "\n",
  };
  ASSERT_EQ(recipes.size(), sizeof expected / sizeof expected[0]);
  std::string tools = TARNWICK_PATH;
  tools = tools.substr(0, tools.rfind('/'));
  for (size_t i = 0; i < recipes.size(); ++i) {
    std::string command = recipes[i];
    size_t bag = command.find("tarnwick BAG");
    if (bag != std::string::npos)
      command.replace(bag + 9, 3, "monday.bag");
    writeFile(dir.path("recipe.sh"),
              "cd " + dir.path("") + " && PATH=" + tools + ":$PATH && " + command + "\n");
    FILE *shell = popen(("bash " + dir.path("recipe.sh")).c_str(), "r");
    ASSERT_TRUE(shell);
    std::string out;
    char block[4096];
    for (size_t got; (got = fread(block, 1, sizeof block, shell)) > 0;)
      out.append(block, got);
    pclose(shell);
    EXPECT_EQ(out, expected[i]) << recipes[i];
  }

  // Each example of the manual page, as the README gives it.
  std::string manual = readFile(TARNWICK_SOURCE_DIR "/doc/tarnwick.1");
  for (size_t at = 0; (at = manual.find("\n.EX\n", at)) != std::string::npos; ++at) {
    std::string example = manual.substr(at + 5, manual.find("\n.EE", at) - at - 5);
    for (size_t quote; (quote = example.find("\\(aq")) != std::string::npos;)
      example.replace(quote, 4, "'");
    if (example.find('|') != std::string::npos || example.find("diff") == 0) {
      size_t bag = example.find("drive.bag");
      if (bag != std::string::npos)
        example.replace(bag, 9, "BAG");
      EXPECT_NE(std::find(recipes.begin(), recipes.end(), example), recipes.end()) << example;
    }
  }
}

}  // namespace
