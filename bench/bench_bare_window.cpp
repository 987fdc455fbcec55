// The yardsticks of bench_startup: a bare Qt window, or with --web URL a bare
// web view loading URL. Prints when the window first appears (and when the
// page has loaded) in ms of the monotonic clock, then exits.
#include <QApplication>
#include <QElapsedTimer>
#include <QWebEngineView>
#include <QWindow>

#include <cstdio>
#include <memory>

namespace {

long long now()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

class FirstExpose : public QObject
{
public:
    explicit FirstExpose(bool quit)
        : m_quit(quit)
    {
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && !m_seen) {
            m_seen = true;
            std::printf("window at %lld\n", now());
            std::fflush(stdout);
            if (m_quit)
                QCoreApplication::quit();
        }
        return false;
    }

private:
    bool m_quit;
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool web = args.size() == 3 && args.at(1) == QLatin1String("--web");
    std::unique_ptr<QWidget> window;
    if (web) {
        auto *view = new QWebEngineView;
        QObject::connect(view, &QWebEngineView::loadFinished, &app, [] {
            std::printf("loaded at %lld\n", now());
            std::fflush(stdout);
            QCoreApplication::quit();
        });
        view->load(QUrl(args.at(2)));
        window.reset(view);
    } else {
        window = std::make_unique<QWidget>();
    }
    window->resize(900, 640);
    window->show();
    FirstExpose expose(!web);
    window->windowHandle()->installEventFilter(&expose);
    const int code = app.exec();
    window.reset(); // the page before the application
    return code;
}
