#include "ui/toolkit/SkinWindow.h"

#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

#include <string>

#include "platform/debug_output.h"
#include "platform/text.h"
#include "ui/toolkit/Controls.h"
#include "ui/toolkit/Skin.h"
#include "ui/toolkit/qt/SkinWindowWidget.h"
#include "ui/toolkit/qt/UiThread.h"

namespace ui {

namespace {

constexpr uint32_t kWsVisible = 0x10000000;

QString fromWide(const std::wstring& text) { return QString::fromStdWString(text); }

std::string toArchiveBytes(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

SkinWindow::SkinWindow() = default;

SkinWindow::~SkinWindow() = default;

SkinWindow::CreateResult SkinWindow::Create(SkinWindow* parent, const wchar_t* title, uint32_t style, uint32_t) {
    if (!ToolkitStarted() || m_widget) return CreateResult::NotPossible;
    auto widget = std::make_unique<SkinWindowWidget>(this);
    if (parent != nullptr && parent->m_widget) {
        widget->setParent(parent->m_widget.get(), widget->windowFlags());
    }

    // Find the skin: the compiled-in archive, else a folder.
    QString failure;
    bool opened = false;
    switch (GetResourceType()) {
        case ResourceType::ZipResource: {
            const QString path = QStringLiteral(":/%1/%2")
                                     .arg(QString::fromLatin1(GetResourceTypeName()), fromWide(GetResourceID()));
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                failure = QStringLiteral("resource %1 missing").arg(path);
            } else if (!widget->archive().openZip(toArchiveBytes(file.readAll()))) {
                failure = QStringLiteral("resource %1 is not a readable archive").arg(path);
            } else {
                opened = true;
            }
            break;
        }
        case ResourceType::Zip: {
            const QString path = fromWide(ToolkitResourcePath()) + fromWide(GetResourceID());
            QFile file(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')));
            if (!file.open(QIODevice::ReadOnly) || !widget->archive().openZip(toArchiveBytes(file.readAll()))) {
                failure = QStringLiteral("archive %1 is not readable").arg(path);
            } else {
                opened = true;
            }
            break;
        }
        default: {
            std::wstring folder = ToolkitResourcePath();
            if (folder.empty()) folder = GetSkinFolder();
            widget->archive().openFolder(folder);
            opened = true;
            break;
        }
    }
    std::string reason = failure.toStdString();
    if (opened && !loadSkin(widget->archive(), platform::wideToUtf8(GetSkinFile()), widget->skin(), reason)) {
        opened = false;
    }
    if (!opened) {
        platform::debugOutput(("skin failed: " + reason + "\n").c_str());
        widget.reset();
        ui::MessageBox(parent, kSkinFailedText, kSkinFailedCaption, MessageIcon::Error);
        return CreateResult::SkinFailed;
    }
    widget->applySkin();

    widget->setObjectName(QString::fromLatin1(GetWindowClassName()));
    widget->setWindowTitle(QString::fromWCharArray(title != nullptr ? title : L""));
    m_widget = std::move(widget);
    InitWindow();
    if ((style & kWsVisible) != 0) m_widget->show();
    return CreateResult::Created;
}

void SkinWindow::CenterWindow() {
    if (!m_widget) return;
    QScreen* screen = m_widget->screen();
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect work = screen->availableGeometry();
    const QSize size = m_widget->frameGeometry().size();
    m_widget->move(work.x() + (work.width() - size.width()) / 2, work.y() + (work.height() - size.height()) / 2);
}

void SkinWindow::ShowWindow(bool show, bool takeFocus) {
    if (!m_widget) return;
    if (!show) {
        m_widget->hide();
        return;
    }
    m_widget->show();
    if (takeFocus) {
        m_widget->raise();
        m_widget->activateWindow();
    }
}

bool SkinWindow::IsWindowVisible() const { return m_widget && m_widget->isVisible(); }

bool SkinWindow::IsWindowEnabled() const { return m_widget && m_widget->isEnabled(); }

bool SkinWindow::IsCreated() const { return m_widget != nullptr; }

uintptr_t SkinWindow::NativeHandle() const {
    if (!m_widget || QGuiApplication::platformName() != QLatin1String("xcb")) return 0;
    return static_cast<uintptr_t>(m_widget->winId());
}

Control* SkinWindow::FindControl(const char* name) const {
    if (!m_widget || name == nullptr) return nullptr;
    return m_widget->findControl(name);
}

bool SkinWindow::RunOnUiThread(const std::function<void()>& work, std::stop_token stop) {
    auto task = [work] {
        work();
        return intptr_t{0};
    };
    return callOnUiThread(QCoreApplication::instance(), task, std::move(stop), nullptr) == CallResult::Done;
}

intptr_t SkinWindow::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, std::stop_token stop) {
    if (!m_widget) return 0;
    intptr_t result = 0;
    auto task = [this, msg, wParam, lParam] { return HandleMessage(msg, wParam, lParam); };
    switch (callOnUiThread(m_widget.get(), task, std::move(stop), &result)) {
        case CallResult::Done:
            return result;
        case CallResult::Interrupted:
            return kSendInterrupted;
        case CallResult::Gone:
            break;
    }
    // As a send to a window that no longer exists: nothing was handled.
    return 0;
}

int32_t SkinWindow::MessageBox(const wchar_t* text, const wchar_t* caption, MessageIcon icon, std::stop_token stop) {
    // The box may outlive an interrupted caller: it keeps its own copies.
    const std::wstring ownText = text != nullptr ? text : L"";
    const std::wstring ownCaption = caption != nullptr ? caption : L"";
    QObject* context = m_widget ? static_cast<QObject*>(m_widget.get()) : QCoreApplication::instance();
    intptr_t result = 0;
    auto task = [this, ownText, ownCaption, icon] {
        return static_cast<intptr_t>(ui::MessageBox(this, ownText.c_str(), ownCaption.c_str(), icon));
    };
    if (callOnUiThread(context, task, std::move(stop), &result) != CallResult::Done) return 0;
    return static_cast<int32_t>(result);
}

intptr_t SkinWindow::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    bool handled = false;
    const intptr_t result = HandleCustomMessage(msg, wParam, lParam, handled);
    if (handled) return result;
    // The default for WM_CLOSE is to end the window: it is hidden for good.
    if (msg == kWmClose && m_widget) m_widget->hide();
    return 0;
}

intptr_t SkinWindow::HandleCustomMessage(uint32_t, uintptr_t, intptr_t, bool& handled) {
    handled = false;
    return 0;
}

void SkinWindow::Notify(const NotifyMsg&) {}

void SkinWindow::SetIcon(int32_t id) {
    if (!m_widget) return;
    const QIcon icon(QStringLiteral(":/ICON/%1").arg(id));
    if (!icon.isNull()) m_widget->setWindowIcon(icon);
}

}  // namespace ui
