// Loading the settings into the window and the port, and saving them.

#include "app/VantreloWindow.h"
#include "settings/NumberText.h"
#include "settings/SettingsFile.h"

void VantreloWindow::LoadSettings()
{
    m_settingsPath = SettingsFile::path(m_options.exeDir, m_options.exeBaseName);
    if (const auto record = SettingsFile::read(m_settingsPath)) {
        m_settings = *record;
        try {
            applySettings();
            return;
        } catch (const CommError &) {
            // A port number or bit rate that the port refuses: the defaults, as for no file.
        }
    }
    // The whole record is replaced, silently; the file is left as it is.
    m_settings = SettingsRecord::defaults();
    try {
        applySettings();
    } catch (const CommError &) {
        // Port 1 and "9600,N,8,1" pass every check the component makes before opening;
        // should one ever be refused, the boxes still show the defaults.
    }
}

// The apply steps, in order; the port may refuse the number or the bit rate.
void VantreloWindow::applySettings()
{
    m_replyPrefix = u"COM:" + QString::number(m_settings.CommPortNumber) + u" Baud:" +
                    m_settings.BaudText + u" COM data: ";
    m_ui.txtCom->setText(QString::number(m_settings.CommPortNumber));
    m_comm->setCommPort(m_settings.CommPortNumber);
    m_ui.txtBaud->setText(m_settings.BaudText);
    m_comm->setSettings(m_settings.BaudText + u",N,8,1");
    m_ui.txtSTime->setText(QString::number(m_settings.SampleTime));
    m_ui.txtOpt1->setText(m_settings.DeviceId);
    m_ui.txtOpt2->clear();
    for (int i = 1; i <= SettingsRecord::shownOutputs; ++i) {
        m_ui.cmdOut[static_cast<size_t>(i)]->setText(m_settings.outName(i));
        m_ui.txtOutName[static_cast<size_t>(i)]->setText(m_settings.outName(i));
    }
}

// Validates before it touches anything: a box that does not convert leaves the port, the
// link, the record and the file as they were. The file is replaced atomically.
void VantreloWindow::SaveSettings()
{
    const auto port = convertToInt16(m_ui.txtCom->text());
    const auto sampleTime = convertToInt16(m_ui.txtSTime->text());
    if (!port || !sampleTime) {
        setStatusColour(Colours::StatusFailure);
        setStatus(QStringLiteral("Not saved: the %1 box needs a whole number from -32768 to 32767.")
                      .arg(!port ? QStringLiteral("COM") : QStringLiteral("STime")));
        return;
    }

    closePortQuietly();

    SettingsRecord record = m_settings;
    record.CommPortNumber = *port;
    record.BaudText = m_ui.txtBaud->text();
    record.SampleTime = *sampleTime;
    record.DeviceId = m_ui.txtOpt1->text();
    for (int i = 1; i <= SettingsRecord::shownOutputs; ++i)
        record.outName(i) = m_ui.txtOutName[static_cast<size_t>(i)]->text();

    const QString failure = SettingsFile::write(m_settingsPath, record);
    StartLink(); // reloads what the file now holds: the new settings, or the old on failure
    if (!failure.isEmpty()) {
        setStatusColour(Colours::StatusFailure);
        setStatus(u"Not saved: cannot write " + m_settingsPath + u": " + failure);
    }
}
