#include "quorvelapp.h"

#include "contentview.h"
#include "historystore.h"
#include "pathmonitor.h"
#include "speedtest.h"

#include <QUrl>

namespace {
// A server of the user's own is reachable without the internet, so the
// system's check looks for a way to that server instead.
std::unique_ptr<PathMonitor> monitorFor(QuorvelApp::Options &options)
{
    if (options.monitor || options.origin.isEmpty())
        return std::move(options.monitor);
    return createSystemPathMonitor(QUrl(options.origin).host(QUrl::FullyEncoded).toStdString());
}
} // namespace

QuorvelApp::QuorvelApp(Options options)
    : m_history(options.historyPath.isEmpty() ? std::make_unique<HistoryStore>()
                                              : std::make_unique<HistoryStore>(options.historyPath)),
      m_test(std::make_unique<SpeedTest>(options.origin.isEmpty() ? QString::fromLatin1(defaultServerOrigin)
                                                                  : options.origin,
                                         monitorFor(options)))
{
    HistoryStore *store = m_history.get();
    m_test->onFinish = [store](const TestResult &result) { store->add(result); };
    m_window = std::make_unique<ContentView>(m_test.get(), store);
    m_window->setWindowTitle(QStringLiteral("Quorvel"));
    m_window->resize(ContentView::minimumWidth, ContentView::minimumHeight);
}

QuorvelApp::~QuorvelApp()
{
    m_window.reset();
    // The callback must not outlive the store it points at.
    m_test->onFinish = nullptr;
}
