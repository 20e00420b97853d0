// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Controls.h"

#include <QAccessibleWidget>
#include <QPaintEngine>
#include <QPainter>

#include <algorithm>

namespace {

// Paints in device pixels: a rectangle of them, filled.
struct DevicePainter
{
    QPainter &p;
    int unit; // device pixels for one of the design's pixels, at least one

    void fill(int x, int y, int w, int h, const QColor &c) const
    {
        p.fillRect(QRect(x, y, w, h), c);
    }
    // A ring of the given width just inside r.
    void ring(const QRect &r, int width, const QColor &c) const
    {
        fill(r.left(), r.top(), r.width(), width, c);
        fill(r.left(), r.bottom() + 1 - width, r.width(), width, c);
        fill(r.left(), r.top(), width, r.height(), c);
        fill(r.right() + 1 - width, r.top(), width, r.height(), c);
    }
};

// The classic raised edge, on whole device pixels: light top and left, a black shadow bottom and
// right on the outermost pixels, a dark line inside it; sunken while pressed.
void drawEdge(const DevicePainter &d, const QSize &size, const QPalette &pal, bool sunken)
{
    const int u = d.unit, w = size.width(), h = size.height();
    const QColor light = pal.color(QPalette::Light);
    const QColor shadow = pal.color(QPalette::Shadow);
    d.fill(0, 0, w, u, sunken ? shadow : light);
    d.fill(0, 0, u, h, sunken ? shadow : light);
    d.fill(0, h - u, w, u, sunken ? light : shadow);
    d.fill(w - u, 0, u, h, sunken ? light : shadow);
    if (!sunken) {
        const QColor dark = pal.color(QPalette::Dark);
        d.fill(u, h - 2 * u, w - 2 * u, u, dark);
        d.fill(w - 2 * u, u, u, h - 2 * u, dark);
    }
}

// A screen reader sees an output's button as a toggle that shows the reported state.
class ColourButtonAccessible : public QAccessibleWidget
{
public:
    explicit ColourButtonAccessible(ColourButton *button)
        : QAccessibleWidget(button, QAccessible::Button)
    {
    }
    ColourButton *button() const { return static_cast<ColourButton *>(widget()); }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && button()->accessibleName().isEmpty())
            return button()->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.pressed = button()->isDown();
        if (const auto on = button()->shownState()) {
            s.checkable = true;
            s.checked = *on;
        }
        return s;
    }
    QStringList actionNames() const override
    {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override
    {
        if (action == pressAction() && button()->isEnabled())
            button()->click();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *colourButtonAccessible(const QString &key, QObject *object)
{
    if (key == QLatin1String("ColourButton"))
        return new ColourButtonAccessible(static_cast<ColourButton *>(object));
    return nullptr;
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
    static const bool accessible = (QAccessible::installFactory(colourButtonAccessible), true);
    Q_UNUSED(accessible);
    setText(caption);
}

void ColourButton::setShownState(bool on)
{
    if (m_shownState == on)
        return;
    m_shownState = on;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
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
    // The edges and the focus mark in device pixels, so that none falls between two of them.
    const qreal ratio = p.paintEngine()->paintDevice()->devicePixelRatio();
    p.save();
    p.scale(1 / ratio, 1 / ratio);
    const DevicePainter d{p, std::max(1, qRound(ratio))};
    const QSize size(qRound(width() * ratio), qRound(height() * ratio));
    d.fill(0, 0, size.width(), size.height(), Colours::toColor(m_back, palette()));
    drawEdge(d, size, palette(), isDown());
    if (hasFocus()) { // black round white: one of the two stands out on any colour
        const int u = d.unit;
        const QRect inside(3 * u, 3 * u, size.width() - 6 * u, size.height() - 6 * u);
        d.ring(inside, u, Qt::black);
        d.ring(inside.adjusted(u, u, -u, -u), u, Qt::white);
    }
    p.restore();

    const QRect textRect =
        rect().adjusted(4, 3, -4, -3).translated(isDown() ? 1 : 0, isDown() ? 1 : 0);
    p.setPen(isEnabled() ? Colours::textOn(m_back, palette())
                         : palette().color(QPalette::Disabled, QPalette::ButtonText));
    p.setFont(font());
    p.drawText(textRect, Qt::AlignCenter | Qt::TextWordWrap, m_caption);
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
    // On a fixed back colour, a desktop's text colour is not taken as it is.
    const QColor fore = Colours::isSystem(m_fore) && !Colours::isSystem(m_back)
                            ? Colours::textOn(m_back, QPalette())
                            : Colours::toColor(m_fore, QPalette());
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
