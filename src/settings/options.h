#pragma once

#include <QString>
#include <QStringList>

// The operator's options beyond ackprobe.ini, so that that file keeps its
// designed lines: how arrivals become messages, how answers go, which
// optional columns the list shows.
struct Options
{
    enum class AnswerMode { AtOnce, Delayed, Never };
    static constexpr int ShortestDelayMs = 1;
    static constexpr int LongestDelayMs = 60000;
    // One: the newest connection replaces the one before. Several: each
    // stays until its sender closes it, up to maxSenders at once.
    enum class Senders { One, Several };
    static constexpr int MostSenders = 1000;
    static constexpr int LongestIdleTimeoutS = 86400;

    bool wholeMllpMessages = false;
    AnswerMode answerMode = AnswerMode::AtOnce;
    int delayMs = 500;
    // Of Time, Size, Type, ControlId, Answer and From, in the order shown.
    QStringList listColumns;
    Senders senders = Senders::One;
    int maxSenders = 20;
    int idleTimeoutS = 0; // a connection silent this long is closed; 0: never
    // PEM files: with a certificate and its key the listener speaks TLS only;
    // with client CAs it requires a client certificate they signed.
    QString tlsCertificate;
    QString tlsKey;
    QString tlsClientCAs;
    // [Text]: the set messages are shown in ("Automatic": UTF-8 when they
    // are valid UTF-8, else ISO-8859-1), and whether a message's MSH-18
    // decides first. The bytes themselves never change.
    QString characterSet = QStringLiteral("Automatic");
    bool useMsh18 = true;

    bool tlsEnabled() const { return !tlsCertificate.isEmpty() && !tlsKey.isEmpty(); }
    bool operator==(const Options &) const = default;
};

// The columns [List] Columns may name, as they are spelt there.
const QStringList &optionalListColumns();

inline constexpr char OptionsFileName[] = "ackprobe-options.ini";

struct OptionsReading
{
    Options options;
    // One line for each value that could not be read and took its default,
    // its control characters shown as <0xNN>; empty for a good file and for
    // a missing one.
    QStringList problems;
};

// Where ackprobe-options.ini stands in `folder`.
QString optionsFilePath(const QString &folder);

// ackprobe-options.ini in `folder`, read with QSettings' INI format.
OptionsReading readOptions(const QString &folder);

// Writes every option into ackprobe-options.ini in `folder`, keeping other
// keys there. Empty on success, else why it failed in the system's words
// ("Permission denied"), to be told once after the file's path.
QString writeOptions(const QString &folder, const Options &options);

// [List] Columns alone, for the list's header menu: every other key in the
// file stays as it is, even one that could not be read. Empty on success,
// else why it failed.
QString writeListColumns(const QString &folder, const QStringList &columns);
