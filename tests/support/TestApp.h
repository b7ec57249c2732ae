// The set-up every Qt test program shares: a Qt application object on the offscreen
// platform (unless the environment names another), then GoogleTest.
#pragma once

#ifdef TRM_TEST_WIDGETS
#include <QApplication>
#else
#include <QCoreApplication>
#endif

#include <gtest/gtest.h>

namespace trm::testing {

inline int RunTestsInQtApplication(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#ifdef TRM_TEST_WIDGETS
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

} // namespace trm::testing
