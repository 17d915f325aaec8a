// write_connections_bag: a bag of messages spread round-robin over many
// connections, each message at a stored time of its own, as on a robot that
// records hundreds of topics. For the benchmarks of the walk's cost per
// message against the number of connections, of memory at millions of
// messages, and of ties.
//
//   write_connections_bag OUT.bag MESSAGES CONNECTIONS [imu|small|tie]
//
// imu (the default): IMU samples. small: time references of a few bytes
// each, for millions of messages in little disk. tie: IMU samples, the last
// two stored at the same time, so that the two connections tie from the
// first message to the last.

#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/TimeReference.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

int main(int argc, char **argv)
{
  bool usable = argc == 4 || argc == 5;
  long messages = usable ? atol(argv[2]) : 0, connections = usable ? atol(argv[3]) : 0;
  std::string kind = argc == 5 ? argv[4] : "imu";
  if (!usable || messages < 0 || connections <= 0 ||
      (kind != "imu" && kind != "small" && kind != "tie")) {
    fprintf(stderr, "usage: %s OUT.bag MESSAGES CONNECTIONS [imu|small|tie]\n", argv[0]);
    return 2;
  }
  try {
    rosbag::Bag bag(argv[1], rosbag::bagmode::Write);
    sensor_msgs::Imu imu;
    imu.orientation.w = 1;
    imu.linear_acceleration.z = 9.80665;
    sensor_msgs::TimeReference reference;
    reference.source = "gps";
    for (long i = 0; i < messages; ++i) {
      long at = kind == "tie" && i == messages - 1 && i > 0 ? i - 1 : i;
      ros::Time stored(1700000000 + at / 1000, (at % 1000) * 1000000);
      std::string topic = "/sensor" + std::to_string(i % connections);
      if (kind == "small") {
        reference.header.stamp = stored;
        reference.time_ref = stored;
        bag.write(topic + "/time", stored, reference);
      } else {
        imu.header.stamp = stored;
        imu.angular_velocity.z = 1e-4 * (i % 1000);
        bag.write(topic + "/imu", stored, imu);
      }
    }
    bag.close();
  } catch (const std::exception &e) {
    fprintf(stderr, "write_connections_bag: %s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
