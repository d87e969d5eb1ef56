#pragma once

#include <QString>

// What txtInterfaceStatus says, in the window's own words; the engine's
// states map onto the last three.
namespace StatusText {
inline const QString StartRequested = QStringLiteral("Start Requested");
inline const QString StopRequested = QStringLiteral("Stop Requested");
inline const QString Established = QStringLiteral("Connection Established");
inline const QString WaitingForReconnect = QStringLiteral("Connection closed.Waiting for reconnect.");
inline const QString Stopped = QStringLiteral("Connection Stopped");
} // namespace StatusText
