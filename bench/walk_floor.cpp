// walk_floor: the least work a listing of a bag can do. It walks the bag with
// the same view as tarnwick and decodes the same five kinds, but prints
// nothing, so the benchmark can tell the cost of tarnwick's output apart from
// the bag library's own.
//
//   walk_floor BAG      (prints the number of decoded messages to stderr)

#include <geometry_msgs/TwistStamped.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <cstdio>
#include <exception>

int main(int argc, char **argv)
{
  if (argc != 2) {
    fprintf(stderr, "usage: %s BAG\n", argv[0]);
    return 2;
  }
  try {
    rosbag::Bag bag(argv[1], rosbag::bagmode::Read);
    rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
    long decoded = 0;
    for (rosbag::View::iterator it = view.begin(), end = view.end(); it != end; ++it) {
      const rosbag::MessageInstance m = *it;
      decoded += bool(m.instantiate<sensor_msgs::Imu>());
      decoded += bool(m.instantiate<sensor_msgs::PointCloud2>());
      decoded += bool(m.instantiate<sensor_msgs::NavSatFix>());
      decoded += bool(m.instantiate<sensor_msgs::TimeReference>());
      decoded += bool(m.instantiate<geometry_msgs::TwistStamped>());
    }
    bag.close();
    fprintf(stderr, "%ld\n", decoded);
  } catch (const std::exception &e) {
    fprintf(stderr, "walk_floor: %s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
