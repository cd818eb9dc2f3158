#include "ui/toolkit/qt/SkinWindowWidget.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

#include "ui/toolkit/Controls.h"
#include "ui/toolkit/SkinWindow.h"

namespace ui {

namespace {

QRect toQt(const SkinRect& r) { return QRect(r.left, r.top, r.width, r.height); }

SkinPoint toSkin(const QPoint& p) { return {p.x(), p.y()}; }

class QtCanvas : public SkinCanvas {
public:
    QtCanvas(QPainter& painter, SkinWindowWidget& window) : m_painter(painter), m_window(window) {}

    void setClip(const SkinRect& clip) override { m_painter.setClipRect(toQt(clip)); }

    void drawPicture(const std::string& name, const SkinRect& target) override {
        const QImage image = m_window.picture(name);
        if (!image.isNull()) m_painter.drawImage(toQt(target), image);
    }

    void drawPicturePart(const std::string& name, SkinPoint at, const SkinRect& source) override {
        const QImage image = m_window.picture(name);
        if (!image.isNull()) m_painter.drawImage(QPoint(at.x, at.y), image, toQt(source));
    }

private:
    QPainter& m_painter;
    SkinWindowWidget& m_window;
};

}  // namespace

SkinWindowWidget::SkinWindowWidget(SkinWindow* owner)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_owner(owner), m_skin(this) {
    // Hover states need the pointer's moves with no button down.
    setMouseTracking(true);
}

SkinWindowWidget::~SkinWindowWidget() = default;

void SkinWindowWidget::applySkin() {
    if (m_skin.translucent()) setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(m_skin.size().width, m_skin.size().height);
}

QImage SkinWindowWidget::picture(const std::string& name) {
    if (name.empty()) return {};
    std::string key = name;
    std::replace(key.begin(), key.end(), '\\', '/');
    auto it = m_pictures.find(key);
    if (it != m_pictures.end()) return it->second;
    std::string bytes;
    QImage image;
    if (m_archive.read(name, bytes)) {
        image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()));
    }
    if (!image.isNull()) image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_pictures.emplace(key, image);
    return image;
}

void SkinWindowWidget::skinInvalidate(const SkinRect& area) { update(toQt(area)); }

void SkinWindowWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QtCanvas canvas(painter, *this);
    m_skin.paint(canvas);
}

void SkinWindowWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    if (m_skin.pointerPressed(toSkin(event->position().toPoint()))) {
        m_dragging = true;
        m_dragStartGlobal = event->globalPosition().toPoint();
        m_dragStartPos = pos();
    }
    event->accept();
}

void SkinWindowWidget::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(m_dragStartPos + (event->globalPosition().toPoint() - m_dragStartGlobal));
        event->accept();
        return;
    }
    m_skin.pointerMoved(toSkin(event->position().toPoint()));
    event->accept();
}

void SkinWindowWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    if (m_dragging) {
        move(m_dragStartPos + (event->globalPosition().toPoint() - m_dragStartGlobal));
        m_dragging = false;
    }
    event->accept();
    if (Button* clicked = m_skin.pointerReleased(toSkin(event->position().toPoint()))) {
        NotifyMsg msg;
        msg.type = "click";
        msg.sender = clicked;
        msg.senderName = clicked->name();
        m_owner->DispatchNotify(msg);
    }
}

void SkinWindowWidget::leaveEvent(QEvent* event) {
    m_skin.pointerLeft();
    QWidget::leaveEvent(event);
}

void SkinWindowWidget::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        // Disabled, the window gets no release for a press under way.
        if (!isEnabled()) {
            m_skin.cancelPointer();
            m_dragging = false;
        }
        update();
    }
    QWidget::changeEvent(event);
}

void SkinWindowWidget::keyPressEvent(QKeyEvent* event) {
    // The window has no default or cancel action: Escape must not close it
    // and Enter does nothing.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

void SkinWindowWidget::closeEvent(QCloseEvent* event) {
    // A close request from the window system is the window's WM_CLOSE; what
    // happens then is the window class's decision, never Qt's default.
    event->ignore();
    m_owner->HandleMessage(kWmClose, 0, 0);
}

}  // namespace ui
