// tarnwick: list the IMU, LiDAR and GPS messages of a ROS 1 bag, one
// fixed-width line each, in the order the messages are stored.
//
// Lines are assembled in a buffer of the tool's own and written with write(2),
// so that a signal handler can hand over every finished line without touching
// stdio. Numbers are converted in integer arithmetic (the C library for the
// rare ones beyond), to the digits printf gives in the C locale at a fraction
// of its cost.

#include <geometry_msgs/TwistStamped.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <console_bridge/console.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

// Exit statuses, as the README and the manual page document them.
enum ExitStatus {
  listedToTheEnd = 0,
  listingWriteFailed = 252,
  bagReadFailed = 253,
  bagOpenFailed = 254,
  usageOrInterrupted = 255,
};

// ---- Output buffer ------------------------------------------------------
//
// Finished lines occupy outBuf[0, outDone); the line being assembled follows
// them up to outDone + lineSize. Only finished lines are ever handed to a
// signal handler, so an interrupted listing ends on a line boundary.
static char outBuf[1 << 16];
static volatile sig_atomic_t outDone;
static size_t lineSize;
static bool flushEachLine;
static bool outputMayStall;  // a pipe, socket or terminal: its reader may stop reading

// While outBuf is being written out, a SIGINT only asks for the stop, so that
// the handler never writes bytes that write(2) has already taken.
static volatile sig_atomic_t flushing;
static volatile sig_atomic_t stopAsked;

// How a failed write of stdout ends the run: the listing's failure line on
// stderr and its own status; for the usage and open-failure lines, their
// status alone.
static std::string writeFailedLine;
static int writeFailedStatus = usageOrInterrupted;
static int failureOutput = STDERR_FILENO;  // where the tool's failure lines go

// Hands size bytes of data to fd and returns how many it took: all of them,
// or fewer when a write failed (error is then its errno) or a stop was asked
// (error EINTR). A non-blocking fd, inherited from the parent, is waited for.
static size_t writeOut(int fd, const char *data, size_t size, int &error)
{
  size_t done = 0;
  error = 0;
  while (done < size && !stopAsked) {
    ssize_t written = write(fd, data + done, size - done);
    if (written >= 0) {
      done += written;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready = {fd, POLLOUT, 0};
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
        error = errno;
        return done;
      }
    } else if (errno != EINTR) {
      error = errno;
      return done;
    }
  }
  if (done < size)
    error = EINTR;
  return done;
}

// After a stop: hands over whole lines of data as far as stdout takes them
// without blocking, so that a stalled reader cannot hold the tool. Pieces of
// at most PIPE_BUF bytes go into a pipe whole once poll says it has room.
// Where write(2) was cut off mid-line, the reader gets graceMs to make room
// for the rest of that line.
static void writeLinesWithoutBlocking(const char *data, size_t size, int graceMs)
{
  int error;
  if (!outputMayStall) {
    writeOut(STDOUT_FILENO, data, size, error);
    return;
  }
  while (size > 0) {
    pollfd ready = {STDOUT_FILENO, POLLOUT, 0};
    if (poll(&ready, 1, graceMs) != 1 || !(ready.revents & POLLOUT))
      return;
    graceMs = 0;
    size_t piece = size < PIPE_BUF ? size : PIPE_BUF;
    while (piece > 0 && data[piece - 1] != '\n')
      --piece;
    if (piece == 0)
      return;  // a line longer than PIPE_BUF could block half-way
    ssize_t written = write(STDOUT_FILENO, data, piece);
    if (written <= 0)
      return;
    data += written;
    size -= written;
  }
}

[[noreturn]] static void listingWriteFailedWith(int error)
{
  if (!writeFailedLine.empty()) {
    std::string line = writeFailedLine + strerror(error) + "\n";
    int ignored;
    writeOut(failureOutput, line.data(), line.size(), ignored);
  }
  _exit(writeFailedStatus);
}

static void flushLines()
{
  flushing = 1;
  int error;
  size_t written = writeOut(STDOUT_FILENO, outBuf, outDone, error);
  if (stopAsked) {
    bool midLine = written > 0 && outBuf[written - 1] != '\n';
    writeLinesWithoutBlocking(outBuf + written, outDone - written, midLine ? 250 : 0);
    _exit(usageOrInterrupted);
  }
  if (error != 0)
    listingWriteFailedWith(error);
  memmove(outBuf, outBuf + outDone, lineSize);
  outDone = 0;
  flushing = 0;
  if (stopAsked)
    _exit(usageOrInterrupted);  // every finished line is out
}

// A SIGINT in the instant between flushLines' check of stopAsked and its
// write(2) would leave that write blocked on a stalled reader: this alarm
// breaks it off a second later.
static void BreakStalledWrite(int) {}

void Stop(int)
{
  if (flushing) {
    stopAsked = 1;
    alarm(1);
    return;
  }
  writeLinesWithoutBlocking(outBuf, outDone, 0);
  _exit(usageOrInterrupted);
}

// ---- Fault containment --------------------------------------------------
//
// What a fault inside the bag library is reported as: the open-failure line
// on stdout while the bag is opened, the read-failure line on stderr after.
static int faultOutput;
static int faultStatus;
static const char *faultLine;  // " Bag file ... failed, <path>, msg = "
static size_t faultLineSize;

// Set only while the bag library runs (opening, stepping the view, decoding,
// closing): a fault anywhere else is the tool's own and must dump core.
static volatile sig_atomic_t inBagLibrary;

// On some damaged bags the bag library reads outside its buffers (an index
// offset beyond its chunk, a field length beyond its record) and dies by
// SIGSEGV or SIGBUS, or stops on an assertion of its own (SIGABRT) when a
// buffer cannot grow. Checking every offset before the library uses it would
// mean a second bag reader, so the fault is contained instead: the finished
// lines go out, one line names the failure, and the status is that of any
// other open or read failure. Only async-signal-safe calls are made here.
static void Fault(int signo)
{
  static const char segv[] = "the bag library read outside its buffers (SIGSEGV): damaged bag\n";
  static const char bus[] = "the bag library read outside its file (SIGBUS): damaged bag\n";
  static const char fpe[] = "the bag library failed on a damaged value (SIGFPE): damaged bag\n";
  static const char abrt[] =
      "the bag library failed an assertion (SIGABRT): damaged bag or out of memory\n";
  if (!inBagLibrary) {
    raise(signo);  // the handler is reset already: the default action, a core dump
    return;
  }
  int error;
  if (!flushing)
    writeLinesWithoutBlocking(outBuf, outDone, 0);
  writeOut(faultOutput, faultLine, faultLineSize, error);
  const char *reason = signo == SIGSEGV  ? segv
                       : signo == SIGBUS ? bus
                       : signo == SIGFPE ? fpe
                                         : abrt;
  writeOut(faultOutput, reason, strlen(reason), error);
  _exit(faultStatus);
}

static void reportFaultsAs(int output, int status, const std::string &line)
{
  faultOutput = output;
  faultStatus = status;
  faultLine = line.c_str();
  faultLineSize = line.size();
}

static const int faultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGABRT};

static void startFaultReports()
{
  static char faultStack[64 * 1024];  // a fault may come from a blown stack
  stack_t altStack = {};
  altStack.ss_sp = faultStack;
  altStack.ss_size = sizeof faultStack;
  sigaltstack(&altStack, nullptr);
  struct sigaction onFault = {};
  onFault.sa_handler = Fault;
  onFault.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigaddset(&onFault.sa_mask, SIGINT);  // Stop would write the same lines again
  for (int signo : faultSignals)
    sigaction(signo, &onFault, nullptr);
}

// ---- Line writers ----------------------------------------------------------
//
// Each writer appends its fields to the line being assembled in outBuf and
// ends the line with endLine, which alone makes it a finished line: a line is
// handed on whole or, on an interrupt, not at all.

// Makes room for size more bytes at the end of the line being assembled
// (size at most a quarter of the buffer).
static void makeRoom(size_t size)
{
  if (outDone > 0)
    flushLines();
  if (lineSize + size > sizeof outBuf) {
    // A line longer than the buffer goes out in pieces.
    outDone = lineSize;
    lineSize = 0;
    flushLines();
  }
}

static inline char *lineEnd(size_t size)
{
  if (outDone + lineSize + size > sizeof outBuf)
    makeRoom(size);
  return outBuf + outDone + lineSize;
}

static void put(const char *text, size_t size)
{
  while (size > 0) {
    size_t piece = std::min(size, sizeof outBuf / 4);
    memcpy(lineEnd(piece), text, piece);
    lineSize += piece;
    text += piece;
    size -= piece;
  }
}

// The widest gap and padding around a field of a listing.
static const size_t maxWidth = 32;

static void putSpaces(size_t count)
{
  memset(lineEnd(count), ' ', count);
  lineSize += count;
}

// Each field below is written with the spaces that precede it in its line's
// format ("  %-20s", " %12.6lf"): one reservation of room per field.

// Like printf's "<gap spaces>%-<width>s": raw bytes up to the first NUL,
// padded on the right.
static void putLeft(const std::string &text, size_t gap, size_t width)
{
  size_t size = strnlen(text.c_str(), text.size());
  size_t pad = size < width ? width - size : 0;
  if (size > sizeof outBuf / 8) {  // only in strange bags; goes out in pieces
    putSpaces(gap);
    put(text.c_str(), size);
    putSpaces(pad);
    return;
  }
  char *out = lineEnd(maxWidth + size + maxWidth);
  memset(out, ' ', maxWidth);  // a fixed size is two stores, not a call
  memcpy(out + gap, text.c_str(), size);
  memset(out + gap + size, ' ', maxWidth);
  lineSize += gap + size + pad;
}

static const uint64_t powersOf10[] = {1,
                                      10,
                                      100,
                                      1000,
                                      10000,
                                      100000,
                                      1000000,
                                      10000000,
                                      100000000,
                                      1000000000,
                                      10000000000,
                                      100000000000,
                                      1000000000000,
                                      10000000000000,
                                      100000000000000,
                                      1000000000000000,
                                      10000000000000000,
                                      100000000000000000,
                                      1000000000000000000,
                                      10000000000000000000u};

static int decimalDigits(uint64_t value)
{
  // log10(2) ~ 1233 / 4096 estimates the count from the bit length, one
  // comparison corrects it: no loop over ten digits of every stamp.
  int bits = 64 - __builtin_clzll(value | 1);
  int digits = (bits * 1233) >> 12;
  return digits + ((value | 1) >= powersOf10[digits]);  // | 1: zero has one digit
}

// Writes the last count (at most 9) decimal digits of value so that they end
// at end. Two digits a step in 32 bits: this is the inner loop of a listing.
static void writeDigits32(char *end, uint32_t value, int count)
{
  static const char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  for (; count >= 2; count -= 2) {
    end -= 2;
    memcpy(end, pairs + 2 * (value % 100), 2);
    value /= 100;
  }
  if (count > 0)
    end[-1] = char('0' + value % 10);
}

// Inlined into every caller: the calls alone cost a twentieth of a
// listing's run time.
__attribute__((always_inline)) static inline void writeDigits(char *end, uint64_t value, int count)
{
  for (; count > 9; count -= 8, end -= 8) {
    writeDigits32(end, uint32_t(value % 100000000), 8);
    value /= 100000000;
  }
  writeDigits32(end, uint32_t(value), count);
}

// Like printf's "<gap spaces>%<width>ld", for counts (never negative).
static void putCount(uint64_t value, size_t gap, size_t width)
{
  size_t size = decimalDigits(value);
  size_t pad = gap + (size < width ? width - size : 0);
  char *out = lineEnd(maxWidth + size);
  memset(out, ' ', maxWidth);
  writeDigits(out + pad + size, value, size);
  lineSize += pad + size;
}

// Like printf's "<gap spaces>%<width>.<precision>lf" for a double below 2^63 in
// magnitude, exactly rounded (ties to even) in integer arithmetic: glibc's own
// conversion took two thirds of a listing's run time. Returns false for the
// doubles it leaves to the general conversion.
static inline bool putFastFixed(double value, size_t gap, size_t width, int precision)
{
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  int biasedExponent = (bits >> 52) & 0x7ff;
  uint64_t mantissa = bits & ((uint64_t(1) << 52) - 1);
  if (biasedExponent == 0x7ff || precision < 1 || precision > 10)
    return false;
  if (biasedExponent == 0)
    biasedExponent = 1;  // subnormal
  else
    mantissa |= uint64_t(1) << 52;
  int shift = 1075 - biasedExponent;  // value = mantissa / 2^shift
  uint64_t whole = 0, fraction = 0;
  if (shift <= 0) {
    if (shift < -10)
      return false;
    whole = mantissa << -shift;
  } else if (shift <= 100) {  // beyond, the value rounds to zero at 10 decimals
    whole = shift < 64 ? mantissa >> shift : 0;
    uint64_t fractionBits = shift < 64 ? mantissa & ((uint64_t(1) << shift) - 1) : mantissa;
    unsigned __int128 scaled = (unsigned __int128)fractionBits * powersOf10[precision];
    unsigned __int128 half = (unsigned __int128)1 << (shift - 1);
    unsigned __int128 rest = scaled & ((half << 1) - 1);
    fraction = uint64_t(scaled >> shift);
    // Rounding goes either way at random in sensor data: no branch for it.
    fraction += (rest > half) | ((rest == half) & fraction & 1);
    if (fraction == powersOf10[precision]) {
      fraction = 0;
      ++whole;
    }
  }

  size_t sign = bits >> 63, wholeDigits = decimalDigits(whole);
  size_t size = sign + wholeDigits + 1 + precision;
  size_t pad = gap + (size < width ? width - size : 0);
  char *out = lineEnd(maxWidth + size);
  memset(out, ' ', maxWidth);
  out += pad;
  *out = '-';  // overwritten by the first digit where there is no sign
  out += sign + wholeDigits;
  writeDigits(out, whole, wholeDigits);
  *out = '.';
  writeDigits(out + 1 + precision, fraction, precision);
  lineSize += pad + size;
  return true;
}

// The same for the doubles beyond (-DBL_MAX takes 309 integer digits, NaN
// and infinity): the C library's own conversion, in the C locale, since the
// tool never sets one. No <charconv>: GCC 7's library lacks it.
static void putLibraryFixed(double value, size_t gap, size_t width, int precision)
{
  char digits[400];
  size_t size = snprintf(digits, sizeof digits, "%.*f", precision, value);
  putSpaces(gap + (size < width ? width - size : 0));
  put(digits, size);
}

// Like printf's "<gap spaces>%<width>.<precision>lf", for every double.
// Inlined where the line's width and precision are constants: a twentieth
// fewer instructions in a listing.
__attribute__((always_inline)) static inline void putFixed(double value, size_t gap, size_t width,
                                                           int precision)
{
  if (!putFastFixed(value, gap, width, precision))
    putLibraryFixed(value, gap, width, precision);
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
  putCount(count, 0, 20);
  putFixed(stamp.toSec(), 2, 25, 10);
  putLeft(m.getTopic(), 2, 20);
  putLeft(m.getDataType(), 2, 20);
}

// " %<width>.<precision>lf" for each value
static void putValues(std::initializer_list<double> values, size_t width, int precision)
{
  for (double value : values)
    putFixed(value, 1, width, precision);
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
  putCount(cloud.fields.size(), 2, 0);
  for (uint64_t ifield = 0; ifield < cloud.fields.size(); ++ifield)
    putLeft(cloud.fields[ifield].name, 2, 0);
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
  putFixed(ref.time_ref.toSec(), 1, 13, 8);
  putLeft(ref.source, 1, 0);
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

// ---- Bounds on decoding ----------------------------------------------------
//
// The message decoder sizes an array to its declared length (allocating and
// zero-filling it, or constructing every element) before it finds that the
// bytes are not there: one damaged 32-bit length took gigabytes and half a
// minute. Strings are safe, their bytes are checked before they are copied,
// so of the five kinds only the cloud, with its data and fields arrays, is at
// risk. While a cloud is decoded, operator new refuses whatever would take
// the decode past four times the cloud's stored size (a 13-byte empty
// PointField takes 48 bytes decoded) and some room for the library's own.
static size_t decodeAllowance;  // bytes the decode may still take; 0: no decode is bounded
static bool decodeRefused;

void *operator new(size_t size)
{
  if (decodeAllowance != 0) {
    if (size >= decodeAllowance) {
      decodeRefused = true;
      throw std::bad_alloc();
    }
    decodeAllowance -= size;
  }
  if (void *memory = malloc(size != 0 ? size : 1))
    return memory;
  throw std::bad_alloc();
}

// Not inlined: GCC would then see free() meet a pointer from new and warn.
__attribute__((noinline)) void operator delete(void *memory) noexcept
{
  free(memory);
}

__attribute__((noinline)) void operator delete(void *memory, size_t) noexcept
{
  free(memory);
}

static sensor_msgs::PointCloud2::ConstPtr instantiateCloud(const rosbag::MessageInstance &m)
{
  if (m.getMD5Sum() != ros::message_traits::md5sum<sensor_msgs::PointCloud2>())
    return nullptr;
  uint32_t storedSize = m.size();
  decodeRefused = false;
  decodeAllowance = 4 * size_t(storedSize) + (64 << 10);
  try {
    sensor_msgs::PointCloud2::ConstPtr cloud = m.instantiate<sensor_msgs::PointCloud2>();
    decodeAllowance = 0;
    return cloud;
  } catch (const std::bad_alloc &) {
    decodeAllowance = 0;
    if (!decodeRefused)
      throw;
    throw std::runtime_error("a length in a " + m.getDataType() + " message exceeds its " +
                             std::to_string(storedSize) + " bytes: damaged bag");
  }
}

// ---- The walk -----------------------------------------------------------
//
// The bag library's view keeps one cursor per connection in a vector sorted
// by the cursors' current times, latest first, so that the next message is at
// the back; after every message it advances the back cursor (or drops it when
// exhausted) and sorts the whole vector again with std::sort. At hundreds of
// connections that sort is nearly all of a listing's time. The walk keeps the
// same cursors, one view per connection, in the same vector, and relies on
// this: while no two cursors hold equal times the sorted vector is unique, so
// the advanced cursor can be moved into place by a binary search; while any
// two are equal, the same std::sort with the same comparison of times alone
// runs on the same vector, and so puts the ties where the view puts them.

// {current time as sec << 32 | nsec, which compares as ros::Time does; index
// of its iterator}. An array, so that moving cursors is a memmove.
using Cursor = std::array<uint64_t, 2>;

static uint64_t timeKey(const ros::Time &time)
{
  return uint64_t(time.sec) << 32 | time.nsec;
}

static bool laterFirst(const Cursor &a, const Cursor &b)
{
  return a[0] > b[0];
}

static size_t countTies(const std::vector<Cursor> &cursors)
{
  size_t ties = 0;
  for (size_t i = 1; i < cursors.size(); ++i)
    ties += cursors[i - 1][0] == cursors[i][0];
  return ties;
}

// Moves the back cursor on to the time of its next message (or, when it is
// exhausted, drops it) and puts it where the view's sort puts it; ties counts
// the equal neighbours in the vector.
static void moveBackCursor(std::vector<Cursor> &cursors, size_t &ties, bool exhausted,
                           const ros::Time &next)
{
  size_t last = cursors.size() - 1;
  if (last > 0 && cursors[last - 1][0] == cursors[last][0])
    --ties;
  if (exhausted)
    cursors.pop_back();
  else
    cursors.back()[0] = timeKey(next);
  if (ties == 0 && !exhausted) {
    Cursor moved = cursors.back();
    auto place = std::lower_bound(cursors.begin(), cursors.end() - 1, moved, laterFirst);
    if (place == cursors.end() - 1 || (*place)[0] != moved[0]) {
      std::copy_backward(place, cursors.end() - 1, cursors.end());
      *place = moved;
      return;
    }
  } else if (ties == 0) {
    return;  // the rest was sorted and has no ties: std::sort would keep it
  }
  std::sort(cursors.begin(), cursors.end(), laterFirst);
  ties = countTies(cursors);
}

void listBagMessages(const rosbag::Bag &bag)
{
  sensor_msgs::Imu::ConstPtr imu_data;
  sensor_msgs::PointCloud2::ConstPtr lidar_data;
  sensor_msgs::NavSatFix::ConstPtr gps_pos_data;
  sensor_msgs::TimeReference::ConstPtr gps_pos_time;
  geometry_msgs::TwistStamped::ConstPtr gps_vel_data;
  int64_t count = 0;

  inBagLibrary = 1;
  // The connections in the order the full view takes them (by id): a query
  // that accepts none is asked about each in turn.
  std::vector<const rosbag::ConnectionInfo *> connections;
  rosbag::View(
      bag,
      [&](const rosbag::ConnectionInfo *connection) {
        connections.push_back(connection);
        return false;
      },
      ros::TIME_MIN, ros::TIME_MAX, false);
  std::vector<std::unique_ptr<rosbag::View>> views;
  std::vector<rosbag::View::iterator> positions, ends;
  std::vector<Cursor> cursors;
  for (const rosbag::ConnectionInfo *connection : connections) {
    auto ofConnection = [connection](const rosbag::ConnectionInfo *c) {
      return c == connection;
    };
    views.emplace_back(new rosbag::View(bag, ofConnection, ros::TIME_MIN, ros::TIME_MAX, false));
    rosbag::View::iterator begin = views.back()->begin(), end = views.back()->end();
    if (begin == end)
      continue;  // no messages: the view holds no cursor for it either
    cursors.push_back({timeKey(begin->getTime()), positions.size()});
    positions.push_back(begin);
    ends.push_back(end);
  }
  std::sort(cursors.begin(), cursors.end(), laterFirst);
  size_t ties = countTies(cursors);

  while (!cursors.empty()) {
    rosbag::View::iterator &it = positions[cursors.back()[1]];
    const rosbag::MessageInstance m = *it;
    // Each line is written with inBagLibrary cleared: the writers are the
    // tool's own code.
    imu_data = m.instantiate<sensor_msgs::Imu>();
    lidar_data = instantiateCloud(m);
    gps_pos_data = m.instantiate<sensor_msgs::NavSatFix>();
    gps_pos_time = m.instantiate<sensor_msgs::TimeReference>();
    gps_vel_data = m.instantiate<geometry_msgs::TwistStamped>();
    inBagLibrary = 0;
    if (imu_data)
      putImuLine(count, m, *imu_data);
    if (lidar_data)
      putCloudLine(count, m, *lidar_data);
    if (gps_pos_data)
      putFixLine(count, m, *gps_pos_data);
    if (gps_pos_time)
      putTimeLine(count, m, *gps_pos_time);
    if (gps_vel_data)
      putVelocityLine(count, m, *gps_vel_data);
    ++count;
    // A cloud can be tens of megabytes: let it go before the next message is
    // decoded, so that a run of clouds holds one at a time, not two.
    lidar_data.reset();
    inBagLibrary = 1;
    ++it;
    bool exhausted = it == ends[cursors.back()[1]];
    moveBackCursor(cursors, ties, exhausted, exhausted ? ros::TIME_MIN : it->getTime());
  }
  inBagLibrary = 0;
}

// ---- Start-up, arguments and exit status -----------------------------------

// The library's reason, but out of memory said in words.
static const char *failureText(const std::exception &e)
{
  return dynamic_cast<const std::bad_alloc *>(&e) ? "out of memory" : e.what();
}

static void putMessage(std::initializer_list<std::string> parts)
{
  for (const std::string &part : parts)
    put(part.data(), part.size());
  endLine();
}

// While the bag library runs, stderr is /dev/null: its plugin loader prints
// rospack's warnings there when the home directory is missing or read-only,
// and the C library an assertion's text, but stderr must hold the tool's own
// failure line alone. Returns the real stderr, for that line.
static int silenceStderr()
{
  int realStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0 && devNull != STDERR_FILENO) {
    dup2(devNull, STDERR_FILENO);
    close(devNull);
  }
  return realStderr;
}

// On some platforms the libraries that the bag library loads block SIGPIPE
// as they start, before main, and `| head` would then end in a write error
// rather than by the signal. How the parent handed SIGPIPE over (its action
// and whether it was blocked) is read from the executable's preinit array,
// which runs before any library's start-up, and put back in main.
static struct sigaction inheritedSigpipe;
static sigset_t inheritedMask;

static void readInheritedSigpipe()
{
  sigaction(SIGPIPE, nullptr, &inheritedSigpipe);
  sigprocmask(SIG_BLOCK, nullptr, &inheritedMask);
}

__attribute__((section(".preinit_array"),
               used)) static void (*const readSigpipeFirst)() = readInheritedSigpipe;

static void setUpSignals()
{
  sigaction(SIGPIPE, &inheritedSigpipe, nullptr);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigprocmask(sigismember(&inheritedMask, SIGPIPE) ? SIG_BLOCK : SIG_UNBLOCK, &pipeSignal, nullptr);
  // Left ignored when the parent ignored it: a background job of a script
  // should not die of a Ctrl-C meant for the script.
  struct sigaction onInterrupt = {};
  sigaction(SIGINT, nullptr, &onInterrupt);
  if (onInterrupt.sa_handler != SIG_IGN) {
    onInterrupt = {};
    onInterrupt.sa_handler = Stop;  // no SA_RESTART: a blocked write must see the stop
    sigaction(SIGINT, &onInterrupt, nullptr);
    struct sigaction onAlarm = {};
    onAlarm.sa_handler = BreakStalledWrite;
    sigaction(SIGALRM, &onAlarm, nullptr);
  }
  // A full file size limit then fails a write with EFBIG, reported like any
  // other write error, rather than killing the tool with a core dump.
  signal(SIGXFSZ, SIG_IGN);
}

int main(int argc, char **argv)
{
  // Where ros::init stood: it would take the remapping arguments away, but it
  // also creates ~/.ros/log, parses the ROS environment, sets parameters on
  // a master and ignores SIGPIPE, and aborts or hangs when any of that goes
  // wrong. Its rule for what it takes away is kept: every argument holding
  // ":=". Not even roscpp's removeROSArgs is called: linking roscpp loads
  // rosconsole, whose start-up runs a log4j.properties found in the working
  // directory (appenders that truncate files or write into stdout).
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i)
    if (!strstr(argv[i], ":="))
      args.push_back(argv[i]);

  setUpSignals();
  struct stat output;
  flushEachLine = isatty(STDOUT_FILENO);
  outputMayStall = fstat(STDOUT_FILENO, &output) != 0 || !S_ISREG(output.st_mode);

  if (args.size() <= 1) {
    bool hasName = !args.empty() && !args[0].empty();
    putMessage({" Usage : ", hasName ? args[0] : "tarnwick", " xxx.bag"});
    flushLines();
    return usageOrInterrupted;
  }
  const std::string bagFileName = args[1];  // any length the system takes, so never cut
  const std::string openFailed = " Bag file open failed, " + bagFileName + ", msg = ";
  const std::string readFailed = " Bag file read failed, " + bagFileName + ", msg = ";

  // The library's own log lines would repeat its exception's text on
  // stderr, which must hold the one failure line alone.
  console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_NONE);
  reportFaultsAs(STDOUT_FILENO, bagOpenFailed, openFailed);
  startFaultReports();
  failureOutput = silenceStderr();

  std::unique_ptr<rosbag::Bag> bag;
  try {
    inBagLibrary = 1;
    bag.reset(new rosbag::Bag);
    bag->open(bagFileName, rosbag::bagmode::Read);
    inBagLibrary = 0;
  } catch (const std::exception &e) {
    inBagLibrary = 0;
    writeFailedStatus = bagOpenFailed;
    putMessage({openFailed, failureText(e)});
    flushLines();
    return bagOpenFailed;
  }

  reportFaultsAs(failureOutput, bagReadFailed, readFailed);
  writeFailedLine = " Listing write failed, " + bagFileName + ", msg = ";
  writeFailedStatus = listingWriteFailed;
  try {
    listBagMessages(*bag);
    inBagLibrary = 1;
    bag->close();
    bag.reset();
    inBagLibrary = 0;
  } catch (const std::exception &e) {
    inBagLibrary = 0;
    // The listing so far stays intact on stdout; the reason goes to stderr.
    lineSize = 0;
    flushLines();
    std::string failure = readFailed + failureText(e) + "\n";
    int ignored;
    writeOut(failureOutput, failure.data(), failure.size(), ignored);
    return bagReadFailed;
  }
  flushLines();
  // As the careful Unix tools do: an output that fails only when closed
  // (NFS, a closed descriptor) fails the listing too.
  if (close(STDOUT_FILENO) != 0 && errno != EINTR)
    listingWriteFailedWith(errno);
  return listedToTheEnd;
}
