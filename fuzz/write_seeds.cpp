// write_seeds: writes the small bags that fuzzing starts from, one per chunk
// compression, into a folder:
//
//   write_seeds DIR        (writes DIR/seed-none.bag, seed-bz2.bag, seed-lz4.bag)
//
// Each holds a few messages of every listed kind and of two other types, in
// chunks of about 1 KiB, so that a mutation can land in any kind of record.

#include <geometry_msgs/TransformStamped.h>
#include <geometry_msgs/TwistStamped.h>
#include <rosbag/bag.h>
#include <sensor_msgs/Image.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <cstdio>
#include <exception>
#include <string>

static void writeSeed(const std::string &path, rosbag::compression::CompressionType compression)
{
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  bag.setChunkThreshold(1024);
  for (uint32_t i = 0; i < 4; ++i) {
    ros::Time stamp(1700000000 + i, 250000000);
    sensor_msgs::Imu imu;
    imu.header.stamp = stamp;
    imu.header.frame_id = "imu";
    imu.orientation.w = 1;
    imu.angular_velocity.z = 0.03;
    imu.linear_acceleration.z = 9.81;
    bag.write("/imu/data", stamp, imu);

    sensor_msgs::PointCloud2 cloud;
    cloud.header.stamp = stamp;
    for (const char *name : {"x", "y", "z", "intensity"}) {
      sensor_msgs::PointField field;
      field.name = name;
      field.offset = cloud.fields.size() * 4;
      field.datatype = sensor_msgs::PointField::FLOAT32;
      field.count = 1;
      cloud.fields.push_back(field);
    }
    cloud.height = 1;
    cloud.width = 4;
    cloud.point_step = 16;
    cloud.row_step = 64;
    cloud.data.assign(64, uint8_t(i));
    bag.write("/lidar/points", stamp, cloud);

    sensor_msgs::NavSatFix fix;
    fix.header.stamp = stamp;
    fix.latitude = 48.1372;
    fix.longitude = 11.5755;
    fix.altitude = 519;
    bag.write("/gps/fix", stamp, fix);

    sensor_msgs::TimeReference reference;
    reference.header.stamp = stamp;
    reference.time_ref = ros::Time(1700000018 + i, 0);
    reference.source = "gps";
    bag.write("/gps/time_reference", stamp, reference);

    geometry_msgs::TwistStamped velocity;
    velocity.header.stamp = stamp;
    velocity.twist.linear.x = 12;
    bag.write("/gps/vel", stamp, velocity);

    sensor_msgs::Image image;
    image.header.stamp = stamp;
    image.width = image.height = image.step = 8;
    image.encoding = "mono8";
    image.data.assign(64, 7);
    bag.write("/camera/image_raw", stamp, image);

    geometry_msgs::TransformStamped pose;
    pose.header.stamp = stamp;
    pose.child_frame_id = "base_link";
    pose.transform.rotation.w = 1;
    bag.write("/vehicle/pose", stamp, pose);
  }
  bag.close();
}

int main(int argc, char **argv)
{
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  try {
    writeSeed(dir + "/seed-none.bag", rosbag::compression::Uncompressed);
    writeSeed(dir + "/seed-bz2.bag", rosbag::compression::BZ2);
    writeSeed(dir + "/seed-lz4.bag", rosbag::compression::LZ4);
  } catch (const std::exception &e) {
    fprintf(stderr, "write_seeds: %s: %s\n", dir.c_str(), e.what());
    return 1;
  }
  return 0;
}
