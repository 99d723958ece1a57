#pragma once
// The main window: a choice of the algorithms the plugins offer (with a
// button that makes a stream with the chosen one), a tab per stream, and the
// workspace menu. It also takes the screenshot that ends a --screenshot run.
#include "StreamSession.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QTabWidget;
class QTimer;

namespace workbench {

class AlgorithmHost;
class StreamPage;

class WorkbenchWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit WorkbenchWindow(const AlgorithmHost& host, QWidget* parent = nullptr);
    ~WorkbenchWindow() override;

    void addStream(std::unique_ptr<StreamSession> session);
    std::vector<StreamPage*> pages() const;
    std::vector<StreamSession*> sessions() const;
    // Destroys the pages (panels, views, then the streams).
    void removeStreams();

    // Every stream's algorithm and settings; each opens (and starts) again
    // when loaded if it was open (running) now.
    bool saveWorkspace(const std::string& path, std::string* error) const;
    // The whole window as a PNG.
    bool saveScreenshot(const std::string& path, std::string* error);
    // What every page's instrument table shows, under a line naming its algorithm.
    bool dumpModels(const std::string& path, std::string* error) const;

    // Once `afterSeconds` have passed and every page has settled (or 30 s
    // more have), takes the screenshot and the model dump (if a path is
    // given), then ends the event loop: 0 when both were written, 1 if not.
    void scheduleScreenshot(const std::string& path, double afterSeconds,
                            const std::string& dumpPath);

private:
    void createChosen();
    void saveWorkspaceAs();
    void checkScreenshot();

    const AlgorithmHost& m_host;
    QComboBox* m_algorithms = nullptr;
    QTabWidget* m_tabs = nullptr;
    QTimer* m_shotTimer = nullptr;
    QElapsedTimer m_shotClock;
    std::string m_shotPath;
    std::string m_dumpPath;
    qint64 m_shotAfterMs = 0;
};

}  // namespace workbench
