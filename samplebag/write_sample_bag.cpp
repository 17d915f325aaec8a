// write_sample_bag: writes a ROS 1 bag such as a vehicle with an IMU, a LiDAR,
// a GPS receiver and a camera would record while driving a wide circle.
//
//   write_sample_bag OUT.bag [--duration S] [--compression none|bz2|lz4]
//                            [--imu-rate HZ] [--lidar-points N] [--camera-rate HZ]
//
// Topics: /imu/data (sensor_msgs/Imu, 200 Hz), /lidar/points
// (sensor_msgs/PointCloud2, 10 Hz, x y z intensity ring time, 16 rings),
// /gps/fix (sensor_msgs/NavSatFix, 5 Hz), /gps/time_reference
// (sensor_msgs/TimeReference, 1 Hz), /gps/vel (geometry_msgs/TwistStamped,
// 5 Hz), and two that a listing passes over: /camera/image_raw
// (sensor_msgs/Image, 640x480 mono8, 10 Hz) and /vehicle/pose (geometry_msgs/TransformStamped,
// 50 Hz). A rate or point count of 0 leaves that stream out. Values are
// deterministic, so two runs write the same messages.

#include <geometry_msgs/TransformStamped.h>
#include <geometry_msgs/TwistStamped.h>
#include <rosbag/bag.h>
#include <sensor_msgs/Image.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <string>

namespace {

const uint64_t startTime = 1700000000;  // 2023-11-14, a plausible recording day
const double speed = 12.0;              // m/s
const double turnRadius = 400.0;        // m
const double yawRate = speed / turnRadius;
const double gravity = 9.80665;
const double originLatitude = 48.1372;
const double originLongitude = 11.5755;
const double metresPerDegree = 111320.0;
const int lidarRings = 16;

std::mt19937 noiseSource(7);

double noise(double sigma)
{
  return std::normal_distribution<double>(0.0, sigma)(noiseSource);
}

// Built from whole nanoseconds, as a driver stamps them.
ros::Time stampAt(double elapsed)
{
  return ros::Time().fromNSec(startTime * 1000000000 + std::llround(elapsed * 1e9));
}

// Recorders store a message a little after its header stamp.
ros::Time storedAt(double elapsed)
{
  return stampAt(elapsed + 0.0004);
}

double yawAt(double elapsed)
{
  return yawRate * elapsed;
}

void writeImu(rosbag::Bag &bag, double elapsed)
{
  sensor_msgs::Imu imu;
  imu.header.stamp = stampAt(elapsed);
  imu.header.frame_id = "imu_link";
  double yaw = yawAt(elapsed);
  imu.orientation.w = std::cos(yaw / 2);
  imu.orientation.z = std::sin(yaw / 2);
  imu.angular_velocity.x = noise(0.002);
  imu.angular_velocity.y = noise(0.002);
  imu.angular_velocity.z = yawRate + noise(0.002);
  imu.linear_acceleration.x = noise(0.05);
  imu.linear_acceleration.y = speed * yawRate + noise(0.05);  // centripetal
  imu.linear_acceleration.z = gravity + noise(0.05);
  imu.orientation_covariance[0] = imu.orientation_covariance[4] = 1e-4;
  imu.orientation_covariance[8] = 1e-4;
  bag.write("/imu/data", storedAt(elapsed), imu);
}

sensor_msgs::PointField field(const char *name, uint32_t offset, uint8_t datatype)
{
  sensor_msgs::PointField pointField;
  pointField.name = name;
  pointField.offset = offset;
  pointField.datatype = datatype;
  pointField.count = 1;
  return pointField;
}

void writeCloud(rosbag::Bag &bag, double elapsed, int points)
{
  sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = stampAt(elapsed);
  cloud.header.frame_id = "lidar_link";
  using sensor_msgs::PointField;
  cloud.fields = {
      field("x", 0, PointField::FLOAT32),    field("y", 4, PointField::FLOAT32),
      field("z", 8, PointField::FLOAT32),    field("intensity", 12, PointField::FLOAT32),
      field("ring", 16, PointField::UINT16), field("time", 18, PointField::FLOAT32)};
  cloud.point_step = 22;
  cloud.height = 1;
  cloud.width = points;
  cloud.row_step = cloud.point_step * cloud.width;
  cloud.is_dense = true;
  cloud.data.resize(cloud.row_step);
  int columns = std::max(1, points / lidarRings);
  for (int i = 0; i < points; ++i) {
    uint16_t ring = i % lidarRings;
    double azimuth = 2 * M_PI * (i / lidarRings) / columns;
    double elevation = (-15.0 + 2.0 * ring) * M_PI / 180;
    // A street: walls 8 m to each side, open ahead and behind.
    double range = std::min(80.0, 8.0 / std::max(0.1, std::fabs(std::sin(azimuth)))) + noise(0.02);
    float point[4] = {float(range * std::cos(elevation) * std::cos(azimuth)),
                      float(range * std::cos(elevation) * std::sin(azimuth)),
                      float(range * std::sin(elevation)), float(20 + 60 * (ring % 3))};
    float time = 0.1f * i / points;
    uint8_t *out = &cloud.data[i * cloud.point_step];
    memcpy(out, point, sizeof point);
    memcpy(out + 16, &ring, sizeof ring);
    memcpy(out + 18, &time, sizeof time);
  }
  bag.write("/lidar/points", storedAt(elapsed), cloud);
}

void writeGps(rosbag::Bag &bag, double elapsed)
{
  double yaw = yawAt(elapsed);
  double north = turnRadius * std::sin(yaw);
  double east = turnRadius * (1 - std::cos(yaw));

  sensor_msgs::NavSatFix fix;
  fix.header.stamp = stampAt(elapsed);
  fix.header.frame_id = "gps_link";
  fix.status.status = sensor_msgs::NavSatStatus::STATUS_FIX;
  fix.status.service = sensor_msgs::NavSatStatus::SERVICE_GPS;
  fix.latitude = originLatitude + (north + noise(0.5)) / metresPerDegree;
  fix.longitude = originLongitude +
                  (east + noise(0.5)) / (metresPerDegree * std::cos(originLatitude * M_PI / 180));
  fix.altitude = 519.0 + noise(1.0);
  fix.position_covariance[0] = fix.position_covariance[4] = 0.25;
  fix.position_covariance[8] = 1.0;
  fix.position_covariance_type = sensor_msgs::NavSatFix::COVARIANCE_TYPE_DIAGONAL_KNOWN;
  bag.write("/gps/fix", storedAt(elapsed), fix);

  geometry_msgs::TwistStamped vel;
  vel.header = fix.header;
  vel.twist.linear.x = speed * std::cos(yaw) + noise(0.05);
  vel.twist.linear.y = speed * std::sin(yaw) + noise(0.05);
  vel.twist.linear.z = noise(0.02);
  vel.twist.angular.z = yawRate;
  bag.write("/gps/vel", storedAt(elapsed), vel);
}

void writeTimeReference(rosbag::Bag &bag, double elapsed)
{
  sensor_msgs::TimeReference ref;
  ref.header.stamp = stampAt(elapsed);
  ref.time_ref = stampAt(elapsed + 18.0);  // GPS time runs ahead of UTC
  ref.source = "gps";
  bag.write("/gps/time_reference", storedAt(elapsed), ref);
}

void writeCamera(rosbag::Bag &bag, double elapsed, int frame)
{
  sensor_msgs::Image image;
  image.header.stamp = stampAt(elapsed);
  image.header.frame_id = "camera";
  image.width = 640;
  image.height = 480;
  image.encoding = "mono8";
  image.step = image.width;
  image.data.resize(image.step * image.height);
  for (size_t i = 0; i < image.data.size(); ++i)
    image.data[i] = uint8_t(i % image.width + frame);
  bag.write("/camera/image_raw", storedAt(elapsed), image);
}

void writePose(rosbag::Bag &bag, double elapsed)
{
  geometry_msgs::TransformStamped pose;
  pose.header.stamp = stampAt(elapsed);
  pose.header.frame_id = "map";
  pose.child_frame_id = "base_link";
  double yaw = yawAt(elapsed);
  pose.transform.translation.x = turnRadius * std::sin(yaw);
  pose.transform.translation.y = turnRadius * (1 - std::cos(yaw));
  pose.transform.rotation.w = std::cos(yaw / 2);
  pose.transform.rotation.z = std::sin(yaw / 2);
  bag.write("/vehicle/pose", storedAt(elapsed), pose);
}

[[noreturn]] void usage(const char *program)
{
  fprintf(stderr,
          "usage: %s OUT.bag [--duration S] [--compression none|bz2|lz4] [--imu-rate HZ] "
          "[--lidar-points N] [--camera-rate HZ]\n",
          program);
  exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 2 || argv[1][0] == '-')
    usage(argv[0]);
  const char *path = argv[1];
  double duration = 10;
  int imuRate = 200;
  int cameraRate = 10;
  int lidarPoints = 28800;  // 16 rings at 0.2 degrees, as a VLP-16 at 10 Hz
  rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc)
      usage(argv[0]);
    std::string option = argv[i], value = argv[i + 1];
    if (option == "--duration")
      duration = atof(value.c_str());
    else if (option == "--imu-rate")
      imuRate = atoi(value.c_str());
    else if (option == "--camera-rate")
      cameraRate = atoi(value.c_str());
    else if (option == "--lidar-points")
      lidarPoints = atoi(value.c_str());
    else if (option == "--compression" && value == "none")
      compression = rosbag::compression::Uncompressed;
    else if (option == "--compression" && value == "bz2")
      compression = rosbag::compression::BZ2;
    else if (option == "--compression" && value == "lz4")
      compression = rosbag::compression::LZ4;
    else
      usage(argv[0]);
  }
  if (duration <= 0 || imuRate < 0 || lidarPoints < 0 || cameraRate < 0)
    usage(argv[0]);

  try {
    rosbag::Bag bag(path, rosbag::bagmode::Write);
    bag.setCompression(compression);
    // All streams share one clock of 1 kHz ticks (or the IMU's, if faster),
    // so every message is written in stored-time order.
    int ticksPerSecond = std::max({1000, imuRate, cameraRate});
    long ticks = std::lround(duration * ticksPerSecond);
    // A stream is due on the tick where its count of messages goes up by one.
    auto every = [&](long tick, long rate) {
      return (tick * rate) % ticksPerSecond < rate;
    };
    int frame = 0;
    for (long tick = 0; tick < ticks; ++tick) {
      double elapsed = double(tick) / ticksPerSecond;
      if (every(tick, imuRate))
        writeImu(bag, elapsed);
      if (every(tick, 50))
        writePose(bag, elapsed);
      if (lidarPoints > 0 && every(tick, 10))
        writeCloud(bag, elapsed, lidarPoints);
      if (every(tick, cameraRate))
        writeCamera(bag, elapsed, frame++);
      if (every(tick, 5))
        writeGps(bag, elapsed);
      if (every(tick, 1))
        writeTimeReference(bag, elapsed);
    }
    bag.close();
  } catch (const std::exception &e) {
    fprintf(stderr, "write_sample_bag: %s: %s\n", path, e.what());
    return 1;
  }
  return 0;
}
