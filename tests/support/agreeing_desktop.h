#pragma once

// A desktop for programs that run the window unattended (the autopilot, the
// screenshots, the window benchmark): every question is answered OK, no
// dialog opens, nothing is started, and nothing may ever switch the
// computer off.

#include "app/desktop.h"

namespace vidmill::test {

class AgreeingDesktop : public Desktop {
  public:
    int messageBox(QWidget*, int, const QString&) override { return 1; }
    QStringList openFiles(QWidget*, const QString&, const QString&, const QString&, int) override {
        return {};
    }
    QString pickFolder(QWidget*, const QString&, const QString&) override { return {}; }
    bool openPath(const QString&) override { return true; }
    bool openUrl(const QString&) override { return true; }
    void notify(const QString&, const QString&) override {}
    bool launchPlayer(const QString&, const QString&, const QRect&) override { return true; }
    std::optional<std::string> promptNonEmpty(QWidget*, const QString&, const QString&,
                                              const std::string&, int) override {
        return std::nullopt;
    }
    void showText(QWidget*, const QString&, const QString&) override {}
    bool editSettings(QWidget*, ConversionSettings&, int, bool) override { return true; }
    void showTips(QWidget*, const TipSet&, std::function<void(bool)>) override {}
    void showAbout(QWidget*, const QString&, const QString&) override {}
    bool editWatchFolders(QWidget*, QStringList&) override { return false; }
    bool powerOff(QString*) override { return true; }
    HttpReply httpGet(const std::string&, std::size_t) override { return {}; }
};

}  // namespace vidmill::test
