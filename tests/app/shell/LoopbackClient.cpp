#include "LoopbackClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace qm::test {

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    // Wakes the wait now and then, for conditions no Qt event announces
    // (bytes on a raw socket).
    QTimer tick;
    tick.start(2);
    while (!done()) {
        if (clock.elapsed() > limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void runFor(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

RawConnection::RawConnection(const std::string& address, uint16_t port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
    if (address.find(':') != std::string::npos) {
        family = AF_INET6;
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        length = sizeof(sockaddr_in);
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        error_ = errno;
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
}

RawConnection::~RawConnection() {
    if (fd_ >= 0)
        ::close(fd_);
}

void RawConnection::send(const QByteArray& bytes) {
    qsizetype sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (fd_ >= 0 && sent < bytes.size() && clock.elapsed() < 10000) {
        const ssize_t n = ::send(fd_, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            runFor(std::chrono::milliseconds(1));
        } else {
            closed_ = true;
            return;
        }
    }
}

void RawConnection::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

bool RawConnection::readOnce(QByteArray& into) {
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
        into.append(chunk, n);
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        closed_ = true;
        reset_ = n < 0 && errno == ECONNRESET;
    }
    return false;
}

QByteArray RawConnection::receive(std::chrono::milliseconds limit) {
    QByteArray out;
    if (fd_ < 0)
        return out;
    runUntil([&] {
        while (!closed_ && readOnce(out)) {
        }
        return closed_;
    }, limit);
    return out;
}

QByteArray exchange(uint16_t port, const QByteArray& request, std::chrono::milliseconds limit) {
    RawConnection c("127.0.0.1", port);
    c.send(request);
    return c.receive(limit);
}

namespace {

struct TcpEntry {
    std::string local;
    uint16_t localPort;
    int state;
    unsigned long inode;
};

std::vector<TcpEntry> tcpTable(const char* file) {
    std::vector<TcpEntry> out;
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos)
            continue;
        out.push_back({local, uint16_t(std::stoul(local.substr(colon + 1), nullptr, 16)),
                       int(std::stoul(state, nullptr, 16)), inode});
    }
    return out;
}

constexpr int kListen = 0x0A;

}  // namespace

std::vector<std::string> listeningEntries(uint16_t port, bool ipv6) {
    std::vector<std::string> out;
    for (const TcpEntry& e : tcpTable(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp"))
        if (e.localPort == port && e.state == kListen)
            out.push_back(e.local);
    return out;
}

int openServerSockets(uint16_t port) {
    std::set<unsigned long> inodes;
    for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"})
        for (const TcpEntry& e : tcpTable(file))
            if (e.localPort == port && e.state != kListen && e.inode != 0)
                inodes.insert(e.inode);
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            char target[256] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            if (::readlink(path.c_str(), target, sizeof target - 1) <= 0)
                continue;
            unsigned long inode = 0;
            if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode))
                ++count;
        }
        ::closedir(dir);
    }
    return count;
}

int64_t residentBytes() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    return 0;
}

}  // namespace qm::test
