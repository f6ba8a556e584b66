#include "app/desktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>
#include <QVariantMap>

#include "app/http_get.h"
#include "app/power_off.h"
#include "app/prompt_dialog.h"
#include "dialogs/about_box.h"
#include "dialogs/settings_dialog.h"
#include "dialogs/watch_folders_dialog.h"
#include "engine/engine_host.h"
#include "process/converter_runner.h"

namespace vidmill {
namespace {

// The Add dialog's size where the screen has room for it.
constexpr int kAddDialogWidth = 900;
constexpr int kAddDialogHeight = 560;

}  // namespace

std::unique_ptr<QMessageBox> QtDesktop::makeMessageBox(QWidget* parent, int style,
                                                       const QString& text) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(kAppTitle);
    // Texts name files, and a file may be called "<b>x</b>": never markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    if (style == kQuestionMessage) {
        box->setIcon(QMessageBox::Question);
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Ok);
    } else {
        box->setIcon(style == kInformationMessage ? QMessageBox::Information : QMessageBox::NoIcon);
        box->setStandardButtons(QMessageBox::Ok);
    }
    return box;
}

int QtDesktop::messageBox(QWidget* parent, int style, const QString& text) {
    return makeMessageBox(parent, style, text)->exec() == QMessageBox::Ok ? 1 : 2;
}

QStringList QtDesktop::openFiles(QWidget* parent, const QString& title, const QString& folder,
                                 const QString& filter, int maxFiles) {
    QFileDialog dialog(parent, title, folder, filter);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    // Qt's own dialog matches the patterns whatever the case of a name
    // ("CLIP.AVI"), which a desktop's native one may not.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setViewMode(QFileDialog::Detail);
    // Room for the names with their sizes, types and dates beside them.
    QSize size(kAddDialogWidth, kAddDialogHeight);
    if (const QScreen* screen = parent != nullptr ? parent->screen() : nullptr) {
        size = size.boundedTo(screen->availableGeometry().size() * 0.9);
    }
    dialog.resize(size);
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    QStringList files = dialog.selectedFiles();
    if (files.size() > maxFiles) {
        files.erase(files.begin() + maxFiles, files.end());
    }
    return files;
}

QString QtDesktop::pickFolder(QWidget* parent, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(parent, title, start);
}

namespace {

// How long xdg-mime may take to name a program before xdg-open is left to try.
constexpr int kOpenerQueryMs = 5000;

// The type whose program opens `url`: a folder, a file by its name and
// contents, an address by its scheme.
QString openerType(const QUrl& url) {
    if (!url.isLocalFile()) {
        return QStringLiteral("x-scheme-handler/") + url.scheme();
    }
    const QString path = url.toLocalFile();
    return QFileInfo(path).isDir() ? QStringLiteral("inode/directory")
                                   : QMimeDatabase().mimeTypeForFile(path).name();
}

}  // namespace

bool desktopHasOpenerFor(const QUrl& url) {
    if (QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty()) {
        return false;
    }
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty()) {
        return true;  // nobody to ask: xdg-open tries
    }
    QProcess query;
    query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), openerType(url)});
    if (!query.waitForFinished(kOpenerQueryMs)) {
        query.kill();
        query.waitForFinished();
        return true;
    }
    return query.exitStatus() == QProcess::NormalExit &&
           !query.readAllStandardOutput().trimmed().isEmpty();
}

namespace {

// Qt hands the address to xdg-open and reports success once that has
// started, whether or not any program takes it: ask first.
bool openWithDesktop(const QUrl& url) {
    return desktopHasOpenerFor(url) && QDesktopServices::openUrl(url);
}

}  // namespace

bool QtDesktop::openPath(const QString& path) {
    return openWithDesktop(QUrl::fromLocalFile(path));
}

bool QtDesktop::openUrl(const QString& url) {
    return openWithDesktop(QUrl(url));
}

void QtDesktop::notify(const QString& title, const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    if (!bus.isConnected() || bus.interface() == nullptr ||
        !bus.interface()->isServiceRegistered(service).value()) {
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                       service, QStringLiteral("Notify"));
    call << QString::fromLatin1(kAppTitle) << uint(0) << QStringLiteral("video-x-generic") << title
         << text << QStringList() << QVariantMap() << int(-1);
    // Nobody waits for the answer: a slow service must not hold the window.
    bus.call(call, QDBus::NoBlock);
}

bool QtDesktop::launchPlayer(const QString& player, const QString& file, const QRect& over) {
    // An argument vector, no shell: any name reaches the player as one argument.
    const QString area = QStringLiteral("%1,%2,%3,%4")
                             .arg(over.x())
                             .arg(over.y())
                             .arg(over.width())
                             .arg(over.height());
    return launchDetached({QFile::encodeName(player).toStdString(), "--over", area.toStdString(),
                           "--", QFile::encodeName(file).toStdString()}) != 0;
}

std::optional<std::string> QtDesktop::promptNonEmpty(QWidget* parent, const QString& caption,
                                                     const QString& prompt,
                                                     const std::string& initial, int capacity) {
    std::string value = initial;
    // The prompt window's own function; inside this class the bare name
    // would be this very method.
    if (!vidmill::promptNonEmpty(parent, caption, prompt, value, capacity)) {
        return std::nullopt;
    }
    return value;
}

void QtDesktop::showText(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setIcon(QMessageBox::Information);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

namespace {

// The settings dialog's way to the desktop: the same pickers and boxes.
class DialogHost : public SettingsDialogHost {
  public:
    explicit DialogHost(QtDesktop& desktop) : desktop_(desktop) {}
    QString pickFolder(QWidget* parent, const QString& title, const QString& start) override {
        return desktop_.pickFolder(parent, title, start);
    }
    void showMessage(QWidget* parent, const QString& text) override {
        desktop_.messageBox(parent, kInformationMessage, text);
    }

  private:
    QtDesktop& desktop_;
};

}  // namespace

bool QtDesktop::editSettings(QWidget* parent, ConversionSettings& settings, int videoCount,
                             bool batchRunning) {
    DialogHost host(*this);
    SettingsDialog dialog(host, settings, videoCount, parent);
    if (batchRunning) {
        dialog.showBatchNote();
    }
    const bool accepted = dialog.exec() == QDialog::Accepted;
    settings = dialog.result();
    return accepted;
}

void QtDesktop::showTips(QWidget* parent, const TipSet& tips, std::function<void(bool)> keep) {
    showTipWindow(parent, tips, std::move(keep));
}

void QtDesktop::showAbout(QWidget* parent, const QString& caption, const QString& text) {
    runAboutBox(parent, caption, text);
}

bool QtDesktop::editWatchFolders(QWidget* parent, QStringList& folders) {
    WatchFoldersDialog dialog(
        folders,
        [this, &dialog] {
            return pickFolder(&dialog, QStringLiteral("Watch Folder"), QDir::homePath());
        },
        parent);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    folders = dialog.folders();
    return true;
}

bool QtDesktop::powerOff(QString* why) {
    SystemPowerOff steps;
    return powerOffWith(steps, why);
}

HttpReply QtDesktop::httpGet(const std::string& url, std::size_t capacity) {
    return vidmill::httpGet(QString::fromStdString(url), capacity);
}

QString qtFileFilter(const std::string& bars) {
    const QStringList parts = QString::fromUtf8(bars).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const qsizetype bracket = description.indexOf(QLatin1String(" ("));
        if (bracket >= 0) {
            description.truncate(bracket);
        }
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            if (!patterns.contains(pattern.toLower())) {
                patterns << pattern.toLower();
            }
        }
        filters << description + QLatin1String(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return filters.join(QLatin1String(";;"));
}

}  // namespace vidmill
