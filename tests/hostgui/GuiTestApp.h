#pragma once
// One QApplication for the whole test program, made on first use (the test
// programs use gtest's own main). The offscreen platform is set by the test
// registration; default to it here too so the program also runs by hand.
#include <QApplication>

#include <cstdlib>

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
