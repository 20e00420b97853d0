// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Controls.h"

#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace {

// The classic raised edge: light top-left, dark bottom-right; sunken while pressed.
void drawEdge(QPainter &p, const QRect &r, const QPalette &pal, bool sunken)
{
    const QColor light = pal.color(QPalette::Light);
    const QColor dark = pal.color(QPalette::Dark);
    const QColor shadow = pal.color(QPalette::Shadow);
    p.setPen(sunken ? shadow : light);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(sunken ? light : shadow);
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
    if (!sunken) {
        p.setPen(dark);
        p.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
        p.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
    }
}

} // namespace

QString plainToolTip(const QString &text)
{
    if (text.isEmpty())
        return {};
    return u"<p style='white-space:pre'>" +
           text.toHtmlEscaped().replace(u'\n', QStringLiteral("<br/>")) + u"</p>";
}

ColourButton::ColourButton(const QString &caption, ColourWord back, QWidget *parent)
    : QPushButton(parent), m_back(back)
{
    setText(caption);
}

void ColourButton::setBackColour(ColourWord word)
{
    if (m_back == word)
        return;
    m_back = word;
    update();
}

void ColourButton::setText(const QString &caption)
{
    m_caption = caption;
    // QPushButton's own text would turn "&" into an access key; it is kept for accessibility
    // with every "&" doubled, and the painting below shows the caption as it is.
    QPushButton::setText(QString(caption).replace(u'&', QStringLiteral("&&")));
    update();
}

void ColourButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, Colours::toColor(m_back, palette()));
    drawEdge(p, r.adjusted(0, 0, -1, -1), palette(), isDown());

    const QRect textRect = r.adjusted(4, 3, -4, -3).translated(isDown() ? 1 : 0, isDown() ? 1 : 0);
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.setFont(font());
    p.drawText(textRect, Qt::AlignCenter | Qt::TextWordWrap, m_caption);

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = r.adjusted(4, 4, -4, -4);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}

ColourLabel::ColourLabel(const QString &text, ColourWord back, ColourWord fore, QWidget *parent)
    : QLabel(parent), m_back(back), m_fore(fore)
{
    setTextFormat(Qt::PlainText);
    setText(text);
    setAutoFillBackground(true);
    applyPalette();
}

void ColourLabel::setBackColour(ColourWord word)
{
    if (m_back == word)
        return;
    m_back = word;
    applyPalette();
}

void ColourLabel::applyPalette()
{
    QPalette pal = palette();
    const QColor back = Colours::toColor(m_back, QPalette());
    const QColor fore = Colours::toColor(m_fore, QPalette());
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Window, back);
        pal.setColor(group, QPalette::WindowText, fore);
    }
    setPalette(pal);
}

ColourFrame::ColourFrame(const QString &caption, ColourWord back, ColourWord fore, QWidget *parent)
    : QWidget(parent), m_caption(caption), m_back(back), m_fore(fore)
{
}

void ColourFrame::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QPalette pal = palette();
    const QColor back = Colours::toColor(m_back, pal);
    p.fillRect(rect(), back);

    const QFontMetrics fm(font());
    const int lineY = fm.height() / 2;
    const QRect border = rect().adjusted(0, lineY, -2, -2);
    // An etched border: a dark line with a light one beside it.
    p.setPen(pal.color(QPalette::Dark));
    p.drawRect(border);
    p.setPen(pal.color(QPalette::Light));
    p.drawRect(border.translated(1, 1));

    if (!m_caption.isEmpty()) {
        const int textWidth = fm.horizontalAdvance(m_caption);
        const QRect textRect(8, 0, textWidth + 2, fm.height());
        p.fillRect(textRect, back);
        p.setFont(font());
        p.setPen(isEnabled() ? Colours::toColor(m_fore, pal)
                             : pal.color(QPalette::Disabled, QPalette::WindowText));
        p.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_caption);
    }
}
