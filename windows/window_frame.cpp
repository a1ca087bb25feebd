#include "windows/window_frame.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace layout {

namespace {

xcb_connection_t* x11Connection() {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The atom of the property where window managers state the frame (_NET_FRAME_EXTENTS).
xcb_atom_t frameExtentsAtom(xcb_connection_t* connection) {
    static const xcb_atom_t atom = [connection] {
        static const char name[] = "_NET_FRAME_EXTENTS";
        const xcb_intern_atom_cookie_t cookie =
            xcb_intern_atom(connection, 0, sizeof name - 1, name);
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }();
    return atom;
}

class FrameWatch : public QAbstractNativeEventFilter {
public:
    void add(QWidget* window, std::function<void()> changed) {
        m_watched.push_back({window, std::move(changed)});
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
            return false;
        const auto* property = static_cast<const xcb_property_notify_event_t*>(message);
        xcb_connection_t* connection = x11Connection();
        if (connection == nullptr || property->atom != frameExtentsAtom(connection))
            return false;
        std::erase_if(m_watched, [](const Watched& w) { return w.window.isNull(); });
        for (const Watched& w : m_watched) {
            if (w.window->testAttribute(Qt::WA_WState_Created) &&
                w.window->winId() == property->window)
                // After the event is handled, so that Qt's own state is up to date.
                QMetaObject::invokeMethod(w.window, w.changed, Qt::QueuedConnection);
        }
        return false;
    }

private:
    struct Watched {
        QPointer<QWidget> window;
        std::function<void()> changed;
    };
    std::vector<Watched> m_watched;
};

} // namespace

QMargins windowFrame(const QWidget* window) {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        const QRect outer = window->frameGeometry();
        const QRect inner = window->geometry();
        return {inner.left() - outer.left(), inner.top() - outer.top(),
                outer.right() - inner.right(), outer.bottom() - inner.bottom()};
    }
    if (!window->testAttribute(Qt::WA_WState_Created))
        return {};
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, xcb_window_t(window->winId()), frameExtentsAtom(connection),
                         XCB_ATOM_CARDINAL, 0, 4);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) != 16)
        return {};
    // The property's order is left, right, top, bottom.
    const auto* value = static_cast<const quint32*>(xcb_get_property_value(reply.get()));
    return {int(value[0]), int(value[2]), int(value[1]), int(value[3])};
}

void onFrameChange(QWidget* window, std::function<void()> changed) {
    if (x11Connection() == nullptr)
        return;
    // One filter for the process, installed with the first window watched.
    static FrameWatch* const watch = [] {
        auto* filter = new FrameWatch;
        qApp->installNativeEventFilter(filter);
        return filter;
    }();
    watch->add(window, std::move(changed));
}

} // namespace layout
