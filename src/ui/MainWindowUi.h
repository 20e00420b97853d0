#pragma once

#include "Controls.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <array>

// The main window's controls, laid out as the design gives them: positions in twips, colour
// words, fonts, stacking order and tab order. setupUi builds them on an existing window;
// the window object owns all behaviour.
struct MainWindowUi
{
    ColourFrame *frmNevidi = nullptr; // never shown; holds the program's hidden buttons
    ColourButton *cmdIspis = nullptr;
    ColourButton *cmdInicijalizacija = nullptr;

    ColourFrame *frmHelp = nullptr;
    ColourButton *cmdCloseHelp = nullptr;
    QPlainTextEdit *Text1 = nullptr;

    QPushButton *cmdExit = nullptr; // "Save", standard style

    ColourFrame *Frame1 = nullptr;
    QLineEdit *txtOpt3 = nullptr;
    QLineEdit *txtOpt2 = nullptr;
    QLineEdit *txtOpt1 = nullptr;
    QLineEdit *txtSTime = nullptr;
    QLineEdit *txtBaud = nullptr;
    QLineEdit *txtCom = nullptr;

    ColourButton *cmdHelp = nullptr;

    ColourFrame *frmOuts = nullptr;
    std::array<QLineEdit *, 5> txtOutName{}; // indices 1 to 4
    std::array<ColourButton *, 5> cmdOut{};  // indices 1 to 4
    ColourButton *cmdAll1 = nullptr;
    ColourButton *cmdAll0 = nullptr;

    ColourLabel *lblDevCode = nullptr;
    ColourLabel *lblStatus = nullptr;

    void setupUi(QWidget *window);
};
