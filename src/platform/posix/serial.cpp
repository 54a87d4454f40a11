// Serial ports as terminal devices in raw mode. The port is held alone
// twice over: TIOCEXCL keeps other programs out, but not a privileged one,
// so an advisory lock on the open file also refuses a second open.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plat {

namespace {

constexpr int kWriteStallMs = 1000;

int Fd(SerialHandle h) {
    return static_cast<int>(h);
}

struct Speed {
    uint32_t baud;
    speed_t code;
};

const Speed kSpeeds[] = {
    {300, B300},     {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool SpeedCode(uint32_t baud, speed_t* code) {
    for (const Speed& s : kSpeeds)
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    return false;
}

uint32_t BaudOf(speed_t code) {
    for (const Speed& s : kSpeeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

bool Apply(int fd, const SerialSettings& s) {
    speed_t speed;
    if (!SerialSettingsValid(s) || !SpeedCode(s.baud, &speed))
        return false;
    termios t;
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= (s.dataBits == 7 ? CS7 : CS8) | CLOCAL | CREAD;
    if (s.parity != 'N')
        t.c_cflag |= PARENB | (s.parity == 'O' ? PARODD : 0);
    if (s.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)
        return false;
    if (::tcsetattr(fd, TCSANOW, &t) == 0)
        return true;
    // A pty carries 8 bits without parity whatever it is told, and refuses a
    // change of framing alone: it has the line when speed and stop bits took.
    termios now;
    return ::tcgetattr(fd, &now) == 0 && ::cfgetospeed(&now) == speed &&
           (now.c_cflag & CSTOPB) == (t.c_cflag & CSTOPB);
}

SerialHandle DoOpen(const char* name, const SerialSettings& settings, int* error) {
    int dummy;
    int* err = error ? error : &dummy;
    *err = kSerialNoPort;
    if (!name || name[0] != '/')
        return kInvalidSerial;
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY)
            *err = kSerialBusy;
        return kInvalidSerial;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
        ::close(fd);
        return kInvalidSerial;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *err = kSerialBusy;
        return kInvalidSerial;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!Apply(fd, settings)) {
        ::close(fd);
        *err = kSerialSettings;
        return kInvalidSerial;
    }
    ::tcflush(fd, TCIOFLUSH);
    *err = kSerialOk;
    return fd;
}

void DoClose(SerialHandle h) {
    if (h == kInvalidSerial)
        return;
    // The exclusive flag belongs to the device, not to this open: a pty's
    // other side keeps it alive, and the port would stay busy.
    ::ioctl(Fd(h), TIOCNXCL);
    ::close(Fd(h));
}

int DoWrite(SerialHandle h, const void* data, int len) {
    const char* p = static_cast<const char*>(data);
    int left = len;
    while (left > 0) {
        const ssize_t n = ::write(Fd(h), p, static_cast<size_t>(left));
        if (n > 0) {
            p += n;
            left -= static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return -1;
        pollfd pf = {Fd(h), POLLOUT, 0};
        const int r = ::poll(&pf, 1, kWriteStallMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (pf.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return -1;
    }
    return len;
}

int DoRead(SerialHandle h, void* buf, int cap, int32_t ms) {
    if (cap <= 0)
        return 0;
    pollfd pf = {Fd(h), POLLIN, 0};
    int r;
    do
        r = ::poll(&pf, 1, ms < 0 ? -1 : ms);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;
    if (!(pf.revents & POLLIN))
        return -1; // hung up or failed with nothing to read
    for (;;) {
        const ssize_t n = ::read(Fd(h), buf, static_cast<size_t>(cap));
        if (n > 0)
            return static_cast<int>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return 0;
        return -1; // end of file: the other side is gone
    }
}

void DoPurge(SerialHandle h) {
    ::tcflush(Fd(h), TCIFLUSH);
}

bool DoSettings(SerialHandle h, SerialSettings* out) {
    termios t;
    if (!out || ::tcgetattr(Fd(h), &t) != 0)
        return false;
    out->baud = BaudOf(::cfgetospeed(&t));
    out->dataBits = (t.c_cflag & CSIZE) == CS7 ? 7 : (t.c_cflag & CSIZE) == CS8 ? 8 : 0;
    out->parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    out->stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return true;
}

SerialHandle DoOpenPty(char* path, int cap) {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return kInvalidSerial;
    char name[128];
    termios t;
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0 ||
        !path || static_cast<int>(std::strlen(name)) >= cap || ::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        return kInvalidSerial;
    }
    // The pair's line settings: no echo, no line editing, no CR translation,
    // whoever opens the other side.
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::memcpy(path, name, std::strlen(name) + 1);
    return fd;
}

const SerialOps kDefaultOps = {DoOpen, DoClose, DoWrite, DoRead, DoPurge, DoSettings, DoOpenPty};

} // namespace

const SerialOps& DefaultSerialOps() {
    return kDefaultOps;
}

bool IsSerialPortName(const char* name) {
    return name && name[0] == '/';
}

} // namespace plat
