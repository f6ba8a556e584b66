#pragma once

// One window per user owns the list. The first start claims a name on the
// session bus and a lock on the configuration folder; a later start hands
// the files and folders it was given to the running window over the bus and
// ends. Without a session bus the lock alone decides.

#include <QObject>
#include <QStringList>
#include <functional>
#include <string>

namespace vidmill {

inline constexpr const char* kInstanceService = "org.vidmill.Vidmill";
inline constexpr const char* kInstancePath = "/org/vidmill/Vidmill";
inline constexpr const char* kInstanceInterface = "org.vidmill.Vidmill";

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Claim {
        // This start owns the list.
        Owner,
        // Another window runs and took our files: end quietly.
        HandedOver,
        // Another window runs and could not be reached: say so and end.
        AlreadyRunning,
    };

    // `lockFile`: the lock in the configuration folder (made when missing).
    explicit SingleInstance(std::string lockFile, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Claims the list, or hands `paths` (absolute) to its owner.
    Claim claim(const QStringList& paths);

    // Takes what later starts hand over (absolute paths); gives false when
    // it cannot take them (the window is closing), and the later start then
    // says so itself.
    void setReceiver(std::function<bool(const QStringList&)> receiver) {
        receiver_ = std::move(receiver);
    }

  private:
    friend class InstanceAdaptor;
    bool takeLock();
    bool handOver(const QStringList& paths);

    std::string lockFile_;
    int lockFd_ = -1;
    bool serviceOwned_ = false;
    std::function<bool(const QStringList&)> receiver_;
};

}  // namespace vidmill
