#include "app/shell/QuitSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace qm {

namespace {

int pipeFds[2] = {-1, -1};
struct sigaction previous[2];
constexpr int kSignals[2] = {SIGTERM, SIGINT};

void onSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onQuit, QObject* parent)
    : QObject(parent), onQuit_(std::move(onQuit)) {
    if (pipeFds[0] >= 0) return;  // one per process
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipeFds[0] = pipeFds[1] = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        int last = 0;
        while (::read(pipeFds[0], &byte, 1) == 1) last = byte;
        if (last && onQuit_) onQuit_(last);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = true;
    for (int i = 0; i < 2; ++i)
        if (::sigaction(kSignals[i], &action, &previous[i]) != 0) installed_ = false;
}

QuitSignals::~QuitSignals() {
    if (!notifier_) return;
    for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &previous[i], nullptr);
    notifier_.reset();
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

}  // namespace qm
