#include "ui/toolkit/Toolkit.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <xcb/xcb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ui/toolkit/SkinWindow.h"
#include "ui/toolkit/qt/SkinWindowWidget.h"

namespace ui {

namespace {

// The application object and the argument vector it keeps pointers into.
struct ToolkitState {
    int argc = 3;
    char arg0[16] = "gamelauncher";
    char arg1[16] = "-platform";
    std::string platform;
    char* argv[4] = {};
    std::unique_ptr<QApplication> app;
    std::wstring resourcePath;
};

ToolkitState& state() {
    static ToolkitState s;
    return s;
}

bool pluginInstalled(const QByteArray& name) {
    QStringList folders;
    for (const QString& dir : qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        folders << dir;
    }
    for (const QString& dir : qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        folders << dir + QStringLiteral("/platforms");
    }
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    const QString file = QStringLiteral("libq%1.so").arg(QString::fromLatin1(name));
    for (const QString& folder : folders) {
        if (QFileInfo::exists(folder + QLatin1Char('/') + file)) return true;
    }
    return false;
}

// The X server must accept us now: Qt's X11 platform ends the process when
// it cannot connect, which must not happen to a program that still has to
// shut down in order.
bool displayAnswers(const QByteArray& displayName) {
    xcb_connection_t* connection = xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), nullptr);
    const bool ok = connection != nullptr && xcb_connection_has_error(connection) == 0;
    if (connection != nullptr) xcb_disconnect(connection);
    return ok;
}

// Picks the platform Qt would take and checks, before Qt tries it, that it
// can start: Qt's answer to a platform that cannot start is to abort.
ToolkitStart choosePlatform(std::string& chosen) {
    const QByteArray requested = qgetenv("QT_QPA_PLATFORM");
    // Qt tries the names of a ";" list in turn; without one it takes X11.
    const QList<QByteArray> candidates =
        requested.isEmpty() ? QList<QByteArray>{QByteArrayLiteral("xcb")} : requested.split(';');
    ToolkitStart failure = requested.isEmpty() ? ToolkitStart::NoDisplay : ToolkitStart::PlatformFailed;
    for (const QByteArray& candidate : candidates) {
        const QByteArray entry = candidate.trimmed();
        const qsizetype colon = entry.indexOf(':');
        const QByteArray name = colon < 0 ? entry : entry.left(colon);
        if (name.isEmpty() || !pluginInstalled(name)) continue;
        if (name == "xcb") {
            const QByteArray display = qgetenv("DISPLAY");
            if (display.isEmpty()) {
                failure = ToolkitStart::NoDisplay;
                continue;
            }
            if (!displayAnswers(display)) {
                failure = ToolkitStart::PlatformFailed;
                continue;
            }
        } else if (name == "wayland" || name.startsWith("wayland-")) {
            if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
                failure = ToolkitStart::NoDisplay;
                continue;
            }
        }
        chosen = entry.toStdString();
        return ToolkitStart::Started;
    }
    return failure;
}

QMessageBox::Icon toQt(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error:
            return QMessageBox::Critical;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

ToolkitStart StartToolkit(const wchar_t* resourcePath) {
    ToolkitState& s = state();
    if (s.app || QCoreApplication::instance() != nullptr) return ToolkitStart::AlreadyStarted;
    std::string platform;
    const ToolkitStart chosen = choosePlatform(platform);
    if (chosen != ToolkitStart::Started) return chosen;
    s.platform = platform;
    s.argc = 3;
    s.argv[0] = s.arg0;
    s.argv[1] = s.arg1;
    s.argv[2] = s.platform.data();
    s.argv[3] = nullptr;
    s.app = std::make_unique<QApplication>(s.argc, s.argv);
    // Closing a message box while the progress window is hidden must not end
    // the program: only the window's WM_CLOSE handling does.
    QApplication::setQuitOnLastWindowClosed(false);
    s.resourcePath = resourcePath != nullptr ? resourcePath : L"";
    return ToolkitStart::Started;
}

bool ToolkitStarted() { return state().app != nullptr; }

const wchar_t* ToolkitResourcePath() { return state().resourcePath.c_str(); }

// A quit message waits for the message loop: one posted while no loop runs
// (or taken out of the queue by a nested event pump such as a test's) still
// ends the next loop.
namespace {

std::atomic<int> g_pendingQuits{0};
std::atomic<int> g_quitCode{0};
int g_loopDepth = 0;  // UI thread only

void deliverQuit() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [] {
            if (g_loopDepth == 0) return;  // kept for RunMessageLoop
            int pending = g_pendingQuits.load();
            while (pending > 0 && !g_pendingQuits.compare_exchange_weak(pending, pending - 1)) {
            }
            // exit() rather than quit(): Qt's quit first asks every window
            // to close, and a close request is the window's own WM_CLOSE.
            if (pending > 0) QCoreApplication::exit(g_quitCode.load());
        },
        Qt::QueuedConnection);
}

}  // namespace

int RunMessageLoop() {
    if (!state().app) return -1;
    if (g_pendingQuits.load() > 0) deliverQuit();
    ++g_loopDepth;
    const int code = QApplication::exec();
    --g_loopDepth;
    return code;
}

void PostQuitMessage(int code) {
    g_quitCode.store(code);
    g_pendingQuits.fetch_add(1);
    deliverQuit();
}

void StopToolkit() {
    ToolkitState& s = state();
    g_pendingQuits.store(0);
    s.app.reset();
    s.resourcePath.clear();
}

int32_t MessageBox(SkinWindow* owner, const wchar_t* text, const wchar_t* caption, MessageIcon icon) {
    if (!ToolkitStarted()) return 0;
    QWidget* ownerWidget = owner != nullptr ? owner->widget() : nullptr;
    QMessageBox box(toQt(icon), QString::fromWCharArray(caption != nullptr ? caption : L""),
                    QString::fromWCharArray(text != nullptr ? text : L""), QMessageBox::Ok, ownerWidget);
    box.setWindowModality(Qt::ApplicationModal);
    // The owner takes no input while its box is open; the box itself, a
    // window of its own, stays usable.
    QPointer<QWidget> disabled;
    if (ownerWidget != nullptr && ownerWidget->isEnabled()) {
        ownerWidget->setEnabled(false);
        disabled = ownerWidget;
    }
    box.setEnabled(true);
#ifdef GL_TEST_HOOKS
    // Test builds only: with GL_TEST_BOXES set, a whole run of the built
    // program can go through its warnings offscreen, where nobody can click.
    // The box is shown and its loop runs as for a player; the line on
    // standard error says which box it was.
    const char* confirm = std::getenv("GL_TEST_BOXES");
    if (confirm != nullptr && confirm[0] != '\0') {
        std::fprintf(stderr, "[test box] %s\n", box.text().toUtf8().constData());
        std::fflush(stderr);
        QTimer::singleShot(0, &box, [&box] { box.accept(); });
    }
#endif
    box.exec();
    if (disabled) disabled->setEnabled(true);
    return kIdOk;
}

}  // namespace ui
