#include "ui/toolkit/Controls.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cstdint>

#include "ui/toolkit/SkinWindowWidget.h"

namespace ui {

namespace {

// Skin numbers are small; anything beyond this is a broken skin and is
// clamped rather than trusted with pixel arithmetic.
constexpr int kMaxSkinNumber = 1 << 20;

int toNumber(const QString& text) {
    bool ok = false;
    const long long v = text.trimmed().toLongLong(&ok);
    if (!ok) return 0;
    return static_cast<int>(std::clamp<long long>(v, -kMaxSkinNumber, kMaxSkinNumber));
}

bool toBool(const QString& text) { return text.trimmed().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0; }

QRect toRect(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    int v[4] = {0, 0, 0, 0};
    for (qsizetype i = 0; i < parts.size() && i < 4; ++i) v[i] = toNumber(parts[i]);
    // QRect by its edges: right and bottom are the given numbers, not inclusive
    // pixel positions, so keep them as coordinates.
    return QRect(QPoint(v[0], v[1]), QPoint(v[2], v[3]));
}

}  // namespace

Control::Control(QWidget* parent, SkinWindowWidget* window) : QWidget(parent), m_window(window) {}

QRect Control::floatRect() const {
    const int left = m_pos.left();
    const int top = m_pos.top();
    const int right = m_pos.right();
    const int bottom = m_pos.bottom();
    const int width = m_width > 0 ? m_width : std::max(0, right - left);
    const int height = m_height > 0 ? m_height : std::max(0, bottom - top);
    return QRect(left, top, width, height);
}

void Control::applyAttribute(const QString& name, const QString& value) {
    if (name == QLatin1String("name")) {
        m_name = value;
    } else if (name == QLatin1String("float")) {
        m_float = toBool(value);
    } else if (name == QLatin1String("pos")) {
        m_pos = toRect(value);
    } else if (name == QLatin1String("width")) {
        m_width = std::max(0, toNumber(value));
    } else if (name == QLatin1String("height")) {
        m_height = std::max(0, toNumber(value));
    } else if (name == QLatin1String("enabled")) {
        setEnabled(toBool(value));
    } else if (name == QLatin1String("visible")) {
        setVisible(toBool(value));
    }
}

void Control::drawImage(QPainter& painter, const QString& name, const QRect& target) {
    const QImage image = m_window->archive().image(name);
    if (image.isNull()) return;
    painter.drawImage(target, image);
}

void Container::applyAttribute(const QString& name, const QString& value) {
    if (name == QLatin1String("bkimage")) {
        m_bkImage = value;
    } else {
        Control::applyAttribute(name, value);
    }
}

void Container::layoutChildren() {
    std::vector<Control*> stacked;
    int fixedTotal = 0;
    int flexible = 0;
    for (QObject* child : children()) {
        auto* control = dynamic_cast<Control*>(child);
        if (control == nullptr) continue;
        if (control->isFloat()) {
            control->setGeometry(control->floatRect());
        } else {
            stacked.push_back(control);
            if (control->fixedHeightHint() > 0) {
                fixedTotal += control->fixedHeightHint();
            } else {
                ++flexible;
            }
        }
    }
    const int share = flexible > 0 ? std::max(0, height() - fixedTotal) / flexible : 0;
    int y = 0;
    for (Control* control : stacked) {
        const int h = control->fixedHeightHint() > 0 ? control->fixedHeightHint() : share;
        const int w = control->fixedWidthHint() > 0 ? control->fixedWidthHint() : width();
        control->setGeometry(0, y, w, h);
        y += h;
    }
    for (QObject* child : children()) {
        if (auto* control = dynamic_cast<Control*>(child)) control->layoutChildren();
    }
}

void Container::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawImage(painter, m_bkImage, rect());
}

void Container::resizeEvent(QResizeEvent*) { layoutChildren(); }

Progress::Progress(QWidget* parent, SkinWindowWidget* window) : Control(parent, window) {
    // Presses on the bar belong to the window: it is part of the drag area.
    QWidget::setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Progress::applyAttribute(const QString& name, const QString& value) {
    if (name == QLatin1String("foreimage")) {
        m_foreImage = value;
    } else if (name == QLatin1String("min")) {
        m_min = toNumber(value);
    } else if (name == QLatin1String("max")) {
        m_max = toNumber(value);
    } else if (name == QLatin1String("value")) {
        m_value = toNumber(value);
    } else if (name == QLatin1String("hor")) {
        m_horizontal = toBool(value);
    } else if (name == QLatin1String("isstretchfore")) {
        m_stretchFore = toBool(value);
    } else {
        Control::applyAttribute(name, value);
    }
}

void Progress::SetMinValue(int min) {
    m_min = min;
    update();
}

void Progress::SetMaxValue(int max) {
    m_max = max;
    update();
}

void Progress::SetValue(int value) {
    if (value == m_value || value < m_min || value > m_max) return;
    m_value = value;
    update();
}

int Progress::uncoveredExtent() const {
    if (m_max <= m_min) return 0;
    const int64_t extent = m_horizontal ? width() : height();
    const int64_t shown = std::clamp<int64_t>(int64_t{m_value} - m_min, 0, int64_t{m_max} - m_min);
    return static_cast<int>(extent * shown / (int64_t{m_max} - m_min));
}

void Progress::paintEvent(QPaintEvent*) {
    const int extent = uncoveredExtent();
    if (extent <= 0) return;
    const QImage image = window()->archive().image(m_foreImage);
    if (image.isNull()) return;
    QPainter painter(this);
    if (m_horizontal) {
        const QRect target(0, 0, extent, height());
        if (m_stretchFore) {
            painter.drawImage(target, image);
        } else {
            painter.drawImage(target.topLeft(), image, QRect(0, 0, extent, height()));
        }
    } else {
        const QRect target(0, height() - extent, width(), extent);
        if (m_stretchFore) {
            painter.drawImage(target, image);
        } else {
            painter.drawImage(target.topLeft(), image, QRect(0, height() - extent, width(), extent));
        }
    }
}

Button::Button(QWidget* parent, SkinWindowWidget* window) : Control(parent, window) { setMouseTracking(true); }

void Button::applyAttribute(const QString& name, const QString& value) {
    if (name == QLatin1String("normalimage")) {
        m_images[static_cast<int>(State::Normal)] = value;
    } else if (name == QLatin1String("hotimage")) {
        m_images[static_cast<int>(State::Hot)] = value;
    } else if (name == QLatin1String("pushedimage")) {
        m_images[static_cast<int>(State::Pushed)] = value;
    } else if (name == QLatin1String("disabledimage")) {
        m_images[static_cast<int>(State::Disabled)] = value;
    } else {
        Control::applyAttribute(name, value);
    }
}

Button::State Button::state() const {
    if (!isEnabled()) return State::Disabled;
    if (m_pressed && m_hot) return State::Pushed;
    if (m_hot) return State::Hot;
    return State::Normal;
}

void Button::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QString& image = m_images[static_cast<int>(state())];
    drawImage(painter, image.isEmpty() ? m_images[static_cast<int>(State::Normal)] : image, rect());
}

void Button::enterEvent(QEnterEvent*) {
    m_hot = true;
    update();
}

void Button::leaveEvent(QEvent*) {
    m_hot = false;
    update();
}

void Button::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    m_pressed = true;
    m_hot = rect().contains(event->position().toPoint());
    update();
}

void Button::mouseMoveEvent(QMouseEvent* event) {
    const bool hot = rect().contains(event->position().toPoint());
    if (hot != m_hot) {
        m_hot = hot;
        update();
    }
}

void Button::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_pressed) return;
    m_pressed = false;
    const bool over = rect().contains(event->position().toPoint());
    update();
    if (over && isEnabled()) window()->notify("click", this);
}

void Button::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled()) m_pressed = false;
        update();
    }
    QWidget::changeEvent(event);
}

}  // namespace ui
