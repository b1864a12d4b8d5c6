// drag_source FILE...
//
// Shows a small window at the top left of the screen. Pressing the mouse on
// it starts a drag of the named files (as file URLs, the way a file manager
// drags them); releasing it over a window drops them there. It prints the
// time of each step of the drag:
//
//   drag started           the press, QDrag::exec begins
//   QDrag::exec returned   the drop was sent (Qt returns before the end)
//   XdndFinished received  the drop target says it is done with the drop
//
// and quits after the last one (or after two minutes).
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDateTime>
#include <QDrag>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>

namespace {

void report(const char *what)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    std::printf("%lld.%03lld %s\n", now / 1000, now % 1000, what);
    std::fflush(stdout);
}

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, false, uint16_t(qstrlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    std::free(reply);
    return atom;
}

// Watches the X events for the drop target's XdndFinished message.
class FinishedWatch : public QAbstractNativeEventFilter
{
public:
    explicit FinishedWatch(xcb_atom_t finished) : finished(finished) {}

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE
            && reinterpret_cast<const xcb_client_message_event_t *>(event)->type == finished) {
            report("XdndFinished received");
            // Let Qt see the message too, then end.
            QTimer::singleShot(200, qApp, &QCoreApplication::quit);
        }
        return false;
    }

private:
    xcb_atom_t finished;
};

class DragSource : public QLabel
{
public:
    explicit DragSource(const QList<QUrl> &urls)
        : QLabel(QStringLiteral("drag %1 file(s) from here").arg(urls.size())), urls(urls)
    {
        setAlignment(Qt::AlignCenter);
    }

protected:
    void mousePressEvent(QMouseEvent *) override
    {
        auto *mime = new QMimeData;
        mime->setUrls(urls);
        auto *drag = new QDrag(this);
        drag->setMimeData(mime);
        report("drag started");
        const Qt::DropAction action = drag->exec(Qt::CopyAction);
        report(action == Qt::IgnoreAction ? "QDrag::exec returned: not dropped"
                                          : "QDrag::exec returned: dropped");
    }

private:
    QList<QUrl> urls;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    auto *x11 = app.nativeInterface<QNativeInterface::QX11Application>();
    if (!x11) {
        std::fprintf(stderr, "drag_source: needs the xcb platform\n");
        return EXIT_FAILURE;
    }
    FinishedWatch watch(internAtom(x11->connection(), "XdndFinished"));
    app.installNativeEventFilter(&watch);

    QList<QUrl> urls;
    for (const QString &arg : QCoreApplication::arguments().mid(1))
        urls.append(QUrl::fromLocalFile(QFileInfo(arg).absoluteFilePath()));

    DragSource source(urls);
    source.setWindowTitle(QStringLiteral("drag source"));
    source.setGeometry(0, 0, 220, 120);
    source.show();
    QTimer::singleShot(120000, &app, &QCoreApplication::quit);
    return app.exec();
}
