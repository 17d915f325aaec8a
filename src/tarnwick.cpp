// tarnwick: list the IMU, LiDAR and GPS messages of a ROS 1 bag, one
// fixed-width line each, in the order the messages are stored.
//
// Lines are assembled in a buffer of the tool's own and written with write(2),
// so that a signal handler can hand over every finished line without touching
// stdio. Numbers are converted in integer arithmetic (the C library for the
// rare ones beyond), to the digits printf gives in the C locale at a fraction
// of its cost. The bag library trusts the bag; tarnwick reads the bag's index
// on the side and checks each message's record against it before the library
// reads the record.

#include <geometry_msgs/TwistStamped.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/NavSatFix.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/TimeReference.h>

#include <bzlib.h>
#include <console_bridge/console.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <roslz4/lz4s.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
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
// signal handler, so an interrupted listing ends on a line boundary. The one
// exception, a line longer than the buffer, goes out in pieces as it is
// assembled (lineInFlight), and a stop waits for its end.
static char outBuf[1 << 16];
static volatile sig_atomic_t outDone;
static size_t lineSize;
static bool flushEachLine;
static bool outputMayStall;  // a pipe, socket or terminal: its reader may stop reading
static volatile sig_atomic_t lineInFlight;
static volatile sig_atomic_t outputEndsALine = 1;  // the last byte stdout took was '\n'

// While outBuf is being written out, or a line is in flight, a stop signal
// only asks for the stop (stopAsked holds its number), so that the handler
// never writes bytes that write(2) has already taken nor cuts a line.
static volatile sig_atomic_t flushing;
static volatile sig_atomic_t stopAsked;
static volatile sig_atomic_t stopsAsked;  // counts them: a second one cuts any wait short

// After a stop, how long a reader may take nothing before the line in
// flight is given up; after a contained fault, before the listed lines are
// given up. A fault gets the longer wait: its lines were listed in full and
// are all the user gets, and a pager or a slow link takes a while, while a
// stop is asked for by a user who waits for it.
static const int stopStallMs = 1000;
static const int faultStallMs = 60000;

// How a failed write of stdout ends the run: the listing's failure line on
// stderr and its own status; for the usage and open-failure lines, their
// status alone.
static std::string writeFailedLine;
static int writeFailedStatus = usageOrInterrupted;
static int failureOutput = STDERR_FILENO;  // where the tool's failure lines go

// Hands size bytes of data to fd and returns how many it took: all of them,
// or fewer when a write failed (error is then its errno) or, if stoppable,
// a stop was asked (error 0). A non-blocking fd, inherited from the parent,
// is waited for.
static size_t writeOut(int fd, const char *data, size_t size, int &error, bool stoppable = true)
{
  size_t done = 0;
  error = 0;
  while (done < size && !(stoppable && stopAsked)) {
    ssize_t written = write(fd, data + done, size - done);
    if (written > 0) {
      done += written;
      if (fd == STDOUT_FILENO)
        outputEndsALine = data[done - 1] == '\n';
    } else if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
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
  return done;
}

// After a stop or a fault: hands data to stdout as far as its reader takes
// it, waiting stallMs each time for room (0: only what it has room for now,
// and then in whole lines). Pieces of at most PIPE_BUF bytes go into a pipe
// whole once poll says it has room, so no write blocks. A stop beyond the
// stops counted so far (stops) cuts the wait short. Returns the bytes taken;
// a file takes them all.
static size_t writeToReader(const char *data, size_t size, int stallMs, int stops)
{
  int error;
  if (!outputMayStall)
    return writeOut(STDOUT_FILENO, data, size, error, false);
  size_t done = 0;
  while (done < size) {
    if (stops != stopsAsked)
      stallMs = 0;
    pollfd ready = {STDOUT_FILENO, POLLOUT, 0};
    int polled = poll(&ready, 1, stallMs);
    if (polled < 0 && errno == EINTR)
      continue;
    if (polled != 1 || !(ready.revents & POLLOUT))
      break;
    size_t piece = std::min(size - done, size_t(PIPE_BUF));
    while (stallMs == 0 && piece > 0 && data[done + piece - 1] != '\n')
      --piece;
    ssize_t written = piece > 0 ? write(STDOUT_FILENO, data + done, piece) : 0;
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      break;
    done += written;
    outputEndsALine = data[done - 1] == '\n';
  }
  return done;
}

// Ends the run after a stop: SIGINT by status 255, SIGTERM and SIGHUP by
// that signal itself, so that a caller sees the process killed.
[[noreturn]] static void endByStop()
{
  if (stopAsked != SIGINT) {
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(stopAsked, &byDefault, nullptr);
    sigset_t signal;
    sigemptyset(&signal);
    sigaddset(&signal, stopAsked);
    sigprocmask(SIG_UNBLOCK, &signal, nullptr);
    raise(stopAsked);
  }
  _exit(usageOrInterrupted);
}

// After a stop, the finished lines in data go out: the rest of a line that
// write(2) cut off is waited for, the whole lines after it only as far as the
// reader takes them without a wait, so that a stalled reader cannot hold the
// tool.
[[noreturn]] static void finishAfterStop(const char *data, size_t size)
{
  size_t done = 0;
  if (!outputEndsALine) {
    const char *end = static_cast<const char *>(memchr(data, '\n', size));
    size_t rest = end ? end - data + 1 : size;
    done = writeToReader(data, rest, stopStallMs, stopsAsked);
    if (done < rest)
      endByStop();
  }
  writeToReader(data + done, size - done, 0, stopsAsked);
  endByStop();
}

[[noreturn]] static void listingWriteFailedWith(int error)
{
  if (!writeFailedLine.empty()) {
    std::string line = writeFailedLine + strerror(error) + "\n";
    int ignored;
    writeOut(failureOutput, line.data(), line.size(), ignored, false);
  }
  _exit(writeFailedStatus);
}

static void flushLines()
{
  flushing = 1;
  int error;
  size_t written = writeOut(STDOUT_FILENO, outBuf, outDone, error);
  if (stopAsked && !lineInFlight)
    finishAfterStop(outBuf + written, outDone - written);
  if (stopAsked && error == 0 && written < size_t(outDone)) {
    // A stop while a line is in flight: the line goes on to a reader that reads.
    written += writeToReader(outBuf + written, outDone - written, stopStallMs, stopsAsked);
    if (written < size_t(outDone))
      endByStop();
  }
  if (error != 0)
    listingWriteFailedWith(error);
  memmove(outBuf, outBuf + outDone, lineSize);
  outDone = 0;
  flushing = 0;
}

// A stop signal in the instant between flushLines' check of stopAsked and its
// write(2) would leave that write blocked on a stalled reader: this alarm
// breaks it off a second later.
static void BreakStalledWrite(int) {}

void Stop(int signo)
{
  ++stopsAsked;
  if (!stopAsked)
    stopAsked = signo;
  if (flushing || lineInFlight) {
    alarm(1);
    return;
  }
  finishAfterStop(outBuf, outDone);
}

// ---- Fault containment --------------------------------------------------
//
// What a fault inside the bag library is reported as: the open-failure line
// on stdout while the bag is opened, the read-failure line on stderr after.
static int faultOutput;
static int faultStatus;
static const char *faultLine;  // " Bag file ... failed, <path>, msg = "
static size_t faultLineSize;

static const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Set only while the bag library runs (opening, stepping the view, decoding,
// closing): a fault anywhere else is the tool's own and must dump core.
static volatile sig_atomic_t inBagLibrary;

// On some damaged bags the bag library reads outside its buffers (a field
// length beyond its record, an index it reads while opening the bag) and dies
// by SIGSEGV or SIGBUS, or stops on an assertion of its own (SIGABRT) when a
// buffer cannot grow. The walk checks each message's place and length against
// the bag's index first (below), but checking everything the library reads
// would mean a second bag reader, so the fault is contained instead: the
// finished lines go out, one line names the failure, and the status is that
// of any other open or read failure. Only async-signal-safe calls are made
// here.
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
  // Every listed line reaches a reader that is still reading, however
  // slowly; from here on a stop signal only cuts the wait short, a stop that
  // came with the fault and was held back until here among them.
  flushing = 1;
  int stopsBefore = stopsAsked;
  sigset_t stops;
  sigemptyset(&stops);
  for (int stop : stopSignals)
    sigaddset(&stops, stop);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  writeToReader(outBuf, outDone, faultStallMs, stopsBefore);
  int error;
  writeOut(faultOutput, faultLine, faultLineSize, error, false);
  const char *reason = signo == SIGSEGV  ? segv
                       : signo == SIGBUS ? bus
                       : signo == SIGFPE ? fpe
                                         : abrt;
  writeOut(faultOutput, reason, strlen(reason), error, false);
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
  for (int stop : stopSignals)
    sigaddset(&onFault.sa_mask, stop);  // Stop would write the same lines again
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
    lineInFlight = 1;
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

// Control bytes in a bag's strings would forge lines (a newline) or drive
// the user's terminal (ESC, BEL, CR): each C0 byte and DEL is written as '?',
// one for one, so that widths stay. Every string from a bag passes here; all
// other bytes, valid UTF-8 or not, are written as they are. Written so that
// the compiler makes it a vector loop: topics and type names pass on every
// line.
static void showControlBytes(char *text, size_t size)
{
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = text[i];
    text[i] = c < 0x20 || c == 0x7f ? '?' : c;
  }
}

static void put(const char *text, size_t size, bool fromBag = false)
{
  while (size > 0) {
    size_t piece = std::min(size, sizeof outBuf / 4);
    char *out = lineEnd(piece);
    memcpy(out, text, piece);
    if (fromBag)
      showControlBytes(out, piece);
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

// Like printf's "<gap spaces>%-<width>s" for a string from the bag: its
// bytes up to the first NUL, control bytes shown, padded on the right.
static void putLeft(const std::string &text, size_t gap, size_t width)
{
  size_t size = strnlen(text.c_str(), text.size());
  size_t pad = size < width ? width - size : 0;
  if (size > sizeof outBuf / 8) {  // only in strange bags; goes out in pieces
    putSpaces(gap);
    put(text.c_str(), size, true);
    putSpaces(pad);
    return;
  }
  char *out = lineEnd(maxWidth + size + maxWidth);
  memset(out, ' ', maxWidth);  // a fixed size is two stores, not a call
  memcpy(out + gap, text.c_str(), size);
  showControlBytes(out + gap, size);
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
  lineInFlight = 0;
  if (flushEachLine || stopAsked)
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
// minute. Strings are checked against the record's data length before they
// are copied, and that length is checked against the bag's index first
// (below), so of the five kinds only the cloud, with its data and fields
// arrays, is at risk. While a cloud is decoded, operator new refuses whatever
// would take the decode past four times its stored size (a 13-byte empty
// PointField takes 48 bytes decoded) and some room for the library's own.
static size_t decodeAllowance;  // bytes the decode may still take; 0: no decode is bounded
static bool decodeRefused;

// Not inlined, like the two below: GCC would then see free() meet a pointer
// from malloc() through new and delete, and warn.
__attribute__((noinline)) void *operator new(size_t size)
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

__attribute__((noinline)) void operator delete(void *memory) noexcept
{
  free(memory);
}

__attribute__((noinline)) void operator delete(void *memory, size_t) noexcept
{
  free(memory);
}

// Decodes m as T. Its record was read as the library reads it, and found to
// fit its chunk, when the bag's index was read (below). The library copies
// the record's data into a stream that ends where data does, and refuses a
// longer one before it copies; the message decoder then reads that copy. One
// look at the record, as instantiate takes; a second only for a message
// larger than any before it, data then growing to its size.
template <class T>
static boost::shared_ptr<const T> decode(const rosbag::MessageInstance &m,
                                         std::vector<uint8_t> &data)
{
  ros::serialization::OStream copy(data.data(), data.size());
  try {
    m.write(copy);
  } catch (const ros::serialization::StreamOverrunException &) {
    data.resize(m.size());
    copy = ros::serialization::OStream(data.data(), data.size());
    m.write(copy);
  }
  ros::serialization::IStream decoded(data.data(), copy.getData() - data.data());
  boost::shared_ptr<T> message = boost::make_shared<T>();
  ros::serialization::deserialize(decoded, *message);
  return message;
}

// A cloud, tens of megabytes, is decoded where the library holds it, under a
// bound that is disarmed on every way out, exceptions included: armed, it
// would refuse the next allocation anywhere.
static sensor_msgs::PointCloud2::ConstPtr decodeCloud(const rosbag::MessageInstance &m)
{
  uint32_t storedSize = m.size();
  try {
    decodeRefused = false;
    decodeAllowance = 4 * size_t(storedSize) + (64 << 10);
    std::unique_ptr<size_t, void (*)(size_t *)> disarm(&decodeAllowance,
                                                       [](size_t *allowance) { *allowance = 0; });
    return m.instantiate<sensor_msgs::PointCloud2>();
  } catch (const std::bad_alloc &) {
    if (!decodeRefused)
      throw;
    throw std::runtime_error("a length in a " + m.getDataType() + " message exceeds its " +
                             std::to_string(storedSize) + " bytes: damaged bag");
  }
}

// ---- The bag's index, read on the side -------------------------------------
//
// The bag library reads a message at the offset that its index gives, by the
// lengths in the record there, and checks neither against the chunk that
// holds it: a record that claims more than its chunk has makes it list heap
// bytes from past its buffer, or bytes of an earlier chunk. It keeps its
// chunk sizes to itself, so the tool reads the bag as the library does while
// opening it (the file header, the index section, each chunk's header and
// the index records after it) and then each chunk's records as the library
// will read them: each message has a room, the bytes from its record to the
// next record of its chunk or the chunk's end, and the headers and data that
// the library reads there must lie within it. A record that does not is
// refused when the walk comes to it, so that the lines before it stay.

// Why a message's record cannot be read safely: it starts too near the end
// of its room for its header, its data runs past the room, it is not a
// message record at all, or its chunk could not be read here (the library
// is then left to fail on it first).
enum class RecordDamage : uint8_t { none, outside, claimsTooMuch, notARecord, unchecked };

// The earliest damaged record of a connection, the only one of its records
// that the walk can come to. Known by its stored time alone: the walk refuses
// the connection's first message stored then, which is the damaged one or a
// tie of it (two messages of one connection stored at the same time).
struct Damage {
  uint64_t time;
  RecordDamage what;
  uint32_t claimed;    // claimsTooMuch: the data length the record claims
  std::string reason;  // unchecked: why, when the library reads the chunk after all
};
using DamageOf = std::map<uint32_t, Damage>;  // by connection id

// An entry of an index record, as read: which connection's message, stored
// when, and where in its chunk (in a format 1.2 bag, in the file).
struct IndexEntry {
  uint32_t connection;
  uint64_t time;
  uint64_t offset;
};

// The bag's file as the index reader walks it: at is the read position.
struct BagFile {
  int fd;
  uint64_t size;
  uint64_t at;
};

static const char indexDamaged[] = "the bag's index does not match its records: damaged bag";

static bool readInto(const BagFile &file, uint64_t offset, uint64_t size, char *into)
{
  for (uint64_t done = 0; done < size;) {
    ssize_t got = pread(file.fd, into + done, size - done, offset + done);
    if (got <= 0 && !(got < 0 && errno == EINTR))
      return false;
    done += std::max(got, ssize_t(0));
  }
  return true;
}

// Reads size bytes at offset, through a window of the file: the index comes
// in records of a few bytes each, thousands of them at many connections. The
// bytes stay until the next call.
static std::string_view readAt(const BagFile &file, uint64_t offset, uint64_t size)
{
  static std::string window;
  static uint64_t windowAt;
  if (offset > file.size || size > file.size - offset)
    throw std::runtime_error(indexDamaged);
  if (offset < windowAt || offset + size > windowAt + window.size()) {
    window.assign(std::min(std::max<uint64_t>(size, 1 << 16), file.size - offset), '\0');
    windowAt = offset;
    if (!readInto(file, offset, window.size(), &window[0]))
      throw std::runtime_error(indexDamaged);
  }
  return std::string_view(window).substr(offset - windowAt, size);
}

static uint64_t numberAt(std::string_view bytes, size_t at, size_t size)
{
  uint64_t number = 0;
  memcpy(&number, bytes.data() + at, size);  // little-endian, as the bag
  return number;
}

// The value of a record header's field ("name=value" entries, each behind a
// 32-bit length); the last one, as the library keeps it.
static std::string fieldOf(std::string_view header, std::string_view name)
{
  std::string value;
  for (size_t at = 0; at + 4 <= header.size();) {
    size_t size = std::min<size_t>(numberAt(header, at, 4), header.size() - at - 4);
    if (size > name.size() && header.substr(at + 4, name.size()) == name &&
        header[at + 4 + name.size()] == '=')
      value = header.substr(at + 5 + name.size(), size - name.size() - 1);
    at += 4 + size;
  }
  return value;
}

static uint64_t numberField(std::string_view header, std::string_view name, size_t size)
{
  std::string value = fieldOf(header, name);
  if (value.size() != size)
    throw std::runtime_error(indexDamaged);
  return numberAt(value, 0, size);
}

// Reads the header behind a 32-bit length at the read position and moves past it.
static std::string headerAt(BagFile &file)
{
  uint64_t size = numberAt(readAt(file, file.at, 4), 0, 4);
  std::string header(readAt(file, file.at + 4, size));
  file.at += 4 + size;
  return header;
}

// Reads the count index entries of an index record's data, entrySize bytes
// each (seconds, nanoseconds, then the offset), as the library does: by the
// count, whatever the data length says.
static void readEntries(BagFile &file, uint64_t count, size_t entrySize, uint32_t connection,
                        std::vector<IndexEntry> &entries)
{
  std::string_view bytes = readAt(file, file.at + 4, count * entrySize);
  file.at += 4 + count * entrySize;
  for (size_t at = 0; at < bytes.size(); at += entrySize) {
    // As ros::Time normalises it.
    uint64_t sec = numberAt(bytes, at, 4), nsec = numberAt(bytes, at + 4, 4);
    uint64_t time = (sec + nsec / 1000000000) << 32 | nsec % 1000000000;
    entries.push_back({connection, time, numberAt(bytes, at + 8, entrySize - 8)});
  }
}

// The records of a chunk as the library holds them once it has read the
// chunk: in memory (bytes), or where they lie in the file (from base); size
// bytes of them. A format 1.2 bag is one such run of records in the file.
struct Records {
  const char *bytes;
  const BagFile *file;
  uint64_t base;
  uint64_t size;
};

static std::string_view recordBytes(const Records &records, uint64_t at, uint64_t size)
{
  return records.bytes ? std::string_view(records.bytes + at, size)
                       : readAt(*records.file, records.base + at, size);
}

struct RecordCheck {
  RecordDamage what;
  uint32_t dataSize;
};

// What the library finds at a message's offset: record headers (each a
// 32-bit length, "name=value" fields, then the data's 32-bit length), past
// those of definition records and, in format 2.0, connection records, whose
// data it reads as the next header, to a message's. Its header keeps the
// last op field seen across them all. Read here as it reads them, except
// that every byte must lie before roomEnd, fields inside their header, or
// the record is damaged: past either the library would read what is not
// the record's.
static RecordCheck checkRecord(const Records &records, uint64_t at, uint64_t roomEnd,
                               bool version102)
{
  int op = -1;  // the op field's byte; -1: none yet, -2: a value of another size
  for (;;) {
    if (roomEnd < at || roomEnd - at < 8)
      return {RecordDamage::outside, 0};
    uint64_t headerSize = numberAt(recordBytes(records, at, 4), 0, 4);
    if (headerSize > roomEnd - at - 8)
      return {RecordDamage::outside, 0};
    std::string_view header = recordBytes(records, at + 4, headerSize);
    for (size_t field = 0; field < header.size();) {
      if (header.size() - field < 4)
        return {RecordDamage::outside, 0};
      size_t size = numberAt(header, field, 4);
      if (size > header.size() - field - 4)
        return {RecordDamage::outside, 0};
      // A field's name ends at its first '='.
      const char *text = header.data() + field + 4;
      if (size >= 3 && memcmp(text, "op=", 3) == 0)
        op = size == 4 ? uint8_t(text[3]) : -2;
      else if (!memchr(text, '=', size))
        return {RecordDamage::notARecord, 0};
      field += 4 + size;
    }
    uint32_t dataSize = numberAt(recordBytes(records, at + 4 + headerSize, 4), 0, 4);
    at += 8 + headerSize;
    const int messageDefinition = 0x01, message = 0x02, connection = 0x07;
    if (op == messageDefinition || (op == connection && !version102))
      continue;
    if (op != message)
      return {RecordDamage::notARecord, 0};
    if (dataSize > roomEnd - at)
      return {RecordDamage::claimsTooMuch, dataSize};
    return {RecordDamage::none, dataSize};
  }
}

static void noteDamage(DamageOf &damageOf, uint32_t connection, uint64_t time, RecordCheck check,
                       const std::string &reason)
{
  auto known = damageOf.find(connection);
  if (known == damageOf.end() || time < known->second.time)
    damageOf[connection] = {time, check.what, check.dataSize, reason};
}

// Checks the records of one chunk's entries, or of a whole format 1.2 bag's,
// each within its room up to the next record or the end of records. Where the
// chunk could not be read, unreadable says why. The library leaves out
// messages stored at time 0 (before ros::TIME_MIN): it never reads them.
// The entries are sorted in place by offset, the order of the records in
// memory, so that each record's room ends at the next entry's offset.
static void checkRecords(std::vector<IndexEntry> &entries, const Records &records, bool version102,
                         const std::string *unreadable, DamageOf &damageOf)
{
  auto byOffset = [](const IndexEntry &a, const IndexEntry &b) {
    return a.offset < b.offset;
  };
  if (!std::is_sorted(entries.begin(), entries.end(), byOffset))
    std::sort(entries.begin(), entries.end(), byOffset);
  size_t next = 0;  // the first entry at an offset above the current one
  for (const IndexEntry &entry : entries) {
    if (entry.time == 0)
      continue;
    if (unreadable) {
      noteDamage(damageOf, entry.connection, entry.time, {RecordDamage::unchecked, 0}, *unreadable);
      continue;
    }
    while (next < entries.size() && entries[next].offset <= entry.offset)
      ++next;
    uint64_t roomEnd =
        next == entries.size() ? records.size : std::min(entries[next].offset, records.size);
    RecordCheck check = checkRecord(records, entry.offset, roomEnd, version102);
    if (check.what != RecordDamage::none)
      noteDamage(damageOf, entry.connection, entry.time, check, "");
  }
}

struct Unmap {
  size_t size;
  void operator()(char *at) const
  {
    munmap(at, size);
  }
};

// Buffers for a chunk's bytes as stored and as decompressed, kept from one
// chunk to the next; never filled beyond what the chunk holds, so that a
// header's claim of gigabytes costs address space, not memory.
struct ChunkBuffers {
  std::unique_ptr<char[]> stored, decompressed;
  size_t storedSize = 0, decompressedSize = 0;
  std::unique_ptr<char, Unmap> mapping{nullptr, Unmap{0}};  // of the last chunk's data
};

// size bytes of the file at offset, mapped rather than copied: an
// uncompressed bag's records pass here, gigabytes of them. Null where the
// file cannot be mapped.
static const char *mapped(const BagFile &file, uint64_t offset, uint64_t size,
                          ChunkBuffers &buffers)
{
  buffers.mapping.reset();
  uint64_t page = sysconf(_SC_PAGESIZE), start = offset - offset % page;
  if (size == 0)
    return nullptr;
  void *at = mmap(nullptr, offset + size - start, PROT_READ, MAP_SHARED, file.fd, start);
  if (at == MAP_FAILED)
    return nullptr;
  buffers.mapping =
      std::unique_ptr<char, Unmap>(static_cast<char *>(at), Unmap{size_t(offset + size - start)});
  return buffers.mapping.get() + (offset - start);
}

static char *bufferOf(std::unique_ptr<char[]> &buffer, size_t &capacity, size_t size)
{
  if (size > capacity) {
    buffer.reset();
    capacity = 0;
    buffer.reset(new char[size]);
    capacity = size;
  }
  return buffer.get();
}

// The records of the chunk whose header and data (dataSize bytes at dataAt)
// these are, as the library holds them: an uncompressed chunk as it lies in
// the file; the others decompressed with the calls that the library makes,
// into a buffer of the size their header claims. Of that buffer only what
// the data decompresses to is the chunk's: a bz2 chunk that claims more
// leaves the rest of the library's buffer as it was. Returns false where
// the chunk cannot be read (the library then fails on it too), with a reason
// of the tool's own in unreadable if it has one.
static bool readChunk(const BagFile &file, const std::string &header, uint64_t dataAt,
                      uint32_t dataSize, ChunkBuffers &buffers, Records &records,
                      std::string &unreadable)
{
  std::string compression = fieldOf(header, "compression");
  unreadable.clear();
  if (dataAt > file.size || dataSize > file.size - dataAt)
    return false;
  const char *inFile = mapped(file, dataAt, dataSize, buffers);
  if (compression == "none") {
    records = {inFile, &file, dataAt, dataSize};
    return true;
  }
  if (compression != "lz4" && compression != "bz2")
    return false;
  unsigned int claimed = numberField(header, "size", 4), size = claimed;
  try {
    // The decompressors take their input as char *, and only read it.
    char *stored = const_cast<char *>(inFile);
    if (!stored) {
      stored = bufferOf(buffers.stored, buffers.storedSize, dataSize);
      if (!readInto(file, dataAt, dataSize, stored))
        return false;
    }
    char *decompressed = bufferOf(buffers.decompressed, buffers.decompressedSize, claimed);
    // The decompressors take the bag's bytes as the library's own code does:
    // a fault in them is contained alike.
    inBagLibrary = 1;
    bool done =
        compression == "lz4"
            ? roslz4_buffToBuffDecompress(stored, dataSize, decompressed, &size) == ROSLZ4_OK &&
                  size == claimed
            : BZ2_bzBuffToBuffDecompress(decompressed, &size, stored, dataSize, 0, 0) == BZ_OK;
    inBagLibrary = 0;
    if (!done)
      return false;
    records = {decompressed, nullptr, 0, size};
    return true;
  } catch (const std::bad_alloc &) {
    unreadable = "out of memory";
    return false;
  }
}

// Where the walk comes to a damaged record of a listed message, before the
// library reads it.
static void refuseDamagedRecord(const rosbag::MessageInstance &m, const Damage &damage)
{
  switch (damage.what) {
    case RecordDamage::outside:
      throw std::runtime_error("the bag's index puts a " + m.getDataType() +
                               " message outside its chunk: damaged bag");
    case RecordDamage::claimsTooMuch:
      throw std::runtime_error("a " + m.getDataType() + " message claims " +
                               std::to_string(damage.claimed) +
                               " bytes, more than its chunk holds: damaged bag");
    case RecordDamage::unchecked:
      m.size();  // the library's own reason, as it fails to read the chunk
      if (!damage.reason.empty())
        throw std::runtime_error(damage.reason);
      break;
    case RecordDamage::notARecord:
    case RecordDamage::none:
      break;
  }
  throw std::runtime_error(indexDamaged);
}

// Where the file header starts: the library reads the version line with
// fgets into 1,024 bytes, so it ends at its newline or after 1,023 bytes.
static uint64_t fileHeaderAt(const BagFile &file)
{
  std::string_view versionLine = readAt(file, 0, std::min<uint64_t>(1023, file.size));
  size_t newline = versionLine.find('\n');
  return newline == std::string::npos ? versionLine.size() : newline + 1;
}

static BagFile bagFileOf(int fd)
{
  struct stat status;
  if (fstat(fd, &status) != 0)
    throw std::runtime_error(std::string("cannot read the bag's index: ") + strerror(errno));
  return {fd, uint64_t(status.st_size), 0};
}

// The encryptor that the bag's file header names, if any ("" where the header
// cannot be read: the library then says why).
static std::string encryptorOf(int fd)
{
  try {
    BagFile file = bagFileOf(fd);
    file.at = fileHeaderAt(file);
    return fieldOf(headerAt(file), "encryptor");
  } catch (const std::exception &) {
    return "";
  }
}

// gpg's own home folder, where a key to decrypt a bag would be: without it,
// the library's encryptor would have gpg create it and start an agent that
// outlives the tool, for a bag that cannot be decrypted anyway.
static bool gnupgHomeExists()
{
  const char *gnupgHome = getenv("GNUPGHOME");
  const char *home = getenv("HOME");
  if (!home || !*home) {
    const passwd *user = getpwuid(getuid());
    home = user ? user->pw_dir : nullptr;
  }
  std::string folder = gnupgHome && *gnupgHome ? gnupgHome
                       : home                  ? std::string(home) + "/.gnupg"
                                               : "";
  struct stat status;
  return !folder.empty() && stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A chunk as the walk checks it, when it comes to the earliest time that
// the chunk's index gives (time 0 aside): where the chunk is, and where its
// index records are.
struct ChunkPlace {
  uint64_t firstTime;
  uint64_t position;
  uint64_t indexAt;
  size_t indexRecords;
};

// A connection's stored times (as timeKey makes them) in order, four bytes a
// message: each as its step from the one before (the first's from 0) or,
// where the step does not fit in 32 bits, wideStep and the time itself in
// wide. Messages of one connection mostly come less than a second apart,
// and 2^32 is a second past the same nanosecond.
struct StoredTimes {
  std::vector<uint32_t> steps;
  std::vector<uint64_t> wide;
  uint64_t last = 0;
  bool inOrder = true;
};
static const uint32_t wideStep = UINT32_MAX;

static void appendTime(StoredTimes &times, uint64_t time)
{
  uint64_t step = time - times.last;
  times.inOrder = times.inOrder && time >= times.last;
  if (step < wideStep) {
    times.steps.push_back(uint32_t(step));
  } else {
    times.steps.push_back(wideStep);
    times.wide.push_back(time);
  }
  times.last = time;
}

// Reads a connection's stored times one after another.
struct TimesReader {
  const StoredTimes *times;
  size_t next, nextWide;
  uint64_t time;
};

static uint64_t readTime(TimesReader &reader)
{
  uint32_t step = reader.times->steps[reader.next++];
  reader.time = step == wideStep ? reader.times->wide[reader.nextWide++] : reader.time + step;
  return reader.time;
}

// Puts a connection's times in the library's order (by time, ties in the
// order read) where the bag did not store them so, and gives back what the
// index promised beyond what it holds.
static void putInOrder(StoredTimes &times)
{
  if (!times.inOrder) {
    std::vector<uint64_t> all;
    all.reserve(times.steps.size());
    for (TimesReader reader{&times, 0, 0, 0}; reader.next < times.steps.size();)
      all.push_back(readTime(reader));
    std::stable_sort(all.begin(), all.end());
    times = StoredTimes();
    for (uint64_t time : all)
      appendTime(times, time);
  }
  if (times.steps.capacity() > times.steps.size() + times.steps.size() / 8)
    times.steps.shrink_to_fit();
  times.wide.shrink_to_fit();
}

// The bag's index as the walk uses it: the stored times of each
// connection's messages, the chunks by their first times, and the damaged
// records found in those checked so far.
struct BagIndex {
  BagFile file;
  std::map<uint32_t, StoredTimes> timesOf;
  uint64_t leftOut = 0;  // messages stored at time 0, which the library leaves out
  std::vector<ChunkPlace> chunks;
  size_t chunksChecked = 0;
  ChunkBuffers buffers;
  DamageOf damageOf;
};

// Makes room in advance for the messages that the index promises each
// connection, within what the file can hold (an entry takes entrySize
// bytes of it), so that the lists never grow by doubling.
static void reserveMessages(BagIndex &index, const std::map<uint32_t, uint64_t> &promised,
                            size_t entrySize)
{
  uint64_t left = index.file.size / entrySize;
  for (const auto &connection : promised) {
    uint64_t count = std::min(connection.second, left);
    index.timesOf[connection.first].steps.reserve(count);
    left -= count;
  }
}

// Files the entries read under their connections; returns the earliest
// time among them, time 0 aside (UINT64_MAX if none).
static uint64_t fileMessages(std::vector<IndexEntry> &entries, BagIndex &index)
{
  uint64_t firstTime = UINT64_MAX;
  StoredTimes *times = nullptr;
  uint32_t timesOf = 0;  // the connection whose times times points to
  for (const IndexEntry &entry : entries) {
    if (entry.time == 0) {
      ++index.leftOut;
      continue;
    }
    if (!times || timesOf != entry.connection) {
      times = &index.timesOf[entry.connection];
      timesOf = entry.connection;
    }
    appendTime(*times, entry.time);
    firstTime = std::min(firstTime, entry.time);
  }
  return firstTime;
}

// Reads the index records that follow a chunk's data.
static void readChunkEntries(BagFile &file, size_t indexRecords, std::vector<IndexEntry> &entries)
{
  for (size_t i = 0; i < indexRecords; ++i) {
    std::string indexHeader = headerAt(file);
    readEntries(file, numberField(indexHeader, "count", 4), 12, numberField(indexHeader, "conn", 4),
                entries);
  }
}

// Reads the index of the bag open as fd as the library reads it. A format
// 1.2 bag's records are checked here; a 2.0 bag's chunks as the walk comes
// to them, so that the first lines come at once.
static void readBagIndex(int fd, BagIndex &index)
{
  BagFile &file = index.file;
  file = bagFileOf(fd);
  // The library has read the version line already (up to a NUL, as a C
  // string) and accepts no other than 1.2 and 2.0.
  file.at = fileHeaderAt(file);
  int major = 0, minor = 0;
  char kind[1024];
  sscanf(std::string(readAt(file, 0, file.at)).c_str(), "#ROS%1023s V%d.%d", kind, &major, &minor);
  bool version102 = major * 100 + minor == 102;
  std::string fileHeader = headerAt(file);
  uint64_t indexAt = numberField(fileHeader, "index_pos", 8);
  std::vector<IndexEntry> entries;
  std::map<uint32_t, uint64_t> promised;  // messages the index gives each connection

  if (version102) {
    // Index records at the end of the file, one or more per topic; the
    // library numbers the topics' connections as they come.
    std::map<std::string, uint32_t> connectionOfTopic;
    for (file.at = indexAt; file.at < file.size;) {
      std::string header = headerAt(file);
      uint32_t connection =
          connectionOfTopic.emplace(fieldOf(header, "topic"), connectionOfTopic.size())
              .first->second;
      uint64_t count = numberField(header, "count", 4);
      promised[connection] += count;
      readEntries(file, count, 16, connection, entries);
    }
    reserveMessages(index, promised, 16);
    fileMessages(entries, index);
    checkRecords(entries, {nullptr, &file, 0, indexAt}, true, nullptr, index.damageOf);
  } else {
    file.at = indexAt;
    for (uint64_t i = numberField(fileHeader, "conn_count", 4); i > 0; --i) {
      headerAt(file);  // the record's header,
      headerAt(file);  // then the connection's
    }
    std::set<uint64_t> chunkPositions;
    for (uint64_t i = numberField(fileHeader, "chunk_count", 4); i > 0; --i) {
      std::string info = headerAt(file);
      uint64_t count = numberField(info, "count", 4);
      std::string_view counts = readAt(file, file.at + 4, 8 * count);
      file.at += 4 + 8 * count;
      std::set<uint64_t> connections;  // the library keeps one count per connection
      for (size_t j = 0; j < counts.size(); j += 8) {
        connections.insert(numberAt(counts, j, 4));
        promised[numberAt(counts, j, 4)] += numberAt(counts, j + 4, 4);
      }
      uint64_t position = numberField(info, "chunk_pos", 8);
      // The library would yield each of its messages once for each listing.
      if (!chunkPositions.insert(position).second)
        throw std::runtime_error("the bag's index lists a chunk twice: damaged bag");
      index.chunks.push_back({0, position, 0, connections.size()});
    }
    reserveMessages(index, promised, 12);
    for (ChunkPlace &chunk : index.chunks) {
      file.at = chunk.position;
      headerAt(file);
      chunk.indexAt = file.at + 4 + numberAt(readAt(file, file.at, 4), 0, 4);
      file.at = chunk.indexAt;
      readChunkEntries(file, chunk.indexRecords, entries);
      chunk.firstTime = fileMessages(entries, index);
      entries.clear();
    }
    std::stable_sort(
        index.chunks.begin(), index.chunks.end(),
        [](const ChunkPlace &a, const ChunkPlace &b) { return a.firstTime < b.firstTime; });
  }
  for (auto &connection : index.timesOf)
    putInOrder(connection.second);
}

// Checks the records of every chunk that holds a message stored at or before
// time, before the walk reads any message stored then. The file's mapping
// goes at once, and the buffers when they are large: the library is about to
// need as much for the same chunk.
static void checkChunksUpTo(uint64_t time, BagIndex &index)
{
  std::vector<IndexEntry> entries;
  for (; index.chunksChecked < index.chunks.size() &&
         index.chunks[index.chunksChecked].firstTime <= time;
       ++index.chunksChecked) {
    const ChunkPlace &chunk = index.chunks[index.chunksChecked];
    BagFile &file = index.file;
    file.at = chunk.position;
    std::string header = headerAt(file);
    uint32_t dataSize = numberAt(readAt(file, file.at, 4), 0, 4);
    file.at = chunk.indexAt;
    readChunkEntries(file, chunk.indexRecords, entries);
    Records records;
    std::string unreadable;
    bool readable = readChunk(file, header, chunk.indexAt - dataSize, dataSize, index.buffers,
                              records, unreadable);
    // A bag file that shrinks under its mapping faults here: the fault is the
    // bag's, and contained as the library's are.
    inBagLibrary = 1;
    checkRecords(entries, records, false, readable ? nullptr : &unreadable, index.damageOf);
    inBagLibrary = 0;
    entries.clear();
    index.buffers.mapping.reset();
    if (index.buffers.storedSize + index.buffers.decompressedSize > (16 << 20))
      index.buffers = ChunkBuffers();
  }
}

// ---- The walk -----------------------------------------------------------
//
// The bag library's view keeps one cursor per connection in a vector sorted
// by the cursors' current times, latest first, so that the next message is at
// the back; after every message it advances the back cursor (or drops it when
// exhausted) and sorts the whole vector again with std::sort. At hundreds of
// connections that sort is nearly all of a listing's time. The walk keeps the
// same cursors in the same order, with the times from the bag's index, and
// relies on this: while no two cursors hold equal times the sorted order is
// unique, so the advanced cursor can be moved into place by a binary search;
// while any two are equal, the same std::sort with the same comparison of
// times alone runs on the same sequence, and so puts the ties where the view
// puts them. The messages themselves come from views over groups of
// connections (below), each message checked against the index.

// A connection's place in the walk: the time of its next message (as
// timeKey makes it, which compares as ros::Time does) and its slot.
struct Cursor {
  uint64_t time;
  uint64_t slot;
};

// The cursors in the view's order, from place 0 (the latest) to count - 1
// (the next), in a ring whose size is a power of two: the advanced cursor
// goes where fewer cursors move to make room, and none move when it goes to
// the front, as it does on every message when connections take turns.
// While ties remain, the ring starts at 0, for std::sort.
struct CursorRing {
  std::vector<Cursor> ring;
  size_t head;  // the ring's index of place 0
  size_t count;
};

static Cursor &cursorAt(CursorRing &cursors, size_t place)
{
  return cursors.ring[(cursors.head + place) & (cursors.ring.size() - 1)];
}

static uint64_t timeKey(const ros::Time &time)
{
  return uint64_t(time.sec) << 32 | time.nsec;
}

static bool laterFirst(const Cursor &a, const Cursor &b)
{
  return a.time > b.time;
}

// Sorts the cursors as the view sorts its own, and counts the equal
// neighbours among them.
static size_t sortCursors(CursorRing &cursors)
{
  std::rotate(cursors.ring.begin(), cursors.ring.begin() + cursors.head, cursors.ring.end());
  cursors.head = 0;
  std::sort(cursors.ring.begin(), cursors.ring.begin() + cursors.count, laterFirst);
  size_t ties = 0;
  for (size_t i = 1; i < cursors.count; ++i)
    ties += cursors.ring[i - 1].time == cursors.ring[i].time;
  return ties;
}

// Moves the back cursor on to the time of its next message (or, when it is
// exhausted, drops it) and puts it where the view's sort puts it; ties counts
// the equal neighbours.
static void moveBackCursor(CursorRing &cursors, size_t &ties, bool exhausted, uint64_t next)
{
  size_t last = cursors.count - 1;
  if (last > 0 && cursorAt(cursors, last - 1).time == cursorAt(cursors, last).time)
    --ties;
  if (exhausted)
    --cursors.count;
  else
    cursorAt(cursors, last).time = next;
  if (ties == 0 && !exhausted) {
    Cursor moved = cursorAt(cursors, last);
    size_t place = 0;  // of the first cursor not later than moved
    for (size_t end = last; place < end;) {
      size_t middle = place + (end - place) / 2;
      if (cursorAt(cursors, middle).time > moved.time)
        place = middle + 1;
      else
        end = middle;
    }
    if (place == last || cursorAt(cursors, place).time != moved.time) {
      if (last - place <= place) {
        for (size_t i = last; i > place; --i)
          cursorAt(cursors, i) = cursorAt(cursors, i - 1);
      } else {
        // Place 0 moves back one in the ring: the cursors before place move up.
        cursors.head = (cursors.head - 1) & (cursors.ring.size() - 1);
        for (size_t i = 0; i < place; ++i)
          cursorAt(cursors, i) = cursorAt(cursors, i + 1);
      }
      cursorAt(cursors, place) = moved;
      return;
    }
  } else if (ties == 0) {
    return;  // the rest was sorted and has no ties: std::sort would keep it
  }
  ties = sortCursors(cursors);
}

// A view of its own for each of C connections costs C view constructions
// that each ask their query about all C connections, C * C calls: minutes at
// 64,000. A view of K connections sorts its K cursors again after each
// message it yields, and the walk looks up each message's connection. The
// group size is the power of two that costs least, counting a query call as
// thirty comparisons of the sort and a look-up as fifty (measured at 32,000
// and 64,000 connections, where the bag's connections no longer fit a cache).
static size_t chooseGroupSize(size_t connections, size_t messages)
{
  size_t best = 1;
  double leastCost = 30.0 * connections * connections;
  for (size_t size = 2; size < 2 * connections; size *= 2) {
    double cost = 30.0 * connections * connections / size +
                  double(messages) * (50 + size * std::log2(double(size)));
    if (cost < leastCost) {
      best = size;
      leastCost = cost;
    }
  }
  return best;
}

enum Kind { unlisted, imuKind, cloudKind, fixKind, timeKind, velocityKind };

// Recognition by MD5 sum, as MessageInstance::instantiate tests it, once per
// connection rather than five times per message.
static Kind kindOf(const rosbag::ConnectionInfo &connection)
{
  using ros::message_traits::md5sum;
  const std::string &md5 = connection.md5sum;
  return md5 == md5sum<sensor_msgs::Imu>()              ? imuKind
         : md5 == md5sum<sensor_msgs::PointCloud2>()    ? cloudKind
         : md5 == md5sum<sensor_msgs::NavSatFix>()      ? fixKind
         : md5 == md5sum<sensor_msgs::TimeReference>()  ? timeKind
         : md5 == md5sum<geometry_msgs::TwistStamped>() ? velocityKind
                                                        : unlisted;
}

// bagFd: the bag's file, opened by the tool for its index.
void listBagMessages(const rosbag::Bag &bag, int bagFd)
{
  BagIndex index;
  readBagIndex(bagFd, index);
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
  inBagLibrary = 0;
  // A slot for each connection with messages, as the view holds a cursor.
  std::vector<const rosbag::ConnectionInfo *> slots;
  std::vector<TimesReader> timesOf;
  std::vector<Kind> kinds;
  CursorRing cursors{{}, 0, 0};
  size_t messages = 0;
  for (const rosbag::ConnectionInfo *connection : connections) {
    auto indexed = index.timesOf.find(connection->id);
    if (indexed == index.timesOf.end() || indexed->second.steps.empty())
      continue;
    timesOf.push_back({&indexed->second, 0, 0, 0});
    cursors.ring.push_back({readTime(timesOf.back()), slots.size()});
    slots.push_back(connection);
    kinds.push_back(kindOf(*connection));
    messages += indexed->second.steps.size();
  }
  cursors.count = cursors.ring.size();
  size_t ringSize = 1;
  while (ringSize < cursors.count)
    ringSize *= 2;
  cursors.ring.resize(ringSize);
  size_t ties = sortCursors(cursors);

  // The messages come from views over groups of connections (consecutive
  // ids). A group's view may yield a message of another of its connections
  // first, when both are stored at the same time: it waits in waiting.
  size_t groupSize = chooseGroupSize(slots.size(), messages);
  std::vector<std::unique_ptr<rosbag::View>> views;
  std::vector<rosbag::View::iterator> positions, ends;
  std::unordered_map<const void *, size_t> slotOfHeader;
  std::multimap<size_t, rosbag::MessageInstance> waiting;
  inBagLibrary = 1;
  for (size_t first = 0; first < slots.size(); first += groupSize) {
    uint32_t low = slots[first]->id;
    uint32_t high = slots[std::min(first + groupSize, slots.size()) - 1]->id;
    auto ofGroup = [low, high](const rosbag::ConnectionInfo *c) {
      return c->id >= low && c->id <= high;
    };
    views.emplace_back(new rosbag::View(bag, ofGroup, ros::TIME_MIN, ros::TIME_MAX, false));
    positions.push_back(views.back()->begin());
    ends.push_back(views.back()->end());
  }
  inBagLibrary = 0;
  if (groupSize > 1)
    for (size_t slot = 0; slot < slots.size(); ++slot)
      slotOfHeader[slots[slot]->header.get()] = slot;
  auto takeMessage = [&](size_t slot) {
    auto waited = waiting.find(slot);
    if (waited != waiting.end()) {
      rosbag::MessageInstance m = waited->second;
      waiting.erase(waited);
      return m;
    }
    size_t group = slot / groupSize;
    for (;;) {
      if (positions[group] == ends[group])
        throw std::runtime_error(indexDamaged);
      rosbag::MessageInstance m = *positions[group];
      ++positions[group];
      if (groupSize == 1)
        return m;
      auto of = slotOfHeader.find(m.getConnectionHeader().get());
      if (of == slotOfHeader.end())
        throw std::runtime_error(indexDamaged);
      if (of->second == slot)
        return m;
      waiting.emplace(of->second, m);
    }
  };

  std::vector<uint8_t> data(1 << 12);  // a message's data, copied for its decoder
  while (cursors.count > 0) {
    const Cursor next = cursorAt(cursors, cursors.count - 1);
    size_t slot = next.slot;
    checkChunksUpTo(next.time, index);
    inBagLibrary = 1;
    const rosbag::MessageInstance m = takeMessage(slot);
    if (timeKey(m.getTime()) != next.time)
      throw std::runtime_error(indexDamaged);
    if (!index.damageOf.empty() && kinds[slot] != unlisted) {
      auto damaged = index.damageOf.find(slots[slot]->id);
      if (damaged != index.damageOf.end() && damaged->second.time == next.time)
        refuseDamagedRecord(m, damaged->second);
    }
    // Each line is written with inBagLibrary cleared: the writers are the
    // tool's own code. A decoded cloud can be tens of megabytes: it goes
    // before the next message is decoded, so that a run of clouds holds one.
    switch (kinds[slot]) {
      case imuKind: {
        sensor_msgs::Imu::ConstPtr imu_data = decode<sensor_msgs::Imu>(m, data);
        inBagLibrary = 0;
        putImuLine(count, m, *imu_data);
        break;
      }
      case cloudKind: {
        sensor_msgs::PointCloud2::ConstPtr lidar_data = decodeCloud(m);
        inBagLibrary = 0;
        putCloudLine(count, m, *lidar_data);
        break;
      }
      case fixKind: {
        sensor_msgs::NavSatFix::ConstPtr gps_pos_data = decode<sensor_msgs::NavSatFix>(m, data);
        inBagLibrary = 0;
        putFixLine(count, m, *gps_pos_data);
        break;
      }
      case timeKind: {
        sensor_msgs::TimeReference::ConstPtr gps_pos_time =
            decode<sensor_msgs::TimeReference>(m, data);
        inBagLibrary = 0;
        putTimeLine(count, m, *gps_pos_time);
        break;
      }
      case velocityKind: {
        geometry_msgs::TwistStamped::ConstPtr gps_vel_data =
            decode<geometry_msgs::TwistStamped>(m, data);
        inBagLibrary = 0;
        putVelocityLine(count, m, *gps_vel_data);
        break;
      }
      case unlisted:
        break;
    }
    inBagLibrary = 0;
    ++count;
    TimesReader &times = timesOf[slot];
    bool exhausted = times.next == times.times->steps.size();
    moveBackCursor(cursors, ties, exhausted, exhausted ? 0 : readTime(times));
  }
  if (!waiting.empty())
    throw std::runtime_error(indexDamaged);
  for (size_t group = 0; group < views.size(); ++group)
    if (positions[group] != ends[group])
      throw std::runtime_error(indexDamaged);
  if (index.leftOut > 0)
    throw std::runtime_error(std::to_string(index.leftOut) +
                             (index.leftOut == 1 ? " message" : " messages") +
                             " stored at time 0 not listed: the bag library does not read them");
}

// ---- Start-up, arguments and exit status -----------------------------------

// The library's reason, but out of memory said in words.
static const char *failureText(const std::exception &e)
{
  return dynamic_cast<const std::bad_alloc *>(&e) ? "out of memory" : e.what();
}

// The usage or open-failure line; nothing here allocates, so that it holds
// when memory has run out. The reason may carry bytes from the bag.
static void putMessage(std::string_view start, std::string_view reason = "")
{
  put(start.data(), start.size());
  put(reason.data(), reason.size(), true);
  endLine();
}

// The read-failure line on stderr, after every listed line.
static void reportReadFailure(const std::string &start, const char *reason)
{
  int ignored;
  try {
    std::string line = start + reason;
    showControlBytes(&line[start.size()], line.size() - start.size());
    line += '\n';
    writeOut(failureOutput, line.data(), line.size(), ignored, false);
  } catch (const std::bad_alloc &) {
    std::string_view outOfMemory = "out of memory\n";
    writeOut(failureOutput, start.data(), start.size(), ignored, false);
    writeOut(failureOutput, outOfMemory.data(), outOfMemory.size(), ignored, false);
  }
}

// ---- Where the bag library's plugin loader looks -------------------------
//
// Constructing a rosbag::Bag builds a pluginlib loader for its encryptor
// plugins, which asks roslib's ros::package (rospack, in-process) for the
// rosbag_storage package's folder and plugin description: rospack crawls
// ROS_PACKAGE_PATH (all of /usr/share on Debian) and reads and writes a cache
// in ~/.ros, which can hang on a FIFO or a loop of links. Both answers are
// known when tarnwick is built, and these definitions stand in for roslib's
// in the whole process, the bag library's calls included: the dynamic linker
// looks in the executable first. pluginlib uses the folder only to see that
// the package exists and to look for the plugin library in it, so the answer
// is the folder of that library: found at once, it is loaded once, not tried
// and unloaded first.
namespace ros {
namespace package {
std::string getPath(const std::string &package_name)
{
  return package_name == "rosbag_storage" ? ROSBAG_STORAGE_PLUGIN_FOLDER : "";
}

void getPlugins(const std::string &package, const std::string &attribute,
                std::vector<std::string> &plugins, bool)
{
  if (package == "rosbag_storage" && attribute == "plugin")
    plugins.push_back(ROSBAG_STORAGE_PLUGINS);
}
}  // namespace package
}  // namespace ros

// While the bag library runs, stderr is /dev/null: its plugin loader prints
// its errors there, and the C library an assertion's text, but stderr must
// hold the tool's own failure line alone. Returns the real stderr, for that
// line.
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
  // Each left ignored when the parent ignored it: a background job of a
  // script should not die of a Ctrl-C meant for the script, nor a nohup job
  // of a hang-up.
  struct sigaction onStop = {};
  onStop.sa_handler = Stop;  // no SA_RESTART: a blocked write must see the stop
  for (int stop : stopSignals)
    sigaddset(&onStop.sa_mask, stop);
  for (int stop : stopSignals) {
    struct sigaction inherited;
    if (sigaction(stop, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
      sigaction(stop, &onStop, nullptr);
  }
  struct sigaction onAlarm = {};
  onAlarm.sa_handler = BreakStalledWrite;
  sigaction(SIGALRM, &onAlarm, nullptr);
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
    putMessage(" Usage : " + (hasName ? args[0] : "tarnwick") + " xxx.bag");
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

  // Opened before the library opens it, so that the index is read from the
  // same file; a failure here shows as the library's own.
  int bagFd = open(bagFileName.c_str(), O_RDONLY | O_CLOEXEC);
  std::unique_ptr<rosbag::Bag> bag;
  std::string encryptor = encryptorOf(bagFd);
  if (!encryptor.empty() && encryptor != "rosbag/NoEncryptor" && !gnupgHomeExists()) {
    writeFailedStatus = bagOpenFailed;
    putMessage(openFailed, "the bag is encrypted (" + encryptor +
                               ") and there is no GnuPG home with a key to decrypt it");
    flushLines();
    return bagOpenFailed;
  }
  try {
    inBagLibrary = 1;
    bag.reset(new rosbag::Bag);
    bag->open(bagFileName, rosbag::bagmode::Read);
    inBagLibrary = 0;
  } catch (...) {
    inBagLibrary = 0;
    writeFailedStatus = bagOpenFailed;
    try {
      throw;
    } catch (const std::exception &e) {
      putMessage(openFailed, failureText(e));
    } catch (...) {
      putMessage(openFailed, "unknown failure");
    }
    flushLines();
    return bagOpenFailed;
  }

  reportFaultsAs(failureOutput, bagReadFailed, readFailed);
  writeFailedLine = " Listing write failed, " + bagFileName + ", msg = ";
  writeFailedStatus = listingWriteFailed;
  try {
    listBagMessages(*bag, bagFd);
    inBagLibrary = 1;
    bag->close();
    bag.reset();
    inBagLibrary = 0;
  } catch (...) {
    // The listing so far stays intact on stdout; the reason goes to stderr.
    // Nothing runs after it: the bag's destructor would read the damaged bag
    // again.
    inBagLibrary = 0;
    lineSize = 0;
    flushLines();
    try {
      throw;
    } catch (const std::exception &e) {
      reportReadFailure(readFailed, failureText(e));
    } catch (...) {
      reportReadFailure(readFailed, "unknown failure");
    }
    _exit(bagReadFailed);
  }
  flushLines();
  // As the careful Unix tools do: an output that fails only when closed
  // (NFS, a closed descriptor) fails the listing too.
  if (close(STDOUT_FILENO) != 0 && errno != EINTR)
    listingWriteFailedWith(errno);
  return listedToTheEnd;
}
