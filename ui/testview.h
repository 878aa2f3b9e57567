#pragma once
// TestView: the screen that runs a test and follows it. Top to bottom: an
// optional banner (last error, else offline), the gauge and the live graph,
// the latency/download/upload cards, and the controls (Start or Test Again
// and Copy Result while idle; Cancel and the status while running).
// It has no state of its own: it redraws from SpeedTest on every change and
// only calls start() and cancel() and copies the last result's summary.
// Return and Enter press the focused button, else Start (when it is shown
// and enabled). Main thread.
#include "phase.h"
#include "testresult.h"
#include "theme.h"

#include <QColor>
#include <QString>
#include <QWidget>

#include <optional>

class Banner;
class GaugeView;
class LiveGraph;
class QLabel;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;
class SpeedTest;
class StatCard;

// What the screen reads from the engine, at one moment.
struct TestScreenState {
    Phase phase = Phase::idle;
    std::optional<double> latencyMedian, latencyMin, latencyMax, jitter, download, upload;
    std::optional<QString> errorMessage;
    QString errorCause; // the technical cause of the error, for whoever asks
    QString status;
    bool isOnline = true;
    std::optional<TestResult> lastResult;

    bool isRunning() const { return isRunningPhase(phase); }
    // The one place the screen reads the engine.
    static TestScreenState of(const SpeedTest &test);
};

namespace TestScreen {

struct BannerChoice {
    QString text;
    Theme::Hue hue;
    QString detail; // its tooltip and accessible description
};

inline const QString offlineText = QStringLiteral("You're offline. Connect to the internet to run a speed test.");

// The error in red with its cause as the detail, else the offline notice in
// orange, else nothing.
std::optional<BannerChoice> banner(const TestScreenState &state);
// "median · range MIN–MAX · jitter J" when all three are known, else empty.
QString latencyDetail(const TestScreenState &state);
// "Test Again" after a finished test, "Start" otherwise.
QString startLabel(Phase phase);

} // namespace TestScreen

class TestView : public QWidget {
    Q_OBJECT
public:
    explicit TestView(SpeedTest *test, QWidget *parent = nullptr);

    // Redraws from a state; the engine's changes arrive here.
    void render(const TestScreenState &state);

    bool isBannerShown() const;
    Banner *banner() const { return m_banner; }
    GaugeView *gauge() const { return m_gauge; }
    LiveGraph *graph() const { return m_graph; }
    StatCard *latencyCard() const { return m_latency; }
    StatCard *downloadCard() const { return m_download; }
    StatCard *uploadCard() const { return m_upload; }
    QPushButton *startButton() const { return m_start; }
    QPushButton *copyButton() const { return m_copy; }
    QPushButton *cancelButton() const { return m_cancel; }
    QString statusText() const;

protected:
    void changeEvent(QEvent *event) override;

private:
    void refresh();
    void restyle();
    void copyResult();
    void pressReturn();

    SpeedTest *m_test;
    std::optional<TestResult> m_shownResult;
    QVBoxLayout *m_stack;
    QSpacerItem *m_top;
    QSpacerItem *m_bannerGap;
    Banner *m_banner;
    GaugeView *m_gauge;
    LiveGraph *m_graph;
    StatCard *m_latency;
    StatCard *m_download;
    StatCard *m_upload;
    QPushButton *m_cancel;
    QLabel *m_status;
    QPushButton *m_start;
    QPushButton *m_copy;
};
