// The tip of the day and the please-wait notice, offscreen.

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include "dialogs/please_wait.h"
#include "dialogs/tip_window.h"
#include "dialogs/watch_folders_dialog.h"

using vidmill::TipSet;
using vidmill::TipWindow;

namespace {

QList<vidmill::PleaseWaitWindow*> pleaseWaitWindows() {
    QList<vidmill::PleaseWaitWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* notice = qobject_cast<vidmill::PleaseWaitWindow*>(widget)) {
            found << notice;
        }
    }
    return found;
}

TipSet fiveTips() {
    TipSet set;
    set.caption = "Tips";
    set.header = "Did you know...";
    set.tips = QStringList{"one", "two", "three", "four", "five", "", "never shown"};
    return set;
}

}  // namespace

class SmallWindowsTest : public QObject {
    Q_OBJECT

  private slots:
    void normalizeTipText_data() {
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("shown");
        QTest::newRow("blanks before a break") << "Convert  \nfiles\n\nTip two"
                                               << "Convert files\n\nTip two";
        QTest::newRow("trailing blanks") << "end   "
                                         << "end";
        QTest::newRow("blank inside a line stays") << "a  b\nc"
                                                   << "a  b c";
        QTest::newRow("tab before a break") << "a\t\nb"
                                            << "a\tb";
        QTest::newRow("leading and final breaks stay") << "\nfirst\nline\n"
                                                       << "\nfirst line\n";
        QTest::newRow("three breaks stay") << "a\n\n\nb"
                                           << "a\n\n\nb";
        QTest::newRow("empty") << ""
                               << "";
    }
    void normalizeTipText() {
        QFETCH(QString, tip);
        QFETCH(QString, shown);
        QCOMPARE(vidmill::normalizeTipText(tip), shown);
    }

    void tipsStepWithoutWrapping() {
        TipSet set = fiveTips();
        TipWindow tip(set);
        auto* previous = tip.findChild<QPushButton*>("BitBtnPrevious");
        auto* next = tip.findChild<QPushButton*>("BitBtnNext");
        QCOMPARE(tip.tipCount(), 5);
        QCOMPARE(tip.shownText(), QStringLiteral("one"));
        QVERIFY(!previous->isEnabled());
        QVERIFY(next->isEnabled());
        for (int i = 0; i < 4; ++i) {
            QTest::mouseClick(next, Qt::LeftButton);
        }
        QCOMPARE(tip.shownText(), QStringLiteral("five"));
        QVERIFY(!next->isEnabled());
        QVERIFY(previous->isEnabled());
        tip.showNextTip();  // past the end: stays
        QCOMPARE(tip.tipIndex(), 4);
        for (int i = 0; i < 6; ++i) {
            tip.showPreviousTip();
        }
        QCOMPARE(tip.tipIndex(), 0);
        QCOMPARE(tip.shownText(), QStringLiteral("one"));
        QVERIFY(!previous->isEnabled());

        // A list that ends at once still has its one (empty) tip, and
        // nothing to step to.
        TipSet single;
        single.tips = QStringList{"", "", "after the end"};
        TipWindow lone(single);
        QCOMPARE(lone.tipCount(), 1);
        QVERIFY(!lone.findChild<QPushButton*>("BitBtnNext")->isEnabled());
        QVERIFY(!lone.findChild<QPushButton*>("BitBtnPrevious")->isEnabled());
    }

    void everyWayOfClosingHandsTheChoiceBack_data() {
        QTest::addColumn<QString>("way");
        QTest::addColumn<bool>("before");
        for (const char* way : {"escape in the text", "close button", "title bar", "enter"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1, cleared").arg(way))) << way << true;
            QTest::newRow(qPrintable(QStringLiteral("%1, set").arg(way))) << way << false;
        }
    }
    void everyWayOfClosingHandsTheChoiceBack() {
        QFETCH(QString, way);
        QFETCH(bool, before);
        TipSet set = fiveTips();
        set.showAtStartup = before;
        TipWindow tip(set);
        tip.open();
        QVERIFY(QTest::qWaitForWindowExposed(&tip));
        auto* box = tip.findChild<QCheckBox*>("CBStartup");
        QCOMPARE(box->isChecked(), before);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
        QCOMPARE(box->isChecked(), !before);
        if (way == "escape in the text") {
            auto* text = tip.findChild<QTextEdit*>("REText");
            text->setFocus();
            QTest::keyClick(text, Qt::Key_Escape);
        } else if (way == "close button") {
            QTest::mouseClick(tip.findChild<QPushButton*>("BitBtnClose"), Qt::LeftButton);
        } else if (way == "title bar") {
            tip.close();
        } else {
            QTest::keyClick(&tip, Qt::Key_Return);
        }
        QVERIFY(!tip.isVisible());
        QCOMPARE(set.showAtStartup, !before);
    }

    void pleaseWaitIsOneWindowAndLeavesNone() {
        vidmill::closePleaseWait();  // nothing shown: nothing happens
        QVERIFY(pleaseWaitWindows().isEmpty());

        vidmill::showPleaseWait("Vidmill", "first");
        QCOMPARE(pleaseWaitWindows().size(), 1);
        QVERIFY(pleaseWaitWindows()[0]->isVisible());
        QVERIFY(pleaseWaitWindows()[0]->windowFlags() & Qt::WindowStaysOnTopHint);
        // The user cannot close it: only the program does.
        QVERIFY(!pleaseWaitWindows()[0]->close());
        QTest::keyClick(pleaseWaitWindows()[0], Qt::Key_Escape);
        QVERIFY(pleaseWaitWindows()[0]->isVisible());

        // A second one replaces the first instead of leaving it on top.
        vidmill::showPleaseWait("Second", "second");
        QCOMPARE(pleaseWaitWindows().size(), 1);
        vidmill::PleaseWaitWindow* shown = pleaseWaitWindows()[0];
        QCOMPARE(shown->windowTitle(), QStringLiteral("Second"));
        vidmill::setPleaseWaitText("third");
        QCOMPARE(shown->text(), QStringLiteral("third"));

        vidmill::closePleaseWait();
        QVERIFY(pleaseWaitWindows().isEmpty());
        QVERIFY(vidmill::currentPleaseWait() == nullptr);
        vidmill::setPleaseWaitText("nobody");  // no window: nothing happens
    }

    void watchFoldersAreAddedOnceAndRemovedBySelection() {
        QString picked = "/videos/in/";
        vidmill::WatchFoldersDialog dialog({"/videos/old"}, [&] { return picked; });
        auto* add = dialog.findChild<QPushButton*>("AddFolder1");
        auto* remove = dialog.findChild<QPushButton*>("RemoveFolder1");
        auto* list = dialog.findChild<QListWidget*>("Folders1");
        QVERIFY(add && remove && list);
        QVERIFY(!remove->isEnabled());
        QTest::mouseClick(add, Qt::LeftButton);
        picked = "/videos/in";  // the same folder, written otherwise
        QTest::mouseClick(add, Qt::LeftButton);
        picked.clear();  // cancelled
        QTest::mouseClick(add, Qt::LeftButton);
        QCOMPARE(dialog.folders(), QStringList({"/videos/old", "/videos/in"}));
        list->item(0)->setSelected(true);
        QVERIFY(remove->isEnabled());
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(dialog.folders(), QStringList({"/videos/in"}));
    }
};

QTEST_MAIN(SmallWindowsTest)
#include "small_windows_test.moc"
