// Raw TCP clients for the control port's tests: bytes exactly as written,
// in the pieces the test chooses, on loopback only. Reading runs the
// calling thread's event loop meanwhile, so a server on the same (main)
// thread is served while the test waits.
//
// Also what /proc says about the process's sockets: listening entries of
// /proc/net/tcp and tcp6, and the server-side connections still open.
#pragma once

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qm::test {

using namespace std::chrono_literals;

// Runs the event loop until `done` or the time is up; true when done.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);
// Runs the event loop for a while.
void runFor(std::chrono::milliseconds time);

class RawConnection {
public:
    // Connects (blocking) to `address` (an IPv4 or IPv6 literal).
    RawConnection(const std::string& address, uint16_t port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    int connectError() const { return error_; }  // errno of a failed connect

    // Sends every byte (the server runs meanwhile if the kernel's buffer is full).
    void send(const QByteArray& bytes);
    void shutdownWrite();
    // Reads until the server closes the connection or the time is up.
    QByteArray receive(std::chrono::milliseconds limit = 5s);
    // True once the server closed (end of stream or reset).
    bool closed() const { return closed_; }
    bool reset() const { return reset_; }

private:
    bool readOnce(QByteArray& into);

    int fd_ = -1;
    int error_ = 0;
    bool closed_ = false;
    bool reset_ = false;
};

// One request, one reply: connects to 127.0.0.1, sends, reads until closed.
QByteArray exchange(uint16_t port, const QByteArray& request, std::chrono::milliseconds limit = 5s);

// Local addresses (as in /proc/net/tcp: "0100007F:BABE") of the sockets
// listening on `port`, from /proc/net/tcp or /proc/net/tcp6.
std::vector<std::string> listeningEntries(uint16_t port, bool ipv6);
// Connections on the server side of `port` (local port = port, not
// listening) whose descriptors this process holds.
int openServerSockets(uint16_t port);
// Bytes of the process's resident memory (VmRSS).
int64_t residentBytes();

}  // namespace qm::test
