// Test main for suites that need a QApplication (run with the offscreen
// platform unless told otherwise).
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // PELK_QT_PLATFORM picks another platform where QT_QPA_PLATFORM cannot
    // be passed: wine hands no QT_ variables to Windows programs.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("PELK_QT_PLATFORM") ? QByteArray("offscreen")
                                                                                     : qgetenv("PELK_QT_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
