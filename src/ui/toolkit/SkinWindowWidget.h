// The Qt side of a SkinWindow: the borderless top-level widget, its control
// tree built from the skin, the caption drag and the key filter. Private to
// src/ui/.
//
// UI thread only.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <map>

#include "ui/toolkit/SkinArchive.h"

namespace ui {

class Control;
class SkinWindow;

class SkinWindowWidget : public QWidget {
public:
    explicit SkinWindowWidget(SkinWindow* owner);
    ~SkinWindowWidget() override;

    // Builds the controls from the skin document `xml`; the pictures come
    // from `archive`. False with `error` set when the document is not a
    // well-formed skin.
    bool build(const QByteArray& xml, QString& error);

    SkinArchive& archive() { return m_archive; }
    Control* findControl(const QString& name) const;
    // A control's notification, routed to the window class by name.
    void notify(const char* type, Control* sender);
    // Whether `pos` (window coordinates) lies in the caption rectangle.
    bool inCaption(const QPoint& pos) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    SkinWindow* m_owner;
    SkinArchive m_archive;
    Control* m_root = nullptr;
    std::map<QString, Control*> m_named;
    // Caption: left, top, right inset, bottom, as the skin gives it.
    QRect m_caption;
    bool m_dragging = false;
    QPoint m_dragStartGlobal;
    QPoint m_dragStartPos;
};

}  // namespace ui
