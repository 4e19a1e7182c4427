#include "app/shell/Accessibility.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVariant>

namespace qm {

namespace {

const QString kService = QStringLiteral("org.a11y.Bus");
const QString kPath = QStringLiteral("/org/a11y/bus");
const QString kStatus = QStringLiteral("org.a11y.Status");
const QString kProperty = QStringLiteral("IsEnabled");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

QDBusMessage getEnabled() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Get"));
    call << kStatus << kProperty;
    return call;
}

// The property's value in a reply to Get: a variant holding a boolean.
bool enabledIn(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    const QVariant value = reply.arguments().front().value<QDBusVariant>().variant();
    return value.typeId() == QMetaType::Bool && value.toBool();
}

}  // namespace

BusAccessibility::BusAccessibility(QDBusConnection bus, std::function<bool()> displayPresent,
                                   std::chrono::milliseconds timeout, QObject* parent)
    : Accessibility(parent), bus_(std::move(bus)), displayPresent_(std::move(displayPresent)), timeout_(timeout) {}

bool BusAccessibility::display() const {
    if (displayPresent_) return displayPresent_();
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

bool BusAccessibility::trusted() {
    if (!bus_.isConnected() || !display()) return false;
    return enabledIn(bus_.call(getEnabled(), QDBus::Block, static_cast<int>(timeout_.count())));
}

void BusAccessibility::checkTrusted(std::function<void(bool)> done) {
    if (!bus_.isConnected() || !display()) {
        // Still asynchronous, as a caller of an answer from the bus expects.
        QMetaObject::invokeMethod(this, [done = std::move(done)] { done(false); }, Qt::QueuedConnection);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(getEnabled(), static_cast<int>(timeout_.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        done(!watcher->isError() && enabledIn(watcher->reply()));
    });
}

void BusAccessibility::grant() {
    if (!bus_.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Set"));
    call << kStatus << kProperty << QVariant::fromValue(QDBusVariant(true));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, static_cast<int>(timeout_.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, &QObject::deleteLater);
}

}  // namespace qm
