// The skin's controls as Qt widgets. Private to src/ui/: the window class
// reaches them through SkinWindow::FindControl and the types here.
//
// UI thread only. Every control is owned by its parent widget, the root by
// the window widget.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

namespace ui {

class SkinWindowWidget;

class Control : public QWidget {
public:
    Control(QWidget* parent, SkinWindowWidget* window);

    const QString& name() const { return m_name; }
    bool isFloat() const { return m_float; }
    // Where a floating control sits in its parent: "pos" (left, top, right,
    // bottom) with "width"/"height" taking the place of a zero right/bottom.
    QRect floatRect() const;
    int fixedWidthHint() const { return m_width; }
    int fixedHeightHint() const { return m_height; }

    // One skin attribute; unknown ones are ignored, as the skin may carry
    // attributes for text this toolkit does not draw.
    virtual void applyAttribute(const QString& name, const QString& value);
    // Places the children once the control has its size.
    virtual void layoutChildren() {}

protected:
    SkinWindowWidget* window() const { return m_window; }
    // Draws `image` scaled into `target`; nothing when it is missing.
    void drawImage(QPainter& painter, const QString& name, const QRect& target);

private:
    SkinWindowWidget* m_window;
    QString m_name;
    bool m_float = false;
    QRect m_pos;  // left, top, right, bottom as the skin gives them
    int m_width = 0;
    int m_height = 0;
};

// A control that holds others: floating children at their "pos", the rest
// stacked from the top with their fixed heights (the remaining height shared
// by those without one).
class Container : public Control {
public:
    using Control::Control;
    void applyAttribute(const QString& name, const QString& value) override;
    void layoutChildren() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString m_bkImage;
};

class VerticalLayout : public Container {
public:
    using Container::Container;
};

// A bar whose "foreimage" is uncovered as the value grows: from the left
// ("hor" true) or from the bottom, over size × (value − min) / (max − min)
// pixels, the picture unscaled ("isstretchfore" false) or squeezed into the
// uncovered part.
class Progress : public Control {
public:
    Progress(QWidget* parent, SkinWindowWidget* window);
    void applyAttribute(const QString& name, const QString& value) override;

    int GetMinValue() const { return m_min; }
    int GetMaxValue() const { return m_max; }
    int GetValue() const { return m_value; }
    void SetMinValue(int min);
    void SetMaxValue(int max);
    // Ignores a value equal to the current one or outside min..max.
    void SetValue(int value);
    // The uncovered part's extent in pixels along the bar.
    int uncoveredExtent() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_foreImage;
    int m_min = 0;
    int m_max = 100;
    int m_value = 0;
    bool m_horizontal = true;
    bool m_stretchFore = false;
};

// A button drawn with one picture per state: normal, hot (mouse over),
// pushed (pressed on it) and disabled. A release over it after a press on it
// sends the window the notification "click".
class Button : public Control {
public:
    enum class State { Normal, Hot, Pushed, Disabled };

    Button(QWidget* parent, SkinWindowWidget* window);
    void applyAttribute(const QString& name, const QString& value) override;
    State state() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString m_images[4];
    bool m_hot = false;
    bool m_pressed = false;
};

}  // namespace ui
