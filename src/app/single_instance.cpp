#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QFile>

#include "system/path_utils.h"
#include "system/user_folders.h"

namespace vidmill {

// What the running window offers on the bus. Paths travel as bytes, so that
// names that are not valid UTF-8 arrive intact.
class InstanceAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.vidmill.Vidmill")
  public:
    explicit InstanceAdaptor(SingleInstance* owner) : QDBusAbstractAdaptor(owner), owner_(owner) {}

  public slots:
    bool AddPaths(const QList<QByteArray>& paths) {
        QStringList names;
        for (const QByteArray& path : paths) {
            names << QFile::decodeName(path);
        }
        return owner_->receiver_ && owner_->receiver_(names);
    }

  private:
    SingleInstance* owner_;
};

namespace {

// A window that is busy at start (a dialog up) may take a while to answer.
constexpr int kHandOverTimeoutMs = 25000;

}  // namespace

SingleInstance::SingleInstance(std::string lockFile, QObject* parent)
    : QObject(parent), lockFile_(std::move(lockFile)) {
    // Lists of byte strings ("aay") travel only once the bus knows them.
    qDBusRegisterMetaType<QList<QByteArray>>();
}

SingleInstance::~SingleInstance() {
    if (serviceOwned_) {
        QDBusConnection::sessionBus().unregisterService(QString::fromLatin1(kInstanceService));
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

bool SingleInstance::takeLock() {
    std::string folder;
    splitPath(lockFile_, &folder, nullptr, nullptr);
    if (!folder.empty()) {
        makeFolders(folder);
    }
    const int fd = ::open(lockFile_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // No lock can be had (a read-only home, say): the bus alone decides.
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    return true;
}

bool SingleInstance::handOver(const QStringList& paths) {
    QList<QByteArray> bytes;
    for (const QString& path : paths) {
        bytes << QFile::encodeName(path);
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kInstanceService), QString::fromLatin1(kInstancePath),
        QString::fromLatin1(kInstanceInterface), QStringLiteral("AddPaths"));
    call << QVariant::fromValue(bytes);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, kHandOverTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().toBool();
}

SingleInstance::Claim SingleInstance::claim(const QStringList& paths) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusConnectionInterface* names = bus.interface();
        const auto registered = names->registerService(
            QString::fromLatin1(kInstanceService), QDBusConnectionInterface::DontQueueService,
            QDBusConnectionInterface::DontAllowReplacement);
        if (registered.isValid() &&
            registered.value() == QDBusConnectionInterface::ServiceRegistered) {
            serviceOwned_ = true;
            new InstanceAdaptor(this);
            bus.registerObject(QString::fromLatin1(kInstancePath), this);
        } else {
            return handOver(paths) ? Claim::HandedOver : Claim::AlreadyRunning;
        }
    }
    // The lock also keeps out a window on another bus (another session of
    // the same user), which would share the history.
    return takeLock() ? Claim::Owner : Claim::AlreadyRunning;
}

}  // namespace vidmill

#include "single_instance.moc"
