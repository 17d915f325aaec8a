// The listing's numbers against the C library's printf, on millions of
// doubles: random bit patterns, exact ties at the last printed decimal and
// the special values. The first line that differs fails the test.
#include "tool_runner.h"

#include <geometry_msgs/TwistStamped.h>
#include <gtest/gtest.h>
#include <sensor_msgs/Imu.h>

#include <array>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <random>

namespace {

double fromBits(uint64_t bits)
{
  double value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

std::vector<double> specialValues()
{
  std::vector<double> values = {0.0,
                                -0.0,
                                NAN,
                                -NAN,
                                fromBits(0x7ff0000000000001),
                                fromBits(0xfff8dead00000000),
                                INFINITY,
                                -INFINITY,
                                DBL_MAX,
                                -DBL_MAX,
                                DBL_MIN,
                                -DBL_MIN,
                                DBL_TRUE_MIN,
                                -DBL_TRUE_MIN,
                                DBL_EPSILON,
                                1e300,
                                -1e300,
                                1e22,
                                1e23,
                                9007199254740993.0,
                                0.5,
                                -0.5,
                                0.0000005,
                                0.00000049999999999999999,
                                0.000000005,
                                0.0078125,  // exact ties at 6 decimals: odd multiples of 1/128
                                -0.0234375,
                                0.001953125,  // exact ties at 8 decimals: odd multiples of 1/512
                                999999.9999995,
                                9.99999995,
                                -999999999.99999999,
                                2.5,
                                3.5};
  return values;
}

// Millions of values: a third random bit patterns (every exponent, NaN
// payloads, subnormals), a third exact ties at the 6th and 8th decimal, a
// third decimal-looking values of every magnitude that sensors produce.
std::vector<double> testValues(size_t count)
{
  std::mt19937_64 random(20261209);
  std::vector<double> values = specialValues();
  while (values.size() < count) {
    switch (values.size() % 3) {
      case 0:
        values.push_back(fromBits(random()));
        break;
      case 1: {
        int64_t odd = int64_t(random() % 2000000001) - 1000000000;
        values.push_back(double(odd | 1) / (random() % 2 ? 128 : 512));
        break;
      }
      default: {
        double mantissa = double(int64_t(random() % 2000000001) - 1000000000) * 1e-9;
        values.push_back(mantissa * std::pow(10.0, int(random() % 25) - 12));
      }
    }
  }
  return values;
}

std::string printfLine(int64_t index, const ros::Time &stamp, const char *topic, const char *type,
                       const double *values, int count, const char *valueFormat)
{
  char text[8192];
  int size = snprintf(text, sizeof text, "%20" PRId64 "  %25.10lf  %-20s  %-20s", index,
                      stamp.toSec(), topic, type);
  for (int i = 0; i < count; ++i)
    size += snprintf(text + size, sizeof text - size, valueFormat, values[i]);
  return std::string(text, size) + "\n";
}

std::string hexBits(const double *values, int count)
{
  std::string bits;
  for (int i = 0; i < count; ++i) {
    uint64_t pattern;
    memcpy(&pattern, &values[i], sizeof pattern);
    char hex[24];
    snprintf(hex, sizeof hex, " %016" PRIx64, pattern);
    bits += hex;
  }
  return bits;
}

TEST(Numbers, EveryDoubleAsPrintfWritesIt)
{
  const size_t valueCount = 1500000;
  std::vector<double> values = testValues(valueCount);
  std::mt19937 random(7);
  TempDir dir;
  std::string bagPath = dir.path("numbers.bag");

  // Each value goes once through an IMU column (6 decimals) and once through
  // a velocity column (8 decimals); stamps are random seconds and nanoseconds.
  struct Line {
    bool imu;
    ros::Time stamp;
    std::array<double, 10> values;
  };
  std::vector<Line> lines;
  for (int columns : {10, 6}) {
    for (size_t first = 0; first < values.size(); first += columns) {
      Line line{columns == 10, ros::Time(random(), random() % 1000000000), {}};
      std::copy_n(&values[first], std::min<size_t>(columns, values.size() - first),
                  line.values.begin());
      lines.push_back(line);
    }
  }

  writeBag(bagPath, rosbag::compression::LZ4, [&](rosbag::Bag &bag) {
    for (size_t i = 0; i < lines.size(); ++i) {
      const Line &line = lines[i];
      ros::Time stored(1 + i / 1000, i % 1000 * 1000);
      if (line.imu) {
        sensor_msgs::Imu imu;
        imu.header.stamp = line.stamp;
        double *fields[10] = {&imu.orientation.w,         &imu.orientation.x,
                              &imu.orientation.y,         &imu.orientation.z,
                              &imu.angular_velocity.x,    &imu.angular_velocity.y,
                              &imu.angular_velocity.z,    &imu.linear_acceleration.x,
                              &imu.linear_acceleration.y, &imu.linear_acceleration.z};
        for (int f = 0; f < 10; ++f)
          *fields[f] = line.values[f];
        bag.write("/imu", stored, imu);
      } else {
        geometry_msgs::TwistStamped velocity;
        velocity.header.stamp = line.stamp;
        double *fields[6] = {&velocity.twist.linear.x,  &velocity.twist.linear.y,
                             &velocity.twist.linear.z,  &velocity.twist.angular.x,
                             &velocity.twist.angular.y, &velocity.twist.angular.z};
        for (int f = 0; f < 6; ++f)
          *fields[f] = line.values[f];
        bag.write("/vel", stored, velocity);
      }
    }
  });

  ToolRun run = runTarnwick({bagPath});
  ASSERT_EQ(run.status, 0) << run.err;
  size_t at = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line &line = lines[i];
    int columns = line.imu ? 10 : 6;
    std::string expected = line.imu
                               ? printfLine(i, line.stamp, "/imu", "sensor_msgs/Imu",
                                            line.values.data(), 10, " %12.6lf")
                               : printfLine(i, line.stamp, "/vel", "geometry_msgs/TwistStamped",
                                            line.values.data(), 6, " %13.8lf");
    ASSERT_EQ(run.out.compare(at, expected.size(), expected), 0)
        << "line " << i << ", values" << hexBits(line.values.data(), columns) << "\n"
        << "printf:   " << expected << "tarnwick: " << run.out.substr(at, expected.size());
    at += expected.size();
  }
  EXPECT_EQ(at, run.out.size());
}

}  // namespace
