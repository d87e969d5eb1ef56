#pragma once

// Settings records and files as the tests of the settings file and of
// start-up compare them; header only, for the tests without windows too.

#include "settings/settingsfile.h"

#include <QMetaType>
#include <QTest>

Q_DECLARE_METATYPE(SettingsRecord)

// Failed comparisons show the record the way the file would hold it.
inline char *toString(const SettingsRecord &record)
{
    return QTest::toString(writeSettings(record));
}

// The file the program writes for a new settings record.
inline const QByteArray DefaultSettingsFile = "[RemoteIP]\r\n0.0.0.0\r\n\r\n"
                                              "[Port]\r\n9999\r\n\r\n"
                                              "[AutoStart]\r\nOff\r\n\r\n"
                                              "[ExitWarning]\r\nTrue\r\n\r\n"
                                              "[MSH before date]\r\n|||||\r\n\r\n"
                                              "[MSH after date]\r\n||ACK|||||||||\r\n\r\n"
                                              "[MSA Segment]\r\n|AA||||||\r\n\r\n"
                                              "[Interface Name]\r\nInterface\r\n\r\n"
                                              "[Show Transaction Count]\r\n 0 \r\n\r\n"
                                              "[Logfile Location]\r\nlogfile.txt\r\n";

inline SettingsRecord defaults()
{
    SettingsRecord record;
    fillBlankSettings(record);
    return record;
}

template <typename Change>
SettingsRecord defaultsWith(Change change, SettingsRecord record = defaults())
{
    change(record);
    return record;
}

template <typename Change>
SettingsRecord emptyWith(Change change)
{
    return defaultsWith(change, SettingsRecord());
}
