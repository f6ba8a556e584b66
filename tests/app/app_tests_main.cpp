// Runs the main window's test classes, offscreen, in one program.

#include <QApplication>
#include <QTest>
#include <memory>

namespace vidmill {
QObject* makeMainWindowTest();
QObject* makeMainWindowBatchTest();
QObject* makeMainWindowHelpTest();
}  // namespace vidmill

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    int failed = 0;
    for (auto make : {vidmill::makeMainWindowTest, vidmill::makeMainWindowBatchTest,
                      vidmill::makeMainWindowHelpTest}) {
        const std::unique_ptr<QObject> test(make());
        failed += QTest::qExec(test.get(), argc, argv);
    }
    return failed == 0 ? 0 : 1;
}
