// The Qt side of a SkinWindow: the borderless top-level widget that holds
// the window's Skin, paints it, hands it the pointer, drags the window and
// filters the keys. Private to src/ui/.
//
// UI thread only.
#pragma once

#include <QImage>
#include <QPoint>
#include <QWidget>
#include <map>
#include <string>

#include "ui/toolkit/Skin.h"
#include "ui/toolkit/SkinArchive.h"
#include "ui/toolkit/SkinBackend.h"

namespace ui {

class Control;
class SkinWindow;

class SkinWindowWidget : public QWidget, public SkinHost {
public:
    explicit SkinWindowWidget(SkinWindow* owner);
    ~SkinWindowWidget() override;

    SkinArchive& archive() { return m_archive; }
    Skin& skin() { return m_skin; }
    // Sizes the window after the skin, once it has been loaded.
    void applySkin();
    Control* findControl(const std::string& name) const { return m_skin.findControl(name); }
    // The picture `name` of the archive, decoded once and kept; a null image
    // when it is missing or not a picture.
    QImage picture(const std::string& name);

    // SkinHost
    bool skinWindowEnabled() const override { return isEnabled(); }
    void skinInvalidate(const SkinRect& area) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    SkinWindow* m_owner;
    SkinArchive m_archive;
    Skin m_skin;
    std::map<std::string, QImage> m_pictures;
    bool m_dragging = false;
    QPoint m_dragStartGlobal;
    QPoint m_dragStartPos;
};

}  // namespace ui
