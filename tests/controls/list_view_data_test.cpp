#include <QAbstractItemModelTester>
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <set>

#include "controls/list_view_data.h"

using vidmill::ListDataSource;
using vidmill::ListViewData;

namespace {

constexpr int kManyRows = 30000;

// Answers from the row and column alone and records who asked, and whether it asked while the
// owner's (pretend) lock was held.
class FakeSource : public ListDataSource {
  public:
    QString cellText(int row, int column) override {
        note(row);
        return QStringLiteral("r%1c%2").arg(row).arg(column);
    }
    int cellImage(int row) override {
        note(row);
        return row % 3 - 1;
    }
    QString cellToolTip(int row, int column) override {
        note(row);
        // A tip may name a file that looks like markup.
        return column == 0 ? QStringLiteral("tip <b>%1</b>").arg(row) : QString();
    }
    void reset() {
        calls = 0;
        rowsAsked.clear();
    }

    bool locked = false;
    int callsWhileLocked = 0;
    int calls = 0;
    std::set<int> rowsAsked;

  private:
    void note(int row) {
        ++calls;
        callsWhileLocked += locked ? 1 : 0;
        rowsAsked.insert(row);
    }
};

void setUp(ListViewData& view, ListDataSource* source, int count) {
    view.setDataSource(source);
    view.setColumns({"Name", "Status", "Path"}, {150, -90, 0});
    view.resize(500, 400);
    view.setRowCount(count);
}

// Lets zero-timers run and pending paints happen.
void settle() {
    QTest::qWait(30);
}

}  // namespace

class ListViewDataTest : public QObject {
    Q_OBJECT
  private slots:
    void columnsFollowTheWidthConvention();
    void cellData_data();
    void cellData();
    void modelStaysConsistent();
    void longListAsksOnlyForVisibleRows();
    void updateIsDeferredAndCoalesced_data();
    void updateIsDeferredAndCoalesced();
    void flushRepaintsOnlyMarkedVisibleRows();
    void selectionChangesInOneOperation();
    void gotoScrollsAndMovesTheFocusedSelection();
    void focusAndSelectionFollowCount_data();
    void focusAndSelectionFollowCount();
    void activationAndContextMenu();
};

void ListViewDataTest::columnsFollowTheWidthConvention() {
    ListViewData view;
    view.setColumns({"Name", "Status", "Size", "Path"}, {150, -90, 70, 0});
    const QHeaderView* header = view.horizontalHeader();
    const QList<QHeaderView::ResizeMode> modes{QHeaderView::Interactive, QHeaderView::Fixed,
                                               QHeaderView::Interactive, QHeaderView::Stretch};
    for (int column = 0; column < modes.size(); ++column) {
        QCOMPARE(header->sectionResizeMode(column), modes.at(column));
    }
    QCOMPARE(header->sectionSize(1), 90);
    QCOMPARE(view.model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Status"));
    QCOMPARE(view.palette().color(QPalette::Inactive, QPalette::Highlight),
             view.palette().color(QPalette::Active, QPalette::Highlight));

    // Without a source the list paints empty cells.
    view.setRowCount(50);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(!view.grab().isNull());
}

void ListViewDataTest::cellData_data() {
    QTest::addColumn<bool>("withSource");
    QTest::addColumn<int>("role");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("expected");  // "text:...", "icon:N" or "none"
    QTest::addColumn<bool>("asksSource");

    // The fake's image for row r is r % 3 - 1, and the list has one image.
    QTest::newRow("text") << true << int(Qt::DisplayRole) << 2 << 1 << "text:r2c1" << true;
    QTest::newRow("icon") << true << int(Qt::DecorationRole) << 1 << 0 << "icon:0" << true;
    QTest::newRow("no image") << true << int(Qt::DecorationRole) << 0 << 0 << "none" << true;
    QTest::newRow("image out of range")
        << true << int(Qt::DecorationRole) << 2 << 0 << "none" << true;
    QTest::newRow("icon only in column 0")
        << true << int(Qt::DecorationRole) << 1 << 1 << "none" << false;
    QTest::newRow("tooltip, shown as written")
        << true << int(Qt::ToolTipRole) << 1 << 0
        << "text:<p style='white-space:pre-wrap'>tip &lt;b&gt;1&lt;/b&gt;</p>" << true;
    QTest::newRow("empty tooltip") << true << int(Qt::ToolTipRole) << 1 << 2 << "none" << true;
    QTest::newRow("font") << true << int(Qt::FontRole) << 1 << 0 << "none" << false;
    QTest::newRow("edit") << true << int(Qt::EditRole) << 1 << 0 << "none" << false;
    QTest::newRow("size hint") << true << int(Qt::SizeHintRole) << 1 << 0 << "none" << false;
    QTest::newRow("no source") << false << int(Qt::DisplayRole) << 1 << 0 << "none" << false;
}

void ListViewDataTest::cellData() {
    QFETCH(bool, withSource);
    QFETCH(int, role);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, expected);
    QFETCH(bool, asksSource);

    FakeSource source;
    ListViewData view;
    setUp(view, withSource ? &source : nullptr, 5);
    QPixmap red(16, 16);
    red.fill(Qt::red);
    const QIcon icon(red);
    view.setImages({icon});
    source.reset();

    const QVariant value = view.model()->index(row, column).data(role);
    if (expected == "none") {
        QVERIFY(!value.isValid());
    } else if (expected.startsWith("icon:")) {
        QCOMPARE(value.value<QIcon>().cacheKey(), icon.cacheKey());
    } else {
        QCOMPARE(value.toString(), expected.mid(5));
    }
    QCOMPARE(source.calls > 0, asksSource);
    QVERIFY(!view.model()->flags(view.model()->index(row, column)).testFlag(Qt::ItemIsEditable));
}

void ListViewDataTest::modelStaysConsistent() {
    // An owner whose rows keep their identity: the tester checks that a row's neighbours still
    // show the same data after a removal.
    struct KeyedSource : ListDataSource {
        QString cellText(int row, int column) override {
            return QStringLiteral("k%1c%2").arg(keys.at(row)).arg(column);
        }
        int cellImage(int row) override { return -1; }
        QString cellToolTip(int row, int column) override { return {}; }
        std::vector<int> keys;
        int nextKey = 0;
    } source;
    ListViewData view;
    setUp(view, &source, 0);
    QAbstractItemModelTester tester(view.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    // Connected after the tester, so that it sees the rows before and after they change.
    connect(view.model(), &QAbstractItemModel::rowsAboutToBeInserted, this,
            [&](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row) {
                    source.keys.insert(source.keys.begin() + row, source.nextKey++);
                }
            });
    connect(view.model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [&](const QModelIndex&, int first, int last) {
                source.keys.erase(source.keys.begin() + first, source.keys.begin() + last + 1);
            });
    struct Step {
        const char* what;
        std::function<void()> run;
        int rows;
        int columns;
    };
    const std::vector<Step> steps{
        {"grow", [&] { view.setRowCount(10); }, 10, 3},
        {"grow more", [&] { view.setRowCount(25); }, 25, 3},
        {"same", [&] { view.setRowCount(25); }, 25, 3},
        {"shrink", [&] { view.setRowCount(6); }, 6, 3},
        {"remove first", [&] { view.removeRow(0); }, 5, 3},
        {"remove last", [&] { view.removeRow(4); }, 4, 3},
        {"remove middle", [&] { view.removeRow(1); }, 3, 3},
        {"remove past end", [&] { view.removeRow(3); }, 3, 3},
        {"update and redraw",
         [&] {
             view.updateRow(0);
             view.updateRow(2);
             view.redrawRows(9);
             settle();
         },
         3, 3},
        {"more columns",
         [&] {
             view.setColumns({"A", "B", "C", "D", "E"}, {});
         },
         3, 5},
        {"fewer columns",
         [&] {
             view.setColumns({"A", "B"}, {});
         },
         3, 2},
        {"clear", [&] { view.clearRows(); }, 0, 2},
        {"negative", [&] { view.setRowCount(-3); }, 0, 2},
        {"remove from empty", [&] { view.removeRow(0); }, 0, 2},
    };
    for (const Step& step : steps) {
        step.run();
        QVERIFY2(view.rowCount() == step.rows, step.what);
        QVERIFY2(view.model()->rowCount() == step.rows, step.what);
        QVERIFY2(view.model()->columnCount() == step.columns, step.what);
    }
}

void ListViewDataTest::longListAsksOnlyForVisibleRows() {
    FakeSource source;
    ListViewData view;
    setUp(view, &source, 0);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    settle();

    source.reset();
    QElapsedTimer timer;
    timer.start();
    view.setRowCount(kManyRows);
    const double setCountMs = timer.nsecsElapsed() / 1e6;
    QCOMPARE(source.calls, 0);

    const int screenful = view.viewport()->height() / view.rowHeight(0) + 2;
    timer.restart();
    settle();
    view.viewport()->repaint();
    const double paintMs = timer.nsecsElapsed() / 1e6;
    QVERIFY(!source.rowsAsked.empty());
    QVERIFY(int(source.rowsAsked.size()) <= screenful);
    QVERIFY(*source.rowsAsked.rbegin() < screenful);
    qInfo("%d rows: count set in %.2f ms, first paint asked %zu rows (%.1f ms with the wait)",
          kManyRows, setCountMs, source.rowsAsked.size(), paintMs);

    view.gotoRow(20000);
    source.reset();
    view.viewport()->repaint();
    QVERIFY(int(source.rowsAsked.size()) <= screenful);
    QVERIFY(*source.rowsAsked.begin() > 20000 - screenful);
    QVERIFY(*source.rowsAsked.rbegin() < 20000 + screenful);
}

void ListViewDataTest::updateIsDeferredAndCoalesced_data() {
    QTest::addColumn<QString>("ops");       // uN update, rN redraw, xN remove, cN set count
    QTest::addColumn<QString>("expected");  // the dataChanged row runs, "first-last"
    QTest::newRow("runs") << "u3 u4 u5 u9"
                          << "3-5 9-9";
    QTest::newRow("any order, repeated") << "u9 u5 u3 u4 u4 u9"
                                         << "3-5 9-9";
    QTest::newRow("count shrinks") << "u3 u4 u5 u9 c5"
                                   << "3-4";
    QTest::newRow("removal shifts and joins") << "u3 u5 x4"
                                              << "3-4";
    QTest::newRow("marked row removed") << "u4 x4"
                                        << "";
    QTest::newRow("redraw with update") << "r3 u3 u7"
                                        << "0-3 7-7";
    QTest::newRow("rows that do not exist") << "u-1 u20 r0"
                                            << "";
}

void ListViewDataTest::updateIsDeferredAndCoalesced() {
    QFETCH(QString, ops);
    QFETCH(QString, expected);
    FakeSource source;
    ListViewData view;
    setUp(view, &source, 20);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    settle();
    QSignalSpy changed(view.model(), &QAbstractItemModel::dataChanged);

    source.locked = true;
    for (const QString& op : ops.split(' ', Qt::SkipEmptyParts)) {
        const int n = op.mid(1).toInt();
        switch (op.at(0).toLatin1()) {
            case 'u':
                view.updateRow(n);
                break;
            case 'r':
                view.redrawRows(n);
                break;
            case 'x':
                view.removeRow(n);
                break;
            case 'c':
                view.setRowCount(n);
                break;
        }
    }
    QCOMPARE(changed.count(), 0);
    QCOMPARE(source.callsWhileLocked, 0);
    source.locked = false;

    settle();
    QStringList runs;
    for (const QList<QVariant>& args : changed) {
        const auto topLeft = args.at(0).value<QModelIndex>();
        const auto bottomRight = args.at(1).value<QModelIndex>();
        QCOMPARE(topLeft.column(), 0);
        QCOMPARE(bottomRight.column(), 2);
        runs << QStringLiteral("%1-%2").arg(topLeft.row()).arg(bottomRight.row());
    }
    QCOMPARE(runs.join(' '), expected);
    settle();
    QCOMPARE(changed.count(), runs.size());
}

void ListViewDataTest::flushRepaintsOnlyMarkedVisibleRows() {
    FakeSource source;
    ListViewData view;
    setUp(view, &source, kManyRows);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    settle();

    source.reset();
    view.updateRow(3);
    view.updateRow(5);
    view.updateRow(25000);
    QTRY_VERIFY(!source.rowsAsked.empty());
    settle();
    QCOMPARE(source.rowsAsked, (std::set<int>{3, 5}));
}

void ListViewDataTest::selectionChangesInOneOperation() {
    ListViewData view;
    setUp(view, nullptr, kManyRows);
    QSignalSpy changes(view.selectionModel(), &QItemSelectionModel::selectionChanged);
    QSignalSpy notified(&view, &ListViewData::focusOrSelectionChanged);
    const auto once = [&](const char* what, const std::function<void()>& op) {
        changes.clear();
        notified.clear();
        QElapsedTimer timer;
        timer.start();
        op();
        qInfo("%s on %d rows: %.2f ms", what, kManyRows, timer.nsecsElapsed() / 1e6);
        QVERIFY2(changes.count() == 1, what);
        QVERIFY2(notified.count() == 1, what);
    };

    once("select all", [&] { view.selectAllRows(true); });
    QCOMPARE(view.selectedRows().size(), kManyRows);
    once("invert all", [&] { view.invertSelection(); });
    QVERIFY(view.selectedRows().isEmpty());

    const QList<int> scattered{0, 7, 8, 9, kManyRows - 1};
    for (int row : scattered) {
        view.setRowSelected(row, true);
    }
    QCOMPARE(view.selectedRows(), scattered);
    once("invert scattered", [&] { view.invertSelection(); });
    QCOMPARE(view.selectedRows().size(), kManyRows - scattered.size());
    QVERIFY(view.isRowSelected(6) && !view.isRowSelected(7) && view.isRowSelected(10));
    // The one signal tells the view exactly what to repaint.
    const auto selected = changes.at(0).at(0).value<QItemSelection>();
    const auto deselected = changes.at(0).at(1).value<QItemSelection>();
    const QModelIndex six = view.model()->index(6, 1);
    const QModelIndex seven = view.model()->index(7, 1);
    QVERIFY(selected.contains(six) && !selected.contains(seven));
    QVERIFY(deselected.contains(seven) && !deselected.contains(six));
    once("invert back", [&] { view.invertSelection(); });
    QCOMPARE(view.selectedRows(), scattered);
    once("deselect all", [&] { view.selectAllRows(false); });
    QVERIFY(view.selectedRows().isEmpty());

    // The worst case: every other row selected.
    QItemSelection alternate;
    for (int row = 0; row < kManyRows; row += 2) {
        alternate.select(view.model()->index(row, 0), view.model()->index(row, 2));
    }
    view.selectionModel()->select(alternate, QItemSelectionModel::ClearAndSelect);
    once("invert every other row", [&] { view.invertSelection(); });
    QCOMPARE(view.selectedRows().size(), kManyRows / 2);
    QVERIFY(view.isRowSelected(1) && !view.isRowSelected(2));
}

void ListViewDataTest::gotoScrollsAndMovesTheFocusedSelection() {
    FakeSource source;
    ListViewData view;
    setUp(view, &source, 0);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.setRowCount(kManyRows);
    view.setRowSelected(1, true);
    view.setRowSelected(2, true);
    view.setFocusedRow(2);

    // Right after the count changed, then back up.
    const QList<std::pair<int, QList<int>>> jumps{{20000, {1, 20000}}, {3, {1, 3}}};
    for (const auto& [row, selected] : jumps) {
        view.gotoRow(row);
        QCOMPARE(view.focusedRow(), row);
        QCOMPARE(view.selectedRows(), selected);
        const QRect cell = view.visualRect(view.model()->index(row, 0));
        QVERIFY(cell.top() >= 0 && cell.bottom() <= view.viewport()->rect().bottom());
    }
}

void ListViewDataTest::focusAndSelectionFollowCount_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("focus");
    QTest::addColumn<QList<int>>("selected");
    // Starting from 10 rows, rows 3 and 8 selected, row 8 focused.
    QTest::newRow("grow") << 20 << 8 << QList<int>{3, 8};
    QTest::newRow("shrink, focus stays") << 9 << 8 << QList<int>{3, 8};
    QTest::newRow("shrink past focus") << 5 << -1 << QList<int>{3};
    QTest::newRow("clear") << 0 << -1 << QList<int>{};
}

void ListViewDataTest::focusAndSelectionFollowCount() {
    QFETCH(int, count);
    QFETCH(int, focus);
    QFETCH(QList<int>, selected);
    ListViewData view;
    setUp(view, nullptr, 10);
    view.setRowSelected(3, true);
    view.gotoRow(8);
    view.setRowCount(count);
    QCOMPARE(view.focusedRow(), focus);
    QCOMPARE(view.selectedRows(), selected);
}

void ListViewDataTest::activationAndContextMenu() {
    FakeSource source;
    ListViewData view;
    setUp(view, &source, 10);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QSignalSpy activated(&view, &ListViewData::activatedRow);
    QSignalSpy menu(&view, &ListViewData::contextMenuAt);

    view.gotoRow(4);
    QTest::keyClick(&view, Qt::Key_Return);
    QTest::keyClick(&view, Qt::Key_Enter, Qt::KeypadModifier);
    const QPoint second = view.visualRect(view.model()->index(2, 1)).center();
    // The order a real double-click arrives in: the second press comes before the double-click.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, second);
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, second);
    QMouseEvent doubleClick(QEvent::MouseButtonDblClick, second,
                            view.viewport()->mapToGlobal(second), Qt::LeftButton, Qt::LeftButton,
                            Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &doubleClick);
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, second);
    QCOMPARE(activated.count(), 3);
    QCOMPARE(activated.at(0).at(0).toInt(), 4);
    QCOMPARE(activated.at(1).at(0).toInt(), 4);
    QCOMPARE(activated.at(2).at(0).toInt(), 2);

    const QPoint third = view.visualRect(view.model()->index(3, 0)).center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, third, view.viewport()->mapToGlobal(third));
    QApplication::sendEvent(view.viewport(), &click);
    QCOMPARE(menu.count(), 1);
    QCOMPARE(menu.at(0).at(0).toPoint(), view.viewport()->mapToGlobal(third));

    // Home and End go to the ends of the list; Shift+End selects up to it.
    view.gotoRow(4);
    QTest::keyClick(&view, Qt::Key_Home);
    QCOMPARE(view.focusedRow(), 0);
    QTest::keyClick(&view, Qt::Key_End);
    QCOMPARE(view.focusedRow(), 9);
    view.gotoRow(6);
    QTest::keyClick(&view, Qt::Key_End, Qt::ShiftModifier);
    QCOMPARE(view.selectedRows(), QList<int>({6, 7, 8, 9}));
    view.selectAllRows(false);
    view.gotoRow(2);
    QTest::keyClick(&view, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(view.selectedRows(), QList<int>({2, 3}));
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ListViewDataTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "list_view_data_test.moc"
