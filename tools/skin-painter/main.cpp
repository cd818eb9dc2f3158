// Paints the progress window's pictures (resources/skin/picRes/) and the
// program icon (resources/icon/). Deterministic: the same program paints the
// same pixels, so the pictures can be regenerated and compared.
//
// Usage: skin-painter <resources folder>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kWidth = 408;
constexpr int kHeight = 172;
// The track the progress overlay fills, across the whole width.
constexpr int kTrackTop = 148;
constexpr int kTrackHeight = 10;

QImage newImage(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// A ridge line of gentle hills across the picture, from a fixed sum of waves.
QPainterPath ridge(int baseY, double amplitude, double phase) {
    QPainterPath path;
    path.moveTo(0, kHeight);
    for (int x = 0; x <= kWidth; x += 4) {
        const double t = x / static_cast<double>(kWidth);
        const double y = baseY + amplitude * (0.55 * std::sin(6.2 * t + phase) + 0.3 * std::sin(13.1 * t + 2 * phase) +
                                              0.15 * std::sin(29.0 * t + phase / 2));
        path.lineTo(x, y);
    }
    path.lineTo(kWidth, kHeight);
    path.closeSubpath();
    return path;
}

void drawTitle(QPainter& p, const QColor& colour, int y) {
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setBold(true);
    font.setPixelSize(38);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 6);
    p.setFont(font);
    p.setPen(colour);
    p.drawText(QRect(0, y, kWidth, 48), Qt::AlignCenter, QStringLiteral("MORVEL 3"));
}

QImage background() {
    QImage image = newImage(kWidth, kHeight);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0.0, QColor(0x12, 0x1c, 0x33));
    sky.setColorAt(0.6, QColor(0x1f, 0x3a, 0x52));
    sky.setColorAt(1.0, QColor(0x2b, 0x4d, 0x5e));
    p.fillRect(image.rect(), sky);
    // A pale moon and a few stars, placed by a fixed rule.
    QRadialGradient moon(56, 30, 20);
    moon.setColorAt(0.0, QColor(0xf0, 0xe8, 0xd0, 230));
    moon.setColorAt(0.55, QColor(0xe0, 0xd8, 0xc0, 200));
    moon.setColorAt(1.0, QColor(0xe0, 0xd8, 0xc0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(moon);
    p.drawEllipse(QPointF(56, 30), 20, 20);
    p.setBrush(QColor(0xff, 0xff, 0xff, 150));
    for (int i = 0; i < 28; ++i) {
        // A small multiplicative hash scatters them without a visible line.
        const unsigned h = static_cast<unsigned>(i + 1) * 2654435761u;
        const int x = static_cast<int>(h % kWidth);
        const int y = static_cast<int>((h >> 12) % 60) + 2;
        p.drawEllipse(QPointF(x, y), 0.8, 0.8);
    }
    p.setBrush(QColor(0x2c, 0x45, 0x5e));
    p.drawPath(ridge(108, 14, 0.4));
    p.setBrush(QColor(0x1d, 0x31, 0x45));
    p.drawPath(ridge(122, 10, 2.1));
    p.setBrush(QColor(0x13, 0x22, 0x31));
    p.drawPath(ridge(136, 6, 4.0));
    // Title with a soft shadow.
    drawTitle(p, QColor(0, 0, 0, 120), 52);
    drawTitle(p, QColor(0xdc, 0xe4, 0xee), 50);
    // The empty track: a dark groove with a faint rim.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(0, kTrackTop - 1, kWidth, 1, QColor(0x5a, 0x6e, 0x82));
    p.fillRect(0, kTrackTop, kWidth, kTrackHeight, QColor(0x0a, 0x12, 0x1c));
    p.fillRect(0, kTrackTop + kTrackHeight, kWidth, 1, QColor(0x33, 0x44, 0x55));
    return image;
}

// Transparent but for the filled track: drawn over the background and
// uncovered from the left, it reads as a warm bar in the dark groove.
QImage overlay() {
    QImage image = newImage(kWidth, kHeight);
    QPainter p(&image);
    QLinearGradient bar(0, kTrackTop, 0, kTrackTop + kTrackHeight);
    bar.setColorAt(0.0, QColor(0xff, 0xe2, 0x8a));
    bar.setColorAt(0.5, QColor(0xf5, 0xb0, 0x2e));
    bar.setColorAt(1.0, QColor(0xc8, 0x7a, 0x10));
    p.fillRect(0, kTrackTop, kWidth, kTrackHeight, bar);
    // A glow just above the bar.
    QLinearGradient glow(0, kTrackTop - 8, 0, kTrackTop);
    glow.setColorAt(0.0, QColor(0xf5, 0xb0, 0x2e, 0));
    glow.setColorAt(1.0, QColor(0xf5, 0xb0, 0x2e, 110));
    p.fillRect(0, kTrackTop - 8, kWidth, 8, glow);
    return image;
}

QImage closeButton(const QColor& disc, const QColor& cross, qreal crossHalf, qreal shift) {
    QImage image = newImage(20, 20);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xff, 0xff, 0xff, 60), 1));
    p.setBrush(disc);
    p.drawEllipse(QRectF(1, 1, 18, 18));
    QPen pen(cross, 2.2, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    const QPointF c(10 + shift, 10 + shift);
    p.drawLine(c + QPointF(-crossHalf, -crossHalf), c + QPointF(crossHalf, crossHalf));
    p.drawLine(c + QPointF(-crossHalf, crossHalf), c + QPointF(crossHalf, -crossHalf));
    return image;
}

QImage icon() {
    QImage image = newImage(64, 64);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 64);
    g.setColorAt(0, QColor(0x1f, 0x3a, 0x52));
    g.setColorAt(1, QColor(0x12, 0x1c, 0x33));
    p.setPen(QPen(QColor(0xf5, 0xb0, 0x2e), 3));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setBold(true);
    font.setPixelSize(30);
    p.setFont(font);
    p.setPen(QColor(0xdc, 0xe4, 0xee));
    p.drawText(QRect(0, 0, 64, 64), Qt::AlignCenter, QStringLiteral("M3"));
    return image;
}

bool save(const QImage& image, const QString& path) {
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: skin-painter <resources folder>\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString pic = root + QStringLiteral("/skin/picRes/");
    bool ok = save(background(), pic + QStringLiteral("gl_bg.png"));
    ok = save(overlay(), pic + QStringLiteral("gl_pgs_fg.png")) && ok;
    // Normal: quiet on the picture. Hot: red, to say "this closes". Pushed:
    // darker, the cross pressed in. Disabled: grey and dim.
    ok = save(closeButton(QColor(0x10, 0x18, 0x24, 150), QColor(0xdc, 0xe4, 0xee), 4.0, 0),
              pic + QStringLiteral("btn_close.png")) && ok;
    ok = save(closeButton(QColor(0xd0, 0x3a, 0x2f, 235), QColor(0xff, 0xff, 0xff), 4.5, 0),
              pic + QStringLiteral("btn_close_hover.png")) && ok;
    ok = save(closeButton(QColor(0x8a, 0x1e, 0x18, 255), QColor(0xf0, 0xd0, 0xc8), 3.5, 0.6),
              pic + QStringLiteral("btn_close_press.png")) && ok;
    ok = save(closeButton(QColor(0x70, 0x70, 0x70, 120), QColor(0xa7, 0xa6, 0xaa, 160), 4.0, 0),
              pic + QStringLiteral("btn_close_disable.png")) && ok;
    ok = save(icon(), root + QStringLiteral("/icon/gamelauncher.png")) && ok;
    return ok ? 0 : 1;
}
