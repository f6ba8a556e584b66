#include "app/power_off.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStringList>

namespace vidmill {

namespace {

const char* const kLogindService = "org.freedesktop.login1";
const char* const kLogindPath = "/org/freedesktop/login1";
const char* const kLogindManager = "org.freedesktop.login1.Manager";
// polkit may be asking for a password meanwhile: the user takes their time.
constexpr int kPowerOffCallMs = 120000;
constexpr int kAskCallMs = 5000;
constexpr int kSystemctlMs = 5000;

QDBusMessage logindCall(const char* method) {
    return QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, method);
}

}  // namespace

bool powerOffWith(PowerOffSteps& steps, QString* why) {
    QStringList reasons;
    QString reason;
    const std::optional<QString> allowed = steps.canPowerOff(&reason);
    if (!allowed) {
        reasons << QStringLiteral("logind: ") + reason;
    } else if (*allowed == QLatin1String("yes") || *allowed == QLatin1String("challenge")) {
        if (steps.logindPowerOff(&reason)) {
            return true;
        }
        reasons << QStringLiteral("logind: ") + reason;
    } else {
        reasons << QStringLiteral("logind: not allowed (%1)").arg(*allowed);
    }
    reason.clear();
    if (steps.systemctlPowerOff(&reason)) {
        return true;
    }
    reasons << QStringLiteral("systemctl: ") + reason;
    if (why != nullptr) {
        *why = reasons.join(QStringLiteral("; "));
    }
    return false;
}

std::optional<QString> SystemPowerOff::canPowerOff(QString* why) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *why = QStringLiteral("the system bus cannot be reached");
        return std::nullopt;
    }
    const QDBusMessage answer = bus.call(logindCall("CanPowerOff"), QDBus::Block, kAskCallMs);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) {
        *why =
            answer.errorMessage().isEmpty() ? QStringLiteral("no answer") : answer.errorMessage();
        return std::nullopt;
    }
    return answer.arguments().first().toString();
}

bool SystemPowerOff::logindPowerOff(QString* why) {
    QDBusMessage call = logindCall("PowerOff");
    // Interactive: polkit may ask the user instead of refusing outright.
    call << true;
    const QDBusMessage answer =
        QDBusConnection::systemBus().call(call, QDBus::Block, kPowerOffCallMs);
    if (answer.type() == QDBusMessage::ReplyMessage) {
        return true;
    }
    *why = answer.errorMessage().isEmpty() ? answer.errorName() : answer.errorMessage();
    return false;
}

bool SystemPowerOff::systemctlPowerOff(QString* why) {
    QProcess systemctl;
    // No second password prompt after logind's: this only helps where no
    // permission needs asking for.
    systemctl.start(QStringLiteral("systemctl"),
                    {QStringLiteral("--no-ask-password"), QStringLiteral("poweroff")});
    if (!systemctl.waitForStarted(kSystemctlMs)) {
        *why = systemctl.errorString();
        return false;
    }
    if (!systemctl.waitForFinished(kSystemctlMs)) {
        *why = QStringLiteral("no answer within %1 seconds").arg(kSystemctlMs / 1000);
        systemctl.kill();
        systemctl.waitForFinished(1000);
        return false;
    }
    if (systemctl.exitStatus() != QProcess::NormalExit || systemctl.exitCode() != 0) {
        const QString errors = QString::fromLocal8Bit(systemctl.readAllStandardError()).trimmed();
        *why =
            errors.isEmpty() ? QStringLiteral("exit status %1").arg(systemctl.exitCode()) : errors;
        return false;
    }
    return true;
}

}  // namespace vidmill
