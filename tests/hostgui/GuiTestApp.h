#pragma once
// One QApplication for the whole test program, made on first use (the test
// programs use gtest's own main). The offscreen platform is set by the test
// registration; default to it here too so the program also runs by hand.
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

inline QApplication& guiTestApp()
{
    static int argc = 1;
    static char name[] = "hostgui_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Deadline for anything the machine will do; it only keeps a broken build from
// hanging and is not a timing claim.
constexpr int kGuiWaitMs = 60000;

// Lets the user-interface thread run until `ready` holds; false when the
// deadline passed first. Qt's QTRY_ macros report to a QTest run, which these
// GoogleTest programs do not have: their timeout returns from the test as if
// it had passed.
inline bool waitUntil(const std::function<bool()>& ready, int limitMs = kGuiWaitMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Waits for the values to become equal, then compares them so that a timeout
// fails the test with both values shown.
#define ASSERT_EVENTUALLY_EQ(actual, expected)                          \
    do {                                                                \
        waitUntil([&] { return bool((actual) == (expected)); });        \
        ASSERT_EQ(actual, expected) << "still unequal at the deadline"; \
    } while (0)

#define ASSERT_EVENTUALLY_TRUE(condition)                                     \
    do {                                                                      \
        waitUntil([&] { return bool(condition); });                           \
        ASSERT_TRUE(condition) << "still false at the deadline: " #condition; \
    } while (0)
