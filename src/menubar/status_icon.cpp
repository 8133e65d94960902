#include "menubar/status_icon.h"

#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>

namespace parlotta {

namespace {

const QColor badgeColour(0x23, 0x5f, 0xd8);
const QColor recordingColour(0xc6, 0x28, 0x28);
const QColor transcribingColour(0xb8, 0x57, 0x00);
// The sizes panels ask for (16 to 32) and the larger ones of window icons.
constexpr int iconSizes[] = {16, 22, 24, 32, 48, 64, 128};

QSvgRenderer &svg(const QString &name)
{
    // Parsed once; the renderers live as long as the process.
    static QHash<QString, QSvgRenderer *> renderers;
    QSvgRenderer *&renderer = renderers[name];
    if (!renderer)
        renderer = new QSvgRenderer(QStringLiteral(":/parlotta/icons/%1.svg").arg(name));
    return *renderer;
}

// The largest rectangle of the SVG's proportions centred in area.
QRectF fitted(QSvgRenderer &image, const QRectF &area)
{
    const QSizeF size = QSizeF(image.defaultSize()).scaled(area.size(), Qt::KeepAspectRatio);
    return QRectF(area.center() - QPointF(size.width() / 2, size.height() / 2), size);
}

// The largest bold font whose rendering of text fits area.
QFont fittingFont(const QString &text, const QRectF &area)
{
    QFont font;
    font.setBold(true);
    for (int px = int(area.height()); px > 4; --px) {
        font.setPixelSize(px);
        const QFontMetricsF metrics(font);
        if (metrics.horizontalAdvance(text) <= area.width() && metrics.capHeight() <= area.height())
            break;
    }
    return font;
}

} // namespace

QString codeForDisplay(const QString &languageCode)
{
    QString shown;
    for (const QChar c : languageCode) {
        if (shown.size() == 4)
            break;
        if (c.isPrint() && !c.isSpace() && !c.isSurrogate())
            shown += c;
    }
    return shown;
}

QPixmap statusPixmap(int size, const QString &languageCode, bool showCode, TrayState state)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const QRectF badge(0, 0, size, size);
    painter.setPen(Qt::NoPen);
    painter.setBrush(state == TrayState::Recording      ? recordingColour
                     : state == TrayState::Transcribing ? transcribingColour
                                                        : badgeColour);
    painter.drawRoundedRect(badge, size * 0.2, size * 0.2);
    painter.setBrush(Qt::white);
    if (state == TrayState::Recording) {
        const qreal r = size * 0.24;
        painter.drawEllipse(badge.center(), r, r);
        return pixmap;
    }
    if (state == TrayState::Transcribing) {
        const qreal r = std::max(1.0, size * 0.09);
        for (int i = -1; i <= 1; ++i)
            painter.drawEllipse(badge.center() + QPointF(i * size * 0.27, 0), r, r);
        return pixmap;
    }
    if (state == TrayState::Warning) {
        const qreal inset = size * 0.14;
        svg(QStringLiteral("warning"))
            .render(&painter, badge.adjusted(inset, inset, -inset, -inset));
        return pixmap;
    }
    const qreal margin = size * 0.14;
    const QRectF inner = badge.adjusted(margin, margin, -margin, -margin);
    const QString code =
        showCode && state == TrayState::Idle ? codeForDisplay(languageCode) : QString();
    if (code.isEmpty()) {
        svg(QStringLiteral("waveform"))
            .render(&painter, fitted(svg(QStringLiteral("waveform")), inner));
        return pixmap;
    }
    // A small waveform above, the code below: the code gets the larger share,
    // it is what changes and must be read. The waveform sits on whole pixels,
    // or its one-pixel bars blur into a smear at 16 px.
    const int scale = std::max(1, size / 16);
    const int top = std::max(1, qRound(size * 0.12));
    const QRect wave((size - 9 * scale) / 2, top, 9 * scale, 5 * scale);
    const qreal gap = std::max(1.0, size * 0.06);
    const QRectF text(size * 0.06, wave.bottom() + 1 + gap, size * 0.88,
                      size - (wave.bottom() + 1 + gap) - std::max(1.0, size * 0.08));
    svg(QStringLiteral("waveform-small")).render(&painter, wave);
    painter.setFont(fittingFont(code, text));
    painter.setPen(Qt::white);
    painter.drawText(text, Qt::AlignHCenter | Qt::AlignBottom, code);
    return pixmap;
}

QIcon statusIcon(const QString &languageCode, bool showCode, TrayState state)
{
    static QHash<QString, QIcon> made; // main thread
    // The warning sign takes the code's place: a half-hidden code reads as broken.
    const QString code =
        showCode && state == TrayState::Idle ? codeForDisplay(languageCode) : QString();
    const QString key = QString::number(int(state)) + u'/' + code;
    if (const auto found = made.constFind(key); found != made.cend())
        return *found;
    QIcon icon;
    for (int size : iconSizes)
        icon.addPixmap(statusPixmap(size, code, !code.isEmpty(), state));
    if (made.size() > 64) // a user trying every language
        made.clear();
    made.insert(key, icon);
    return icon;
}

QIcon warningIcon()
{
    return iconFromSvg(QStringLiteral(":/parlotta/icons/warning.svg"));
}

QIcon iconFromSvg(const QString &resource)
{
    QSvgRenderer renderer(resource);
    QIcon icon;
    for (int size : {16, 22, 24, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace parlotta
