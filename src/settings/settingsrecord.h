#pragma once

#include <QString>

// The interface settings as the program holds them for the whole run. Texts
// are 8-bit: each character stands for one byte of the settings file
// (Latin-1), so every byte survives a read and a write unchanged.
struct SettingsRecord
{
    QString strRemoteIP;
    QString strPort;
    QString strAutoStart;
    QString strExitWarning;
    QString strAckBeforeDate;
    QString strAckAfterDate;
    QString strMSASegment;
    QString strInterfaceName;
    // 1 shows the count in the caption, 0 does not. Wider than 16 bits only so
    // that a number read out of range can be recognised and repaired.
    int intShowCount = 0;
    QString strLogfileLocation;

    bool operator==(const SettingsRecord &) const = default;
};

namespace SettingsDefaults {
inline const QString RemoteIP = QStringLiteral("0.0.0.0");
inline const QString Port = QStringLiteral("9999");
inline const QString AutoStart = QStringLiteral("Off");
inline const QString ExitWarning = QStringLiteral("True");
inline const QString AckBeforeDate = QStringLiteral("|||||");
inline const QString AckAfterDate = QStringLiteral("||ACK|||||||||");
inline const QString MSASegment = QStringLiteral("|AA||||||");
inline const QString InterfaceName = QStringLiteral("Interface");
inline constexpr int ShowCount = 0;
inline const QString LogfileLocation = QStringLiteral("logfile.txt");
} // namespace SettingsDefaults
