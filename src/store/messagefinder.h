#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <functional>

class MessageReader;

// Bytes to sift the messages with; without matchCase, Latin-1's letters
// match in either case.
struct SiftText
{
    QByteArray bytes;
    bool matchCase = false;
};

// What to look for among the run's messages, from the selected row on: the
// bytes of `text` (or of any of `alsoTexts`) within one message. The store
// knows nothing of character sets: where the text as shown decides, the
// bytes only pick the candidates, and `confirm` looks at each one whole.
struct FindRequest
{
    QByteArray text;
    bool matchCase = false;
    bool backward = false;
    qint64 fromRow = -1; // the selected row; none, from the first (or the last)
    QList<SiftText> alsoTexts = {};
    // Whether a candidate message holds the text after all; without any
    // bytes to sift with, every message is a candidate. Called on the
    // search's thread.
    std::function<bool(QByteArrayView message)> confirm = {};
};

struct FindResult
{
    qint64 row = -1;       // the message found, or -1
    bool wrapped = false;  // found only past the end (or the start)
    bool cancelled = false;
    // Why a part of the messages could not be searched (the first such
    // part's reason); empty when every byte was read.
    QString unreadReason;
};

// Between the thread that searches and the one that waits for it.
struct FindProgress
{
    std::atomic<bool> cancel{false};
    std::atomic<int> perMille{0};
};

// A text to search for. Where the processor compares sixteen bytes at once,
// places are sifted by the text's first and last bytes; elsewhere a shift
// table (Horspool's) skips ahead, the further the longer the text.
class SearchPattern
{
public:
    SearchPattern(const QByteArray &text, bool matchCase);
    qsizetype size() const { return m_text.size(); }
    // The first place at or after `start` where the text begins, or -1.
    qsizetype find(const char *data, qsizetype size, qsizetype start) const;

private:
    QByteArray m_text; // folded, when the case does not matter
    std::array<quint8, 256> m_fold{};
    std::array<qsizetype, 256> m_shift{};
    std::array<quint8, 2> m_first{}; // the bytes that fold to the text's first
    std::array<quint8, 2> m_last{};
    bool m_matchCase;
};

// Searches the messages the store holds when it starts (those that arrive
// meanwhile wait for the next search), reading the store in large blocks.
// Safe on a thread of its own while the store's owner appends; a match never
// runs from one message into the next. Wraps once past the end. A block that
// cannot be read is passed over, and the result tells so.
FindResult findMessage(const MessageReader &store, const FindRequest &request, FindProgress &progress);
