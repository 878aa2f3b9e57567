#include "quorvelapp.h"

#include "contentview.h"
#include "historystore.h"
#include "pathmonitor.h"
#include "singleinstance.h"
#include "speedtest.h"

#include <QUrl>

#include <algorithm>

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

void QuorvelApp::serve(SingleInstance &instance)
{
    ContentView *window = m_window.get();
    QObject::connect(&instance, &SingleInstance::activationRequested, window, [window](const QString &token) {
        // Wayland lets a window take the focus only with the token of the
        // launch that asked for it.
        if (!token.isEmpty())
            qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->show();
        window->raise();
        window->activateWindow();
    });
    HistoryStore *store = m_history.get();
    instance.setSaveHandler([store](const TestResult &result) {
        const QList<TestResult> &items = store->items();
        if (std::none_of(items.cbegin(), items.cend(), [&result](const TestResult &r) { return r.id == result.id; }))
            store->add(result);
        return store->saveError();
    });
}

QuorvelApp::~QuorvelApp()
{
    m_window.reset();
    // The callback must not outlive the store it points at.
    m_test->onFinish = nullptr;
}
