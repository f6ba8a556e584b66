// The main window's Help menu: the manual, the tips, the home page, the
// about box and the update check.

#include "app/window/main_window.h"

#include "app/desktop.h"
#include "app/qt_paths.h"
#include "dialogs/please_wait.h"
#include "formats/format_preset.h"
#include "system/text_utils.h"
#include "system/update_check.h"
#include "vidmill_version.h"

namespace vidmill {

TipSet programTips() {
    TipSet tips;
    tips.caption = QStringLiteral("Tip of the Day");
    tips.header = QStringLiteral("Did you know...");
    // Written with hard line breaks; the tip window joins them into
    // paragraphs. The empty text ends the list.
    tips.tips = QStringList{
        QStringLiteral("...that you can drop files and whole folders on the window?\n"
                       "Folders are searched, subfolders included, and what you drop\n"
                       "starts converting at once."),
        QStringLiteral("...that videos added with Add (Ins) wait for you?\n"
                       "Press Convert (F2) when the list is complete; the settings\n"
                       "window opens first and names the number of videos.\n\n"
                       "Cancel there, and nothing starts."),
        QStringLiteral("...that several videos convert at once?\n"
                       "Choose how many (1 to 20) on the General page of the Settings\n"
                       "(Ctrl+E). The others wait as Pending and start in list order."),
        QStringLiteral("...that you can stop one conversion or all of them?\n"
                       "Stop Conversion (Ctrl+T) stops the focused entry, Stop All (Esc)\n"
                       "every one. When nothing else is ready, Convert (F2) offers the\n"
                       "stopped videos again."),
        QStringLiteral("...why a conversion failed?\n"
                       "Hover over its status to read the reason, or choose\n"
                       "\"Why did it fail?\" in the list's right-click menu to copy it."),
        QStringLiteral("...that double-clicking an entry plays it?\n"
                       "A converted entry plays its new file, a ready one its source, in\n"
                       "Vidmill's own player: Space pauses, Left and Right seek five\n"
                       "seconds, Esc ends it."),
        QStringLiteral("...that the destination folder keeps every file it had?\n"
                       "When a name is taken, the new file gets a number:\n"
                       "clip.mp4, then clip(1).mp4, clip(2).mp4 and so on."),
        QStringLiteral("...that Rename Video (F6) renames a converted file in the\n"
                       "destination folder, and Delete Video (F8) deletes it with its\n"
                       "entry?\n\n"
                       "Your source files are never deleted."),
        QStringLiteral("...that the list is kept for the next start?\n"
                       "Converted videos stay in the list (turn \"Save History\" off in\n"
                       "the Settings if you do not want that). Even after a crash no\n"
                       "entry is lost: unfinished ones come back stopped."),
        QStringLiteral("...that Delete All Entries with UnExisting Videos clears every\n"
                       "entry whose converted file is gone, moved or deleted since?"),
        QStringLiteral("...that the format list beside the destination folder holds 38\n"
                       "formats for players, phones, set-top boxes, the web and archives?\n"
                       "The >> button opens all their options: frame size and rate,\n"
                       "bitrates, codecs, channels, sample rate and volume."),
        QStringLiteral("...that H.265, AV1 and VP9 make files half the size or less?\n"
                       "They encode at a constant quality: the lower the Quality (CRF)\n"
                       "in the Settings, the better the picture and the larger the file.\n"
                       "Dates, places, chapters and, in Matroska, every track are kept."),
        QStringLiteral("...that Vidmill can switch the computer off, or just close,\n"
                       "when a batch is done?\n"
                       "Tick the choice on the General page of the Settings. Stop All\n"
                       "cancels it for that batch."),
        QStringLiteral("...that Open Destination Folder shows your converted videos\n"
                       "in the file manager?"),
        QStringLiteral("...that vidmill-cli converts from a terminal with the same\n"
                       "formats? Try \"vidmill-cli --list-presets\"."),
        QString(),
    };
    return tips;
}

QString aboutCaption() {
    return QStringLiteral("About Vidmill");
}

QString aboutText() {
    return QStringLiteral(
               "Vidmill %1\n\n"
               "A batch video converter for Linux: add videos, pick one of 38 output formats,\n"
               "and convert them all, several at once.\n\n"
               "Built on FFmpeg's libraries, libmpv and Qt.")
        .arg(QStringLiteral(VIDMILL_VERSION));
}

QString updateWaitText() {
    return QStringLiteral("Looking for a newer version of Vidmill...");
}

void MainWindow::showHelp() {
    if (paths_.helpFile.empty()) {
        showMessage(kInformationMessage, "The manual is not installed with this copy of Vidmill.");
    } else if (!desktop_.openPath(fromPath(paths_.helpFile))) {
        showMessage(kInformationMessage, "The manual " + paths_.helpFile +
                                             " could not be opened: the desktop has no "
                                             "program for it. Open it with your web browser.");
    }
}

void MainWindow::showTipOfTheDay() {
    TipSet tips = programTips();
    tips.showAtStartup = engine_->settings().showTips;
    // Nothing waits for it to close: a watched folder's videos least of all.
    desktop_.showTips(this, tips, [this](bool on) {
        engine_->changeSettings([on](ConversionSettings& s) { s.showTips = on; });
    });
}

void MainWindow::showHomePage() {
    if (!desktop_.openUrl(QString::fromStdString(paths_.homePage))) {
        showMessage(kInformationMessage, "The home page " + paths_.homePage +
                                             " could not be opened. Please visit it with "
                                             "your web browser.");
    }
}

void MainWindow::showAbout() {
    desktop_.showAbout(this, aboutCaption(), aboutText());
}

void MainWindow::checkForUpdate() {
    int32_t lastCheckDay = engine_->settings().lastUpdateCheckDay;
    const auto keepDay = [&] {
        engine_->changeSettings(
            [&](ConversionSettings& s) { s.lastUpdateCheckDay = lastCheckDay; });
    };
    const int today = todayNumber();
    if (paths_.versionUrl.empty() ||
        !updateCheckDue(lastCheckDay, today, kUpdateCheckIntervalDays)) {
        keepDay();
        return;
    }
    showPleaseWait(kAppTitle, updateWaitText(), this);
    UpdateCheckIo io;
    io.get = [this](const std::string& url, std::size_t capacity) {
        return desktop_.httpGet(url, capacity);
    };
    io.ask = [this](const std::string& version) {
        // The notice stays on top of everything: it must not hide the question.
        closePleaseWait();
        return showMessage(kQuestionMessage, "A newer version of Vidmill (" + version +
                                                 ") is available. Visit its download "
                                                 "page?") == 1;
    };
    io.openUrl = [this](const std::string& url) { desktop_.openUrl(QString::fromStdString(url)); };
    runUpdateCheck({paths_.versionUrl, VIDMILL_VERSION, paths_.homePage}, lastCheckDay,
                   kUpdateCheckIntervalDays, today, io);
    keepDay();
    closePleaseWait();
}

}  // namespace vidmill
