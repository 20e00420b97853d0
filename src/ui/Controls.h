// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "ColourWord.h"

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <optional>

// A tooltip that shows text exactly as given: device names and system messages are escaped,
// never read as markup.
QString plainToolTip(const QString &text);

// Controls that keep their colour words as state; code compares words, never rendered RGB.

// A button in the graphical style: it paints exactly its back colour, flat, also while
// disabled (then only its caption greys). Captions are shown literally: "&" is no access key.
// Its edges lie on whole device pixels at every scale, and its focus mark, black and white,
// shows on any colour.
class ColourButton : public QPushButton
{
    Q_OBJECT
public:
    ColourButton(const QString &caption, ColourWord back, QWidget *parent = nullptr);

    ColourWord backColour() const { return m_back; }
    void setBackColour(ColourWord word);

    void setText(const QString &caption);
    QString text() const { return m_caption; }

    // The state the button shows (an output's, as reported), for a screen reader: checked or
    // not. A click still only clicks. Unset: the button shows none.
    std::optional<bool> shownState() const { return m_shownState; }
    void setShownState(bool on);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    ColourWord m_back;
    QString m_caption;
    std::optional<bool> m_shownState;
};

// A label with colour words for back and fore colour. Plain text only: what it shows may come
// from the controller.
class ColourLabel : public QLabel
{
    Q_OBJECT
public:
    ColourLabel(const QString &text, ColourWord back, ColourWord fore, QWidget *parent = nullptr);

    ColourWord backColour() const { return m_back; }
    ColourWord foreColour() const { return m_fore; }
    void setBackColour(ColourWord word);

private:
    void applyPalette();
    ColourWord m_back;
    ColourWord m_fore;
};

// A frame: a caption on an etched border, its area filled with its back colour. Children are
// placed relative to the frame's outer top-left corner.
class ColourFrame : public QWidget
{
    Q_OBJECT
public:
    ColourFrame(const QString &caption, ColourWord back, ColourWord fore,
                QWidget *parent = nullptr);

    QString caption() const { return m_caption; }
    ColourWord backColour() const { return m_back; }
    ColourWord foreColour() const { return m_fore; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_caption;
    ColourWord m_back;
    ColourWord m_fore;
};
