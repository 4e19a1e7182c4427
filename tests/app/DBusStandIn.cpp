#include "DBusStandIn.h"

#include <QThread>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace qm::test {

PrivateBus::PrivateBus(bool services) {
    const auto config = dir_ / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type>\n"
                          << "<listen>unix:dir=" << dir_.path().string() << "</listen>\n"
                          << "<auth>EXTERNAL</auth>\n"
                          << (services ? "<standard_session_servicedirs/>\n" : "")
                          << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    if (services) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = QString::fromStdString(dir_.path().string());
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("XDG_DATA_HOME", home + "/data");
        env.insert("XDG_CACHE_HOME", home + "/cache");
        env.insert("XDG_RUNTIME_DIR", home);
        env.insert("GSETTINGS_BACKEND", "memory");
        daemon_.setProcessEnvironment(env);
    }
    daemon_.start("dbus-daemon", {"--config-file=" + QString::fromStdString(config.string()), "--print-address",
                                  "--nofork", "--nopidfile"});
    if (!daemon_.waitForStarted(5000)) throw std::runtime_error("dbus-daemon did not start");
    while (!daemon_.canReadLine() && daemon_.waitForReadyRead(5000)) {
    }
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    if (address_.isEmpty()) throw std::runtime_error("dbus-daemon gave no address");
}

PrivateBus::~PrivateBus() {
    for (const auto& name : connections_) QDBusConnection::disconnectFromBus(name);
    daemon_.terminate();
    if (!daemon_.waitForFinished(2000)) daemon_.kill();
    daemon_.waitForFinished(2000);
}

QDBusConnection PrivateBus::connect(const QString& name) const {
    connections_.push_back(name);
    return QDBusConnection::connectToBus(address_, name);
}

FileManagerStandIn::FileManagerStandIn(QDBusConnection bus) : bus_(std::move(bus)) {
    bus_.registerObject("/org/freedesktop/FileManager1", this, QDBusConnection::ExportAllSlots);
    if (!bus_.registerService("org.freedesktop.FileManager1"))
        throw std::runtime_error("cannot own the file manager's name");
}

FileManagerStandIn::~FileManagerStandIn() {
    bus_.unregisterService("org.freedesktop.FileManager1");
    bus_.unregisterObject("/org/freedesktop/FileManager1");
}

void FileManagerStandIn::ShowItems(const QStringList& uris, const QString&) {
    if (delayMs > 0) QThread::msleep(static_cast<unsigned long>(delayMs));
    calls.push_back(uris);
}

SlowFileManager::SlowFileManager(const PrivateBus& bus, int delayMs) {
    there_.moveToThread(&thread_);
    thread_.start();
    QMetaObject::invokeMethod(
        &there_,
        [&] {
            manager_ = std::make_unique<FileManagerStandIn>(bus.connect("slow"));
            manager_->delayMs = delayMs;
        },
        Qt::BlockingQueuedConnection);
}

SlowFileManager::~SlowFileManager() {
    QMetaObject::invokeMethod(&there_, [&] { manager_.reset(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

size_t SlowFileManager::calls() {
    size_t n = 0;
    QMetaObject::invokeMethod(&there_, [&] { n = manager_->calls.size(); }, Qt::BlockingQueuedConnection);
    return n;
}

OpenerStandIn::OpenerStandIn() {
    const auto script = dir_ / "xdg-open";
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> '" << (dir_ / "calls.log").string() << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

void OpenerStandIn::install() {
    if (installed_) return;
    const char* path = std::getenv("PATH");
    oldPath_ = path ? path : "";
    setenv("PATH", (dir_.path().string() + ":" + oldPath_).c_str(), 1);
    installed_ = true;
}

OpenerStandIn::~OpenerStandIn() {
    if (installed_) setenv("PATH", oldPath_.c_str(), 1);
}

std::vector<std::string> OpenerStandIn::calls() const {
    std::vector<std::string> lines;
    std::ifstream log(dir_ / "calls.log");
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

}  // namespace qm::test
