// Answers the toolkit's message boxes in window tests: records each box's
// caption, text and icon as it is shown and, once the box's own loop runs,
// calls the test's `whileOpen` (the box is modal: a test can look at the
// window only from inside that loop) and confirms the box. Header only: only
// the window tests link Qt.
#pragma once

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>

#include <QPointer>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

class BoxWatcher : public QObject {
public:
    struct Box {
        std::wstring caption;
        std::wstring text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool ownerEnabled = true;  // the owner window's state while the box was up
    };

    explicit BoxWatcher(std::function<void(QMessageBox*)> whileOpen = {}) : m_whileOpen(std::move(whileOpen)) {
        qApp->installEventFilter(this);
    }
    ~BoxWatcher() override { qApp->removeEventFilter(this); }

    const std::vector<Box>& boxes() const { return m_boxes; }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* box = qobject_cast<QMessageBox*>(object)) {
                Box seen;
                seen.caption = box->windowTitle().toStdWString();
                seen.text = box->text().toStdWString();
                seen.icon = box->icon();
                seen.ownerEnabled = box->parentWidget() == nullptr || box->parentWidget()->isEnabled();
                m_boxes.push_back(seen);
                QPointer<QMessageBox> guarded(box);
                QMetaObject::invokeMethod(
                    box,
                    [this, guarded] {
                        if (guarded && m_whileOpen) m_whileOpen(guarded);
                        if (guarded) guarded->accept();
                    },
                    Qt::QueuedConnection);
            }
        }
        return QObject::eventFilter(object, event);
    }

private:
    std::function<void(QMessageBox*)> m_whileOpen;
    std::vector<Box> m_boxes;
};

}  // namespace testsupport
