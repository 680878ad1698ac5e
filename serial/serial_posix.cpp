// The system's serial devices on POSIX systems: a terminal device of our own, set up raw with
// termios, watched by a socket notifier, held exclusively while open.
#include "host/clock.h"
#include "host/pump.h"
#include "port_trouble.h"
#include "serial.h"
#include "serial_backend.h"
#include "serial_internal.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Bytes read from the device and not yet taken; a peer that floods us loses its oldest bytes
// beyond this, counted.
constexpr std::size_t kInputLimit = 64 * 1024;

bool SpeedOf(long baud, speed_t& speed) {
    static constexpr struct {
        long baud;
        speed_t speed;
    } kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

// The line's settings on top of a raw terminal: no echo, no line editing, no translation of
// bytes, no signals; the receiver on, modem lines ignored unless hardware flow is asked for.
bool RawSettings(termios& t, const SerialSettings& s) {
    speed_t speed{};
    if (!SpeedOf(s.baudRate, speed)) {
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[std::clamp(s.dataBits, 5, 8) - 5];
    switch (s.parity) {
    case 0:
        break;
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
    case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
#endif
    default:
        return false;
    }
    if (s.stopBits == 2) {
        t.c_cflag |= CSTOPB;
    }
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (s.parity != 0) {
        t.c_iflag |= INPCK;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0;
}

int OpenErrorCode(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return kComNoSerialPort;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case ENOTTY:
        return kComCannotOpen;
    case EIO:
        return kComIoError;
    default:
        return kComUnknownSystemError;
    }
}

class PosixSerialBackend final : public SerialBackend {
  public:
    explicit PosixSerialBackend(std::string device) : device_(std::move(device)) {}
    ~PosixSerialBackend() override { close(); }

    int open(const SerialSettings& s) override {
        trouble_.clear();
        const int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return refuse(errno);
        }
        termios t{};
        if (::tcgetattr(fd, &t) != 0) {
            const int e = errno;
            ::close(fd);
            return refuse(e == EINVAL ? ENOTTY : e);
        }
        // Held exclusively: the lock keeps out another copy of this program (root
        // too), TIOCEXCL keeps out programs that do not lock (root excepted).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
            const int e = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return refuse(e);
        }
        saved_ = t;
        if (!RawSettings(t, s) || ::tcsetattr(fd, TCSANOW, &t) != 0) {
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
            return kComInvalidParameter;
        }
        fd_ = fd;
        settings_ = t;
        lost_ = false;
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            takeFromDriver();
            platform_internal::NoteActivity();
        });
        return 0;
    }

    std::string failureReason() const override { return trouble_; }

    void close() override {
        if (fd_ < 0) {
            return;
        }
        notifier_.reset();
        if (!lost_) {
            ::tcsetattr(fd_, TCSANOW, &saved_);
            ::ioctl(fd_, TIOCNXCL);
        }
        ::close(fd_); // the lock goes with it
        fd_ = -1;
        input_.clear();
    }

    bool lost() const override { return lost_ || fd_ < 0; }
    long long discardedInput() const override { return discarded_; }

    // Hands the bytes to the driver and returns: they leave at the line's pace while the
    // program goes on. Only a driver that takes no more (a full queue) is waited for.
    int write(const char* buffer, int count, double timeout, long) override {
        const double limit = Timer() + timeout;
        int done = 0;
        while (done < count) {
            const ssize_t n = ::write(fd_, buffer + done, static_cast<std::size_t>(count - done));
            if (n > 0) {
                done += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                markLost();
                return kComIoError;
            }
            if (!waitFor(POLLOUT, limit)) {
                break;
            }
        }
        return lost() ? kComIoError : done;
    }

    int read(char* buffer, int count, double timeout) override {
        const double limit = Timer() + timeout;
        takeFromDriver();
        while (static_cast<int>(input_.size()) < count && !lost() && waitFor(POLLIN, limit)) {
            takeFromDriver();
        }
        if (lost() && input_.empty()) {
            return kComIoError;
        }
        const int n = std::min(count, static_cast<int>(input_.size()));
        std::copy_n(input_.begin(), n, buffer);
        input_.erase(input_.begin(), input_.begin() + n);
        applyThreshold();
        return n;
    }

    int bytesWaiting() override { return static_cast<int>(input_.size()) + driverQueued(); }

    void flushIn() override {
        ::tcflush(fd_, TCIFLUSH);
        input_.clear();
        applyThreshold();
    }

    void flushOut() override {
        // Only what is still queued: on a pseudo-terminal the flush also drops bytes the other
        // end has not read yet, which are on the line already.
        if (outputQueued() > 0) {
            ::tcflush(fd_, TCOFLUSH);
        }
    }

    int outputQueued() override {
        int n = 0;
        return ::ioctl(fd_, TIOCOUTQ, &n) == 0 ? std::max(0, n) : 0;
    }

    void setHardwareFlowControl(bool on) override {
        termios t = settings_;
        t.c_cflag = on ? (t.c_cflag | CRTSCTS) : (t.c_cflag & ~CRTSCTS);
        if (t.c_cflag != settings_.c_cflag && ::tcsetattr(fd_, TCSANOW, &t) == 0) {
            settings_ = t;
        }
    }

    // The line discipline holds back readiness until that many bytes wait (VMIN with VTIME 0),
    // so a port with a receive callback wakes the program once per frame, not once per byte.
    void setWakeThreshold(int n) override {
        threshold_ = std::clamp(n, 1, 255);
        applyThreshold();
    }

  private:
    int refuse(int error) {
        trouble_ = DescribeOpenTrouble(device_, platform_internal::PresentSerialPaths());
        if (trouble_.empty() && error == EBUSY) {
            trouble_ = "in use by another program";
        }
        return OpenErrorCode(error);
    }

    // Waits (the GUI thread included) for the device to be ready, up to `limit`.
    bool waitFor(short events, double limit) {
        for (;;) {
            const double left = limit - Timer();
            if (left <= 0) {
                return false;
            }
            pollfd p{fd_, events, 0};
            const int r = ::poll(&p, 1, std::max(1, static_cast<int>(left * 1000)));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & events)) {
                takeFromDriver(); // a hang-up reads as the loss it is
                return !lost();
            }
            return r > 0;
        }
    }

    // Moves what the driver holds into our own queue; a hang-up (end of file, EIO) is the
    // device going away.
    void takeFromDriver() {
        if (fd_ < 0 || lost_) {
            return;
        }
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) {
                input_.insert(input_.end(), chunk, chunk + n);
                if (input_.size() > kInputLimit) {
                    const std::size_t over = input_.size() - kInputLimit;
                    input_.erase(input_.begin(), input_.begin() + static_cast<long>(over));
                    discarded_ += static_cast<long long>(over);
                }
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                markLost();
            }
            break;
        }
        applyThreshold();
    }

    // The device went away (a pulled adapter, a closed peer): stop watching it, so the pump
    // does not spin on a dead descriptor. The loss is reported from the pump.
    void markLost() {
        if (lost_) {
            return;
        }
        lost_ = true;
        if (notifier_) {
            notifier_->setEnabled(false);
        }
        platform_internal::NoteActivity();
    }

    int driverQueued() const {
        int n = 0;
        return fd_ >= 0 && !lost_ && ::ioctl(fd_, FIONREAD, &n) == 0 ? std::max(0, n) : 0;
    }

    // Readiness is due once the bytes still missing for the threshold are there: what our own
    // queue holds already counts. Once it holds enough, the pump calls back without a wake-up,
    // and any threshold up to the port's own will do (no system call per frame).
    void applyThreshold() {
        const int held = static_cast<int>(input_.size());
        if (fd_ < 0 || lost_ || (held >= threshold_ && settings_.c_cc[VMIN] <= threshold_)) {
            return;
        }
        const auto want = static_cast<cc_t>(std::clamp(threshold_ - held, 1, 255));
        if (settings_.c_cc[VMIN] == want) {
            return;
        }
        termios t = settings_;
        t.c_cc[VMIN] = want;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd_, TCSANOW, &t) == 0) {
            settings_ = t;
        }
    }

    std::string device_;
    std::string trouble_; // why the last open failed, in words
    int fd_ = -1;
    bool lost_ = false;
    termios saved_{};    // as found, put back on close
    termios settings_{}; // as now set
    int threshold_ = 1;
    std::deque<char> input_;
    long long discarded_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace

namespace platform_internal {
std::unique_ptr<SerialBackend> MakeSystemSerialBackend(const std::string& device) {
    return std::make_unique<PosixSerialBackend>(device);
}
} // namespace platform_internal
