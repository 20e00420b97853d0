// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "Controls.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <array>

// The main window's controls, laid out as designed: positions in twips, colour words, fonts,
// stacking order and tab order. setupUi builds them on an existing window; the window object
// owns all behaviour.
struct MainWindowUi
{
    static constexpr int outputCount = 4;

    ColourFrame *helpPanel = nullptr; // hidden until "Help"; covers everything else
    ColourButton *closeHelpButton = nullptr;
    QPlainTextEdit *helpTextEdit = nullptr;

    QPushButton *saveButton = nullptr;

    ColourFrame *settingsFrame = nullptr; // its caption is the row of labels above the boxes
    QLineEdit *opt2Edit = nullptr;        // under "Opt2:"; never stored
    QLineEdit *opt1Edit = nullptr;        // under "Opt1:"; emptied at each link start
    QLineEdit *deviceIdEdit = nullptr;    // under "ID:"
    QLineEdit *sampleTimeEdit = nullptr;
    QLineEdit *baudEdit = nullptr;
    QLineEdit *portEdit = nullptr;

    ColourButton *helpButton = nullptr;

    ColourFrame *outputsFrame = nullptr; // disabled until the controller answers
    std::array<QLineEdit *, outputCount> outputNameEdits{};
    std::array<ColourButton *, outputCount> outputButtons{};
    ColourButton *allOnButton = nullptr;
    ColourButton *allOffButton = nullptr;

    ColourLabel *deviceLabel = nullptr;
    ColourLabel *statusLabel = nullptr;

    void setupUi(QWidget *window);
};
