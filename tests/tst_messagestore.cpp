// The received-message store on its own: details and answers across a
// spill, a spill that fails and recovers, finding a text in it, and readers
// on threads of their own through spills, a lost file and a clear.

#include "testbase.h"

#include "system/diskturns.h"
#include "engine/textfind.h"
#include "store/messagefinder.h"
#include "store/messagestore.h"
#include "system/unixfile.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <vector>

namespace {
QByteArray messageOf(qint64 i, qsizetype size)
{
    QByteArray m = "\x0bMSH|^~\\&|S|F|R|F|20260101||ADT^A01|MSG" + QByteArray::number(i) + "|P|2.3\r";
    m.append(QByteArray(qMax<qsizetype>(0, size - m.size() - 2), 'x'));
    return m + "\x1c\r";
}

// Messages `from` to `to` of 1000 bytes each, `mark` changing some, each
// followed by a spill point.
void fill(MessageStore &store, qint64 from, qint64 to, const std::function<void(qint64, QByteArray &)> &mark = {})
{
    for (qint64 i = from; i < to; ++i) {
        QByteArray m = messageOf(i, 1000);
        if (mark)
            mark(i, m);
        store.append(m);
        store.spillIfDue();
    }
}

using Change = MessageStore::SpillChange;
} // namespace

class MessageStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void detailsAndAnswersReadBackAcrossASpill();
    void aFailedSpillIsTriedAgainAndMovesMemoryToDisk();
    void findsATextAnywhereInASpilledStore();
    void aPatternIsFoundAtEachPlaceAsAPlainScanFindsIt();
    void aTextIsFoundAsEachMessageShowsIt();
    void readersGetEveryPublishedByteWhileChunksSpill();
    void aSpillFileThatLostItsBytesFailsItsReadsWithTheReason();
    void aReaderTakenBeforeAClearFailsItsReadsFromThenOn();
    void spillsGoOnWhileAReaderIsStoppedInItsCopy();
};

void MessageStoreTest::detailsAndAnswersReadBackAcrossASpill()
{
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    constexpr qint64 Count = 100000; // records and answers spill as well as the bytes
    const auto answerOf = [](qint64 i) { return "\x0bMSH|||||" + QByteArray::number(i) + "\rMSA|AA\r\x1c\r"; };
    // Padding before some messages and after others, the latter set once the message is in.
    const auto paddingOf = [](qint64 i) { MessageInfo::Padding p; p.add(QByteArray("\r\n\0\n", 4).first(i % 4 + 1)); return p; };
    for (qint64 i = 0; i < Count; ++i) {
        const MessageInfo info{1700000000000 + i, 1700000000000 + i - (i % 3), qint32(i % 3 + 1),
                               MessageInfo::Kind(i % 4), i % 5 == 0 ? paddingOf(i + 1) : MessageInfo::Padding()};
        store.append(messageOf(i, 100), info);
        if (i % 7 != 0 && i != 5)
            store.setAnswer(i, answerOf(i), 1700000000000 + i + 2);
        if (i % 2 != 0 && i != 5)
            store.setFollowedBy(i, paddingOf(i));
        QCOMPARE(store.spillIfDue(), Change::None);
    }
    // An answer and padding for a message whose details are already on disk.
    store.setAnswer(5, answerOf(5), 1800000000000);
    store.setFollowedBy(5, paddingOf(5));
    QVERIFY(store.spilledBytes() > 0);
    QVERIFY(store.bytesInMemory() < 3 * (MessageStore::ChunksPerSpill + 1) * MessageStore::ChunkSize);
    for (const qint64 i : {qint64(0), qint64(1), qint64(5), qint64(7), qint64(50001), Count - 2, Count - 1}) {
        const MessageInfo info = store.info(i);
        QCOMPARE(info.arrivedMs, 1700000000000 + i);
        QCOMPARE(info.firstArrivalMs, 1700000000000 + i - (i % 3));
        QCOMPARE(info.arrivals, qint32(i % 3 + 1));
        QCOMPARE(int(info.kind), int(i % 4));
        QCOMPARE(info.precededBy, i % 5 == 0 ? paddingOf(i + 1) : MessageInfo::Padding());
        QCOMPARE(info.followedBy, i % 2 != 0 ? paddingOf(i) : MessageInfo::Padding());
        QByteArray bytes;
        qint64 sent = 0;
        QCOMPARE(store.answer(i, &bytes, &sent), i % 7 != 0);
        if (i % 7 != 0) {
            QCOMPARE(bytes, answerOf(i));
            QCOMPARE(sent, i == 5 ? 1800000000000 : 1700000000000 + i + 2);
        }
        QCOMPARE(store.at(i), messageOf(i, 100));
    }
    MessageInfo::Padding most{0xfffffffe};
    most.add("\n\n"); // its count is held at its greatest
    store.setFollowedBy(Count - 1, most);
    QCOMPARE(store.info(Count - 1).followedBy.bytes, 0xffffffffu);
}

void MessageStoreTest::aFailedSpillIsTriedAgainAndMovesMemoryToDisk()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("cache"));
    QVERIFY(QFile(folder).open(QIODevice::WriteOnly)); // a file where the folder should be
    MessageStore store({folder});
    QList<Change> changes;
    qint64 next = 0;
    const auto appendMegabytes = [&](int megabytes, Change until = Change::None) {
        for (qint64 end = next + megabytes * 1024; next < end;) {
            store.append(messageOf(next++, 1024));
            if (const Change change = store.spillIfDue(); change != Change::None) {
                changes << change;
                if (change == until)
                    return;
            }
        }
    };

    // One notice for the episode, however many spill points fail in it.
    appendMegabytes(24);
    QCOMPARE(changes, QList<Change>{Change::Failed});
    QVERIFY(store.spillFailed());
    QVERIFY(!store.spillError().isEmpty());
    QCOMPARE(store.spilledBytes(), 0);
    QVERIFY(store.bytesInMemory() >= 24 * MessageStore::ChunkSize);

    // The folder can be made now: at a later spill point what memory held
    // moves to disk, a spill point at a time, and memory is back in bounds.
    QVERIFY(QFile::remove(folder) && QDir().mkpath(folder));
    appendMegabytes(64, Change::BackOnDisk);
    QCOMPARE(changes, (QList<Change>{Change::Failed, Change::BackOnDisk}));
    QVERIFY(!store.spillFailed());
    QVERIFY(store.spilledBytes() >= 24 * MessageStore::ChunkSize);
    QVERIFY(store.bytesInMemory() <= 3 * (MessageStore::ChunksPerSpill + 1) * MessageStore::ChunkSize);

    // A file-size limit is a full disk: a new episode, with its reason, and
    // the same way back once the limit goes.
    const rlimit before = [] { rlimit l{}; ::getrlimit(RLIMIT_FSIZE, &l); return l; }();
    const rlimit small{rlim_t(MessageStore::ChunkSize), before.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    appendMegabytes(12);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    QCOMPARE(changes.size(), 3);
    QCOMPARE(changes.last(), Change::Failed);
    QCOMPARE(store.spillError(), QString::fromLocal8Bit(std::strerror(EFBIG)));
    appendMegabytes(64, Change::BackOnDisk);
    QCOMPARE(changes.size(), 4);
    QCOMPARE(changes.last(), Change::BackOnDisk);

    for (qint64 i = 0; i < next; i += 997)
        QCOMPARE(store.at(i), messageOf(i, 1024));
    QCOMPARE(store.at(next - 1), messageOf(next - 1, 1024));
}

void MessageStoreTest::findsATextAnywhereInASpilledStore()
{
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    constexpr qint64 Count = 20000, Middle = 10000, Last = Count - 1;
    fill(store, 0, Count, [&](qint64 i, QByteArray &m) {
        if (i == 0)
            m.insert(20, "alphaFirst");
        if (i == Middle)
            m.insert(500, "MiddleText \xc6R\xd8");
        if (i == Last)
            m.insert(990, "LastOne");
        if (i == 500)
            m.append('Z'); // and 501 begins with VT: no match across the two
    });
    QVERIFY(store.spilledBytes() > 8 * MessageStore::ChunkSize);
    // A search reads past the system's cache: the same bytes at any offset,
    // across a chunk's end, into memory aligned to the disk's blocks or not.
    constexpr qint64 Chunk = MessageStore::ChunkSize;
    const MessageReader reader = store.reader();
    const ReadBuffer aligned = makeReadBuffer(16384);
    QByteArray unaligned(16384 + 1, '\0');
    for (const auto &[from, size] : {std::pair(qint64(1), 9000), std::pair(Chunk - 7, 9000),
                                     std::pair(3 * Chunk + 4095, 9000), std::pair(Chunk - 4096, 8192 + 100),
                                     std::pair(qint64(8192), 4096)}) {
        QByteArray kept(size, '\0');
        QCOMPARE(reader.readBytes(from, from + size, kept.data()), 0);
        for (char *out : {aligned.get(), unaligned.data() + 1}) {
            std::memset(out, 1, size_t(size));
            QCOMPARE(reader.readBytes(from, from + size, out, MessageReader::Read::Passing), 0);
            QCOMPARE(QByteArrayView(out, size), QByteArrayView(kept));
        }
    }

    const auto find = [&](const char *text, qint64 from, bool backward = false, bool matchCase = false) {
        FindProgress progress;
        const FindResult r = findMessage(store.reader(), {QByteArray(text), matchCase, backward, from}, progress);
        return std::pair(r.row, r.wrapped);
    };
    QCOMPARE(find("alphafirst", -1), std::pair(qint64(0), false));
    QCOMPARE(find("alphaFirst", 5), std::pair(qint64(0), true));
    QCOMPARE(find("middletext", 3), std::pair(Middle, false));
    QCOMPARE(find("middletext", 3, false, true), std::pair(qint64(-1), false));
    QCOMPARE(find("MiddleText", Count - 3, false, true), std::pair(Middle, true));
    QCOMPARE(find("\xe6r\xf8", -1), std::pair(Middle, false)); // Latin-1 letters fold too
    QCOMPARE(find("LastOne", -1, true), std::pair(Last, false));
    QCOMPARE(find("lastone", 10, true), std::pair(Last, true));
    QCOMPARE(find("LastOne", Last), std::pair(Last, true)); // only the selected row holds it
    QCOMPARE(find("Middle", Middle, true), std::pair(Middle, true));
    QCOMPARE(find("nowhere", 100), std::pair(qint64(-1), false));
    QCOMPARE(find("Z\x0b", -1), std::pair(qint64(-1), false));
    QCOMPARE(find("MSG15000|", 15000, true), std::pair(qint64(15000), true));

    // On a thread of its own while messages go on arriving and spilling, with
    // disk turns of its own: the test's thread keeps its turns.
    FindProgress progress;
    FindResult result;
    const long ownTurns = ::syscall(SYS_ioprio_get, 1, 0);
    long finderTurns = -1;
    std::thread finder([&, reader = store.reader()] {
        if (takeLowestOrdinaryDiskTurns())
            finderTurns = ::syscall(SYS_ioprio_get, 1, 0);
        result = findMessage(reader, {"lastone", false, false, 100}, progress);
    });
    fill(store, Count, Count + 8000);
    finder.join();
    QCOMPARE(result.row, Last);
    QCOMPARE(finderTurns, (2L << 13) | 7); // best effort, its lowest level
    QCOMPARE(::syscall(SYS_ioprio_get, 1, 0), ownTurns);
    QVERIFY(progress.perMille.load() > 500);
    progress.cancel = true;
    result = findMessage(store.reader(), {"LastOne", false, false, -1}, progress);
    QVERIFY(result.cancelled);
    QCOMPARE(result.row, qint64(-1));
}

void MessageStoreTest::aPatternIsFoundAtEachPlaceAsAPlainScanFindsIt()
{
    // Against a byte-by-byte scan: each place in a block of several sixteen
    // bytes, near misses (first and last bytes right) before it, either case.
    const auto plainFind = [](const QByteArray &hay, const QByteArray &text, bool matchCase, qsizetype start) {
        for (qsizetype i = start; i + text.size() <= hay.size(); ++i) {
            const QByteArray part = hay.mid(i, text.size());
            if (matchCase ? part == text : part.compare(text, Qt::CaseInsensitive) == 0)
                return i;
        }
        return qsizetype(-1);
    };
    for (const QByteArray &text : {QByteArray("q"), QByteArray("|Q"), QByteArray("MSG7|"), QByteArray("abcdefghijklmnopqrstu")}) {
        for (const bool matchCase : {false, true}) {
            const SearchPattern pattern(text, matchCase);
            QByteArray nearMiss = text.toLower();
            if (nearMiss.size() > 2)
                nearMiss[1] = '#';
            for (qsizetype at = 0; at + text.size() <= 70; ++at) {
                QByteArray hay = QByteArray(70, 'x').replace(at, text.size(), at % 2 ? text : text.toLower());
                hay.replace(0, std::min<qsizetype>(at, nearMiss.size()), nearMiss.left(at));
                for (const qsizetype start : {qsizetype(0), at, at + 1})
                    QCOMPARE(pattern.find(hay.constData(), hay.size(), start), plainFind(hay, text, matchCase, start));
            }
        }
    }
}

void MessageStoreTest::aTextIsFoundAsEachMessageShowsIt()
{
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    // Each in its own character set, among plain ASCII ones, across spills.
    constexpr qint64 Count = 12000, Utf8 = 100, Unmarked = 600, Latin1 = 1200, Misread = 2000, Windows = 6000,
                     Chinese = 9000, Cyrillic = 10000, Japanese = 11000, Wide = 11500;
    const auto withMsh18 = [](QByteArray &m, const QByteArray &msh18, const QByteArray &body) {
        if (!msh18.isEmpty())
            m.replace("|P|2.3\r", "|P|2.3||||||" + msh18 + "\r");
        m.replace(200, body.size(), body);
    };
    QByteArray wide = QByteArrayLiteral("\x0bMSH|^~\\&|S|F|R|F|20260101||ADT^A01|W|P|2.3\rPID|1||1||M\u00fcller\r\x1c\r");
    wide = QByteArray(reinterpret_cast<const char *>(QString::fromUtf8(wide).utf16()), wide.size() * 2 - 2);
    fill(store, 0, Count, [&](qint64 i, QByteArray &m) {
        switch (i) {
        case Utf8: withMsh18(m, {}, "PID|1||1||M\xc3\xbcller^Zo\xc3\xab"); break;
        case Latin1: withMsh18(m, "8859/1", "PID|1||1||M\xfcller^Zo\xeb"); break;
        case Windows: withMsh18(m, "WINDOWS-1252", "PID|1||1||\x80 M\xfcller"); break;
        case Misread: withMsh18(m, "8859/1", "PID|1||1||M\xc3\xbcller"); break;
        case Chinese: withMsh18(m, "GB 18030-2000", "PID|1||1||\xd5\xc5\xc8\xfd"); break;
        case Japanese: withMsh18(m, "ISO IR14", "PID|1||1||\x83\x41z"); break;
        case Unmarked: withMsh18(m, {}, "PID|1||1||K\xf6nig"); break;
        case Cyrillic: withMsh18(m, "WINDOWS-1251", "PID|1||1||\xc8\xe2\xe0\xed"); break;
        case Wide: m = wide; break;
        }
    });
    QVERIFY(store.spilledBytes() > 0);

    // Every row Find Next stops at, from the top until it wraps.
    const auto rows = [&](const QString &text, bool matchCase, Charsets::Setting setting = {}) {
        QList<qint64> found;
        FindRequest request = TextFind::requestFor(text, matchCase, setting);
        for (;;) {
            FindProgress progress;
            const FindResult r = findMessage(store.reader(), request, progress);
            if (r.row < 0 || r.wrapped)
                return found;
            found << r.row;
            request.fromRow = r.row;
        }
    };
    using Rows = QList<qint64>;
    QCOMPARE(rows("M\u00fcller", true), Rows({Utf8, Latin1, Windows}));
    QCOMPARE(rows("m\u00fcller", false), Rows({Utf8, Latin1, Windows}));
    QCOMPARE(rows("M\u00dcLLER", false), Rows({Utf8, Latin1, Windows}));
    QCOMPARE(rows("m\u00fcller", true), Rows());
    QCOMPARE(rows("M\u00c3\u00bcller", true), Rows({Misread})); // as MSH-18 says to show it
    QCOMPARE(rows("\u20ac M\u00fcller", true), Rows({Windows}));
    // No ASCII run of three: sifted by the text as each set writes it.
    QCOMPARE(rows("zo\u00cb", false), Rows({Utf8, Latin1}));
    QCOMPARE(rows("Zo\u00eb", true), Rows({Utf8, Latin1}));
    QCOMPARE(rows("\u00eb", false), Rows({Utf8, Latin1}));
    QCOMPARE(rows("\u5f20\u4e09", true), Rows({Chinese}));
    QCOMPARE(rows("K\u00d6NIG", false), Rows({Unmarked}));
    QCOMPARE(rows("\u0438\u0432\u0430\u043d", false), Rows({Cyrillic})); // "иван" in windows-1251
    // The ASCII bytes of "Az" are the second half of a Shift_JIS letter there.
    QCOMPARE(rows("Az", true), Rows());
    QCOMPARE(rows("\u30a2z", true), Rows({Japanese}));

    // Without MSH-18 each is valid UTF-8 or else Latin-1; a chosen set instead.
    QCOMPARE(rows("M\u00fcller", true, {"Automatic", false}), Rows({Utf8, Latin1, Misread, Windows}));
    QCOMPARE(rows("\u20ac M\u00fcller", true, {"Automatic", false}), Rows());
    QCOMPARE(rows("M\u00fcller", true, {"windows-1252", false}), Rows({Latin1, Windows}));
    QCOMPARE(rows("\u20ac m\u00fcller", false, {"windows-1252", false}), Rows({Windows}));
    // A set that does not keep ASCII: every message decoded.
    QCOMPARE(rows("M\u00fcller", true, {"UTF-16LE", false}), Rows({Wide}));

    // Backward, the last one first.
    FindProgress progress;
    FindRequest back = TextFind::requestFor(QStringLiteral("m\u00fcller"), false, {});
    back.backward = true;
    QCOMPARE(findMessage(store.reader(), back, progress).row, Windows);
    back.fromRow = Windows;
    QCOMPARE(findMessage(store.reader(), back, progress).row, Latin1);
}

void MessageStoreTest::readersGetEveryPublishedByteWhileChunksSpill()
{
    // Readers copy all that is published, whole and in parts, while the
    // appender makes the store's first spill and the ones after it; more
    // readers than cores, so that one is often stopped in the middle of a read.
    constexpr qsizetype Piece = 256 * 1024 - 17; // messages straddle the chunks
    constexpr qint64 Total = 2 * MessageStore::ChunksPerSpill * MessageStore::ChunkSize + Piece;
    QByteArray expected(Total, Qt::Uninitialized);
    for (qint64 i = 0; i < Total; ++i)
        expected[i] = char((i * 7 + (i >> 12)) & 0xff);
    const int readers = int(std::max(3u, std::thread::hardware_concurrency() + 1));
    int failedTries = 0;
    for (int attempt = 0; attempt < 15; ++attempt) {
        QTemporaryDir spill;
        MessageStore store({spill.path()});
        std::atomic<bool> stop{false};
        std::atomic<int> wrong{0}, failed{0};
        std::atomic<qint64> reads{0};
        std::vector<std::thread> threads;
        for (int r = 0; r < readers; ++r) {
            threads.emplace_back([&, r, store = store.reader()] {
                QByteArray buffer(Total, Qt::Uninitialized);
                while (!stop.load()) {
                    const qint64 count = store.size();
                    if (count == 0)
                        continue;
                    // Everything, or from one message to the end.
                    const qint64 from = r % 2 ? 0 : store.offsetOf((count * r / readers) % count);
                    const qint64 to = store.offsetOf(count);
                    if (store.readBytes(from, to, buffer.data()) != 0)
                        failed.fetch_add(1);
                    else if (QByteArrayView(buffer.constData(), to - from) != QByteArrayView(expected).sliced(from, to - from))
                        wrong.fetch_add(1);
                    reads.fetch_add(1);
                }
            });
        }
        for (qint64 at = 0; at < Total; at += Piece) {
            store.append(QByteArrayView(expected).sliced(at, std::min<qint64>(Piece, Total - at)));
            store.spillIfDue();
            // The readers take their turns before the next one.
            for (const qint64 seen = reads.load(); reads.load() <= seen && !failed.load();)
                std::this_thread::yield();
        }
        stop = true;
        for (std::thread &t : threads)
            t.join();
        QVERIFY(store.spilledBytes() >= 2 * MessageStore::ChunksPerSpill * MessageStore::ChunkSize);
        QCOMPARE(wrong.load(), 0);
        failedTries += failed.load() > 0;
    }
    QCOMPARE(failedTries, 0);
}

void MessageStoreTest::aSpillFileThatLostItsBytesFailsItsReadsWithTheReason()
{
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    constexpr qint64 Count = 6000, OnDisk = 10, InMemory = Count - 1;
    fill(store, 0, Count, [&](qint64 i, QByteArray &m) {
        if (i == OnDisk || i == InMemory)
            m.insert(100, i == OnDisk ? "TextOnDisk" : "TextInMemory");
    });
    QVERIFY(store.spilledBytes() > 0);
    QVERIFY(store.bytesInMemory() > 0);
    QVERIFY(cutOpenFilesIn(spill.path()) >= 1);

    const QString lostReason = QString::fromLocal8Bit(std::strerror(EIO));
    const MessageReader reader = store.reader();
    const ReadResult lost = reader.message(OnDisk);
    QCOMPARE(lost.error, EIO);
    QCOMPARE(lost.reason(), lostReason);
    QVERIFY(lost.bytes.isEmpty());
    QByteArray bytes(100, '\0');
    QCOMPARE(reader.readBytes(0, 100, bytes.data(), MessageReader::Read::Passing), EIO);
    QVERIFY(reader.message(InMemory).bytes.contains("TextInMemory"));
    QCOMPARE(store.message(OnDisk).error, EIO);
    QVERIFY(store.at(OnDisk).isEmpty()); // the list shows what it can

    // Find passes over what it cannot read, and says so.
    FindProgress progress;
    FindResult result = findMessage(reader, {"textondisk", false, false, -1}, progress);
    QCOMPARE(result.row, qint64(-1));
    QCOMPARE(result.unreadReason, lostReason);
    result = findMessage(reader, {"textinmemory", false, false, -1}, progress);
    QCOMPARE(result.row, InMemory);
    QCOMPARE(result.unreadReason, lostReason);
}

void MessageStoreTest::aReaderTakenBeforeAClearFailsItsReadsFromThenOn()
{
    QTemporaryDir spill;
    auto store = std::make_unique<MessageStore>(QStringList{spill.path()});
    constexpr qint64 Count = 6000;
    fill(*store, 0, Count);
    QVERIFY(store->spilledBytes() > 0);
    const MessageReader before = store->reader();

    // A reader on a thread of its own through the clear: each read gives the
    // message whole until one fails as cleared.
    std::atomic<qint64> reads{0};
    std::atomic<int> wrong{0};
    std::thread reading([&, reader = store->reader()] {
        for (qint64 i = 0;; i = (i + 397) % Count, reads.fetch_add(1)) {
            const ReadResult read = reader.message(i);
            if (read.error == ReadResult::Cleared)
                return;
            if (!read.ok() || read.bytes != messageOf(i, 1000))
                wrong.fetch_add(1);
        }
    });
    QVERIFY(waitUntil([&] { return reads.load() > 100; }));
    store->clear();
    store->append("after");
    reading.join();
    QCOMPARE(wrong.load(), 0);

    // What it had is still told; its reads fail, with the reason.
    QVERIFY(before.cleared());
    QCOMPARE(before.size(), Count);
    QCOMPARE(before.sizeOf(Count - 1), 1000);
    const ReadResult old = before.message(Count - 1);
    QCOMPARE(old.error, ReadResult::Cleared);
    QVERIFY(old.bytes.isEmpty());
    QCOMPARE(old.reason(), QStringLiteral("the messages were cleared"));
    char byte = 0;
    QCOMPARE(before.readBytes(0, 1, &byte), ReadResult::Cleared);
    FindProgress progress;
    const FindResult found = findMessage(before, {"MSG5|", false, false, -1}, progress);
    QCOMPARE(found.row, qint64(-1));
    QCOMPARE(found.unreadReason, QStringLiteral("the messages were cleared"));

    // A reader taken now reads the new run, and may outlive the store.
    const MessageReader after = store->reader();
    QCOMPARE(after.size(), 1);
    QCOMPARE(after.message(0).bytes, QByteArray("after"));
    QCOMPARE(after.message(1).error, ReadResult::NoSuchMessage);
    QCOMPARE(after.message(1).reason(), QStringLiteral("there is no such message"));
    store.reset();
    QCOMPARE(after.message(0).error, ReadResult::Cleared);
    QCOMPARE(after.totalBytes(), 5);
}

void MessageStoreTest::spillsGoOnWhileAReaderIsStoppedInItsCopy()
{
    // A reader stopped in the middle of its copy from a chunk in memory (the
    // page it copies into is not there until the test gives it) holds up no
    // spill, and the chunk's memory is not reused under it meanwhile.
#ifdef UFFD_USER_MODE_ONLY
    UniqueFd faults(int(::syscall(SYS_userfaultfd, O_CLOEXEC | UFFD_USER_MODE_ONLY)));
#else
    UniqueFd faults;
#endif
    if (!faults.isValid())
        faults = UniqueFd(int(::syscall(SYS_userfaultfd, O_CLOEXEC)));
    uffdio_api api{UFFD_API, 0, 0};
    if (!faults.isValid() || ::ioctl(faults.get(), UFFDIO_API, &api) != 0)
        QSKIP("userfaultfd is not allowed here");
    const auto page = size_t(::sysconf(_SC_PAGESIZE));
    void *const target = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(target != MAP_FAILED);
    const auto unmap = qScopeGuard([&] { ::munmap(target, page); });
    uffdio_register registration{{quintptr(target), page}, UFFDIO_REGISTER_MODE_MISSING, 0};
    QCOMPARE(::ioctl(faults.get(), UFFDIO_REGISTER, &registration), 0);

    QTemporaryDir spill;
    MessageStore store({spill.path()});
    fill(store, 0, 2000); // the first chunk full, none spilled yet
    QCOMPARE(store.spilledBytes(), 0);
    QByteArray expected;
    for (qint64 i = 0; i < 6; ++i)
        expected += messageOf(i, 1000);
    expected = expected.mid(100, qsizetype(page));

    int copied = -1;
    std::thread reading([&, reader = store.reader()] {
        copied = reader.readBytes(100, 100 + qint64(page), static_cast<char *>(target));
    });
    // It stops at its first write into the page.
    pollfd waiting{faults.get(), POLLIN, 0};
    QCOMPARE(::poll(&waiting, 1, -1), 1);
    uffd_msg fault{};
    QCOMPARE(::read(faults.get(), &fault, sizeof fault), ssize_t(sizeof fault));
    QCOMPARE(int(fault.event), int(UFFD_EVENT_PAGEFAULT));

    // Meanwhile its chunk goes to disk, and later ones take memory and give it back.
    fill(store, 2000, 20000);
    QVERIFY(store.spilledBytes() >= 8 * MessageStore::ChunkSize);

    // The page comes: the copy goes on from the chunk's memory as it was.
    uffdio_zeropage zero{{quintptr(target), page}, 0, 0};
    QCOMPARE(::ioctl(faults.get(), UFFDIO_ZEROPAGE, &zero), 0);
    reading.join();
    QCOMPARE(copied, 0);
    QCOMPARE(QByteArrayView(static_cast<const char *>(target), qsizetype(page)), QByteArrayView(expected));
}

QTEST_GUILESS_MAIN(MessageStoreTest)
#include "tst_messagestore.moc"
