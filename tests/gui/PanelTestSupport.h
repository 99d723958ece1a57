#pragma once
// What the panel tests share: waiting on the user-interface thread, the
// panel's widgets by name, and answering the modal dialogs the panel opens.
#include "../hostgui/GuiTestApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace paneltest {

// The shared deadline and wait of the host's panel tests.
constexpr int kWaitMs = kGuiWaitMs;
using ::waitUntil;

struct PanelButtons {
    QPushButton* connection = nullptr;
    QPushButton* start = nullptr;
    QPushButton* addTracker = nullptr;
};

inline PanelButtons buttonsOf(const QWidget& panel)
{
    return {panel.findChild<QPushButton*>("connectionButton"),
            panel.findChild<QPushButton*>("startButton"),
            panel.findChild<QPushButton*>("addTrackerButton")};
}

inline QStringList geometryLabels(const QWidget& panel)
{
    QStringList texts;
    if (auto* box = panel.findChild<QWidget*>("geometryLabels"))
        for (QLabel* label : box->findChildren<QLabel*>()) texts << label->text();
    return texts;
}

// Runs `answer` on the modal dialog the next action opens, from the dialog's
// own event loop; `answer` must close it. Gives up after the deadline.
inline void answerModalDialog(std::function<void(QDialog&)> answer,
                              std::chrono::steady_clock::time_point deadline)
{
    QTimer::singleShot(5, [answer = std::move(answer), deadline]() mutable {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            answer(*dialog);
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "no modal dialog appeared";
            return;
        }
        answerModalDialog(std::move(answer), deadline);
    });
}

inline void answerNextModalDialog(std::function<void(QDialog&)> answer)
{
    answerModalDialog(std::move(answer),
                      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs));
}

}  // namespace paneltest
