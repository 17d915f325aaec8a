// tarnwick: list the IMU, LiDAR and GPS messages of a ROS 1 bag, one
// fixed-width line each, in the order the messages are stored.
//
// Lines are assembled in a buffer of the tool's own and written with write(2),
// so that a signal handler can hand over every finished line without touching
// stdio, and numbers are converted with std::to_chars, which gives the digits
// printf would give in the C locale at a fraction of the cost.

#include <geometry_msgs/TwistStamped.h>
#include <ros/ros.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

// Finished lines occupy outBuf[0, outDone); the line being assembled follows
// them up to outDone + lineSize. Only finished lines are ever handed to a
// signal handler, so an interrupted listing ends on a line boundary.
static char outBuf[1 << 16];
static volatile sig_atomic_t outDone;
static size_t lineSize;
static bool flushEachLine;

// While outBuf is being written out, a SIGINT only asks for the stop, so that
// the handler never writes bytes that write(2) has already taken.
static volatile sig_atomic_t flushing;
static volatile sig_atomic_t stopAsked;

static void writeAll(int fd, const char *data, size_t size)
{
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR && !stopAsked)
        continue;
      if (errno != EINTR)
        return;  // a closed or failing output drops the listing, not the walk
      written = 0;
    }
    data += written;
    size -= written;
  }
}

static void flushLines()
{
  flushing = 1;
  writeAll(STDOUT_FILENO, outBuf, outDone);
  memmove(outBuf, outBuf + outDone, lineSize);
  outDone = 0;
  flushing = 0;
  if (stopAsked)
    _exit(255);
}

void Stop(int)
{
  if (flushing && !stopAsked) {
    stopAsked = 1;
    return;
  }
  if (!flushing)
    writeAll(STDOUT_FILENO, outBuf, outDone);
  _exit(255);
}

static void put(const char *text, size_t size)
{
  while (outDone + lineSize + size > sizeof outBuf) {
    if (outDone > 0) {
      flushLines();
      continue;
    }
    // A single line longer than the buffer goes out in pieces.
    size_t room = sizeof outBuf - lineSize;
    memcpy(outBuf + lineSize, text, room);
    text += room;
    size -= room;
    outDone = sizeof outBuf;
    lineSize = 0;
    flushLines();
  }
  memcpy(outBuf + outDone + lineSize, text, size);
  lineSize += size;
}

static void putPadding(size_t size, size_t width)
{
  static const char spaces[] = "                         ";
  while (size < width) {
    size_t pad = std::min(width - size, sizeof spaces - 1);
    put(spaces, pad);
    size += pad;
  }
}

// Like printf's "%-<width>s": raw bytes up to the first NUL, padded on the right.
static void putLeft(const std::string &text, size_t width)
{
  size_t size = strnlen(text.c_str(), text.size());
  put(text.c_str(), size);
  putPadding(size, width);
}

static void putRight(const char *text, size_t size, size_t width)
{
  putPadding(size, width);
  put(text, size);
}

// Like printf's "%<width>ld".
static void putCount(int64_t value, size_t width)
{
  char digits[24];
  char *end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  putRight(digits, end - digits, width);
}

// Like printf's "%<width>.<precision>lf", for every double: -DBL_MAX takes
// 309 integer digits, NaN and infinity are spelt as glibc spells them.
static void putFixed(double value, size_t width, int precision)
{
  char digits[400];
  char *end =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision).ptr;
  putRight(digits, end - digits, width);
}

static void endLine()
{
  put("\n", 1);
  std::atomic_signal_fence(std::memory_order_release);
  outDone = outDone + lineSize;
  lineSize = 0;
  if (flushEachLine)
    flushLines();
}

// "%20ld  %25.10lf  %-20s  %-20s"
static void putPrefix(int64_t count, const ros::Time &stamp, const rosbag::MessageInstance &m)
{
  putCount(count, 20);
  put("  ", 2);
  putFixed(stamp.toSec(), 25, 10);
  put("  ", 2);
  putLeft(m.getTopic(), 20);
  put("  ", 2);
  putLeft(m.getDataType(), 20);
}

static void putValues(std::initializer_list<double> values, size_t width, int precision)
{
  for (double value : values) {
    put(" ", 1);
    putFixed(value, width, precision);
  }
}

static void putImuLine(int64_t count, const rosbag::MessageInstance &m, const sensor_msgs::Imu &imu)
{
  putPrefix(count, imu.header.stamp, m);
  putValues({imu.orientation.w, imu.orientation.x, imu.orientation.y, imu.orientation.z,
             imu.angular_velocity.x, imu.angular_velocity.y, imu.angular_velocity.z,
             imu.linear_acceleration.x, imu.linear_acceleration.y, imu.linear_acceleration.z},
            12, 6);
  endLine();
}

static void putCloudLine(int64_t count, const rosbag::MessageInstance &m,
                         const sensor_msgs::PointCloud2 &cloud)
{
  putPrefix(count, cloud.header.stamp, m);
  put("  ", 2);
  putCount(cloud.fields.size(), 0);
  for (uint64_t ifield = 0; ifield < cloud.fields.size(); ++ifield) {
    put("  ", 2);
    putLeft(cloud.fields[ifield].name, 0);
  }
  endLine();
}

static void putFixLine(int64_t count, const rosbag::MessageInstance &m,
                       const sensor_msgs::NavSatFix &fix)
{
  putPrefix(count, fix.header.stamp, m);
  putValues({fix.latitude, fix.longitude, fix.altitude}, 13, 8);
  endLine();
}

static void putTimeLine(int64_t count, const rosbag::MessageInstance &m,
                        const sensor_msgs::TimeReference &ref)
{
  putPrefix(count, ref.header.stamp, m);
  putValues({ref.time_ref.toSec()}, 13, 8);
  put(" ", 1);
  putLeft(ref.source, 0);
  endLine();
}

static void putVelocityLine(int64_t count, const rosbag::MessageInstance &m,
                            const geometry_msgs::TwistStamped &vel)
{
  const geometry_msgs::Twist &twist = vel.twist;
  putPrefix(count, vel.header.stamp, m);
  putValues({twist.linear.x, twist.linear.y, twist.linear.z, twist.angular.x, twist.angular.y,
             twist.angular.z},
            13, 8);
  endLine();
}

void listBagMessages(const rosbag::Bag &bag)
{
  sensor_msgs::Imu::ConstPtr imu_data;
  sensor_msgs::PointCloud2::ConstPtr lidar_data;
  sensor_msgs::NavSatFix::ConstPtr gps_pos_data;
  sensor_msgs::TimeReference::ConstPtr gps_pos_time;
  geometry_msgs::TwistStamped::ConstPtr gps_vel_data;
  int64_t count = 0;

  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
  for (const rosbag::MessageInstance m : view) {
    imu_data = m.instantiate<sensor_msgs::Imu>();
    if (imu_data)
      putImuLine(count, m, *imu_data);
    lidar_data = m.instantiate<sensor_msgs::PointCloud2>();
    if (lidar_data)
      putCloudLine(count, m, *lidar_data);
    gps_pos_data = m.instantiate<sensor_msgs::NavSatFix>();
    if (gps_pos_data)
      putFixLine(count, m, *gps_pos_data);
    gps_pos_time = m.instantiate<sensor_msgs::TimeReference>();
    if (gps_pos_time)
      putTimeLine(count, m, *gps_pos_time);
    gps_vel_data = m.instantiate<geometry_msgs::TwistStamped>();
    if (gps_vel_data)
      putVelocityLine(count, m, *gps_vel_data);
    ++count;
  }
}

static void putMessage(std::initializer_list<std::string> parts)
{
  for (const std::string &part : parts)
    put(part.data(), part.size());
  endLine();
}

int main(int argc, char **argv)
{
  ros::init(argc, argv, "tarnwick", 0);
  rosbag::Bag bag;
  std::string bagFileName;  // any length the system takes, so never cut

  flushEachLine = isatty(STDOUT_FILENO);
  struct sigaction onInterrupt = {};
  onInterrupt.sa_handler = Stop;  // no SA_RESTART: a blocked write must see the stop
  sigaction(SIGINT, &onInterrupt, nullptr);

  if (argc <= 1) {
    bool hasName = argc > 0 && argv[0][0] != '\0';
    putMessage({" Usage : ", hasName ? argv[0] : "tarnwick", " xxx.bag"});
    flushLines();
    return -1;
  }
  bagFileName = argv[1];

  try {
    bag.open(bagFileName, rosbag::bagmode::Read);
  } catch (const std::exception &e) {
    putMessage({" Bag file open failed, ", bagFileName, ", msg = ", e.what()});
    flushLines();
    return -2;
  }

  try {
    listBagMessages(bag);
    bag.close();
  } catch (const std::exception &e) {
    // The listing so far stays intact on stdout; the reason goes to stderr.
    lineSize = 0;
    flushLines();
    std::string failure = " Bag file read failed, " + bagFileName + ", msg = " + e.what() + "\n";
    writeAll(STDERR_FILENO, failure.data(), failure.size());
    return -3;
  }
  flushLines();
  return 0;
}
