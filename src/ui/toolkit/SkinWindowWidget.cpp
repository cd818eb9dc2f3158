#include "ui/toolkit/SkinWindowWidget.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QXmlStreamReader>

#include <functional>

#include "ui/toolkit/Controls.h"
#include "ui/toolkit/SkinWindow.h"

namespace ui {

namespace {

// Skins nest a handful of levels; a document nested deeper than this is not
// a skin and is refused before it can exhaust the stack.
constexpr int kMaxDepth = 32;

QRect edgesOf(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    int v[4] = {0, 0, 0, 0};
    for (qsizetype i = 0; i < parts.size() && i < 4; ++i) v[i] = parts[i].trimmed().toInt();
    return QRect(QPoint(v[0], v[1]), QPoint(v[2], v[3]));
}

Control* makeControl(QStringView type, QWidget* parent, SkinWindowWidget* window) {
    if (type == u"VerticalLayout") return new VerticalLayout(parent, window);
    if (type == u"Container") return new Container(parent, window);
    if (type == u"Progress") return new Progress(parent, window);
    if (type == u"Button") return new Button(parent, window);
    if (type == u"Control") return new Control(parent, window);
    return nullptr;
}

}  // namespace

SkinWindowWidget::SkinWindowWidget(SkinWindow* owner)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_owner(owner) {}

SkinWindowWidget::~SkinWindowWidget() = default;

bool SkinWindowWidget::build(const QByteArray& xml, QString& error) {
    QXmlStreamReader reader(xml);
    // The control whose children are being read at each depth; null where an
    // element the toolkit does not know is skipped with everything below it.
    std::vector<QWidget*> parents;
    bool sawWindow = false;
    QSize size;
    bool translucent = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (parents.size() >= kMaxDepth) {
                error = QStringLiteral("skin nested too deeply");
                return false;
            }
            const QXmlStreamAttributes attributes = reader.attributes();
            if (parents.empty()) {
                if (reader.name() != u"Window") {
                    error = QStringLiteral("the skin's root is not a Window");
                    return false;
                }
                sawWindow = true;
                for (const QXmlStreamAttribute& a : attributes) {
                    if (a.name() == u"size") {
                        const QRect r = edgesOf(a.value().toString() + QStringLiteral(",0,0"));
                        size = QSize(r.left(), r.top());
                    } else if (a.name() == u"caption") {
                        m_caption = edgesOf(a.value().toString());
                    } else if (a.name() == u"bktrans") {
                        translucent = a.value().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
                    }
                }
                parents.push_back(this);
                continue;
            }
            QWidget* parent = parents.back();
            Control* control = parent != nullptr ? makeControl(reader.name(), parent, this) : nullptr;
            if (control != nullptr) {
                for (const QXmlStreamAttribute& a : attributes) {
                    control->applyAttribute(a.name().toString(), a.value().toString());
                }
                if (!control->name().isEmpty()) m_named.emplace(control->name(), control);
                if (parent == this && m_root == nullptr) m_root = control;
            }
            parents.push_back(control);
        } else if (token == QXmlStreamReader::EndElement) {
            if (!parents.empty()) parents.pop_back();
        }
    }
    if (reader.hasError()) {
        error = QStringLiteral("skin document: %1 (line %2)").arg(reader.errorString()).arg(reader.lineNumber());
        return false;
    }
    if (!sawWindow) {
        error = QStringLiteral("the skin has no Window");
        return false;
    }
    if (size.width() <= 0 || size.height() <= 0 || size.width() > 16384 || size.height() > 16384) {
        error = QStringLiteral("the skin's window size is not usable");
        return false;
    }
    if (translucent) setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(size);
    if (m_root != nullptr) m_root->setGeometry(rect());
    for (QObject* child : children()) {
        if (auto* control = dynamic_cast<Control*>(child)) control->layoutChildren();
    }
    return true;
}

Control* SkinWindowWidget::findControl(const QString& name) const {
    auto it = m_named.find(name);
    return it == m_named.end() ? nullptr : it->second;
}

void SkinWindowWidget::notify(const char* type, Control* sender) {
    NotifyMsg msg;
    msg.type = type;
    msg.sender = sender;
    if (sender != nullptr) msg.senderName = sender->name().toStdString();
    m_owner->DispatchNotify(msg);
}

bool SkinWindowWidget::inCaption(const QPoint& pos) const {
    // The right edge is an inset from the window's right side, so "0,0,0,h"
    // spans the whole width.
    return pos.x() >= m_caption.left() && pos.x() < width() - m_caption.right() && pos.y() >= m_caption.top() &&
           pos.y() < m_caption.bottom();
}

void SkinWindowWidget::mousePressEvent(QMouseEvent* event) {
    // Presses over a control that takes the mouse (the button) never get
    // here: that control accepts them.
    if (event->button() == Qt::LeftButton && inCaption(event->position().toPoint())) {
        m_dragging = true;
        m_dragStartGlobal = event->globalPosition().toPoint();
        m_dragStartPos = pos();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void SkinWindowWidget::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(m_dragStartPos + (event->globalPosition().toPoint() - m_dragStartGlobal));
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void SkinWindowWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (m_dragging && event->button() == Qt::LeftButton) {
        move(m_dragStartPos + (event->globalPosition().toPoint() - m_dragStartGlobal));
        m_dragging = false;
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
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

void SkinWindowWidget::resizeEvent(QResizeEvent*) {
    if (m_root != nullptr) m_root->setGeometry(rect());
}

}  // namespace ui
