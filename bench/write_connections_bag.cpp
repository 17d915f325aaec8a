// write_connections_bag: a bag of IMU samples spread round-robin over many
// connections, each message at a stored time of its own, as on a robot that
// records hundreds of topics. For the benchmark of the walk's cost per
// message against the number of connections.
//
//   write_connections_bag OUT.bag MESSAGES CONNECTIONS

#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

int main(int argc, char **argv)
{
  long messages = argc == 4 ? atol(argv[2]) : 0, connections = argc == 4 ? atol(argv[3]) : 0;
  if (messages < 0 || connections <= 0) {
    fprintf(stderr, "usage: %s OUT.bag MESSAGES CONNECTIONS\n", argv[0]);
    return 2;
  }
  try {
    rosbag::Bag bag(argv[1], rosbag::bagmode::Write);
    sensor_msgs::Imu imu;
    imu.orientation.w = 1;
    imu.linear_acceleration.z = 9.80665;
    for (long i = 0; i < messages; ++i) {
      ros::Time stored(1700000000 + i / 1000, (i % 1000) * 1000000);
      imu.header.stamp = stored;
      imu.angular_velocity.z = 1e-4 * (i % 1000);
      bag.write("/sensor" + std::to_string(i % connections) + "/imu", stored, imu);
    }
    bag.close();
  } catch (const std::exception &e) {
    fprintf(stderr, "write_connections_bag: %s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
