// Find over the text as each message shows it, at a million messages of
// 1 KB: the time to find the last one for an ASCII text, for a text beyond
// ASCII with an ASCII run to sift by, and for one without.
//
//   cmake --build build --target bench_find && build/bench/bench_find [count]

#include "engine/textfind.h"
#include "store/messagefinder.h"
#include "store/messagestore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <time.h>

namespace {
using Clock = std::chrono::steady_clock;

double threadSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// An admission of about 1 KB; one in a hundred patients is a Keller, whose
// "ller" the search for "Müller" must look at and pass over.
QByteArray messageOf(qint64 i, const QByteArray &name)
{
    static const char *const Names[] = {"SMITH^JOHN", "DOE^JANE", "NGUYEN^AN", "GARCIA^MARIA", "BROWN^PAUL"};
    QByteArray m = "\x0bMSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|20260101120000||ADT^A01|MSG" + QByteArray::number(i)
                   + "|P|2.5\rEVN|A01|20260101120000\rPID|1||" + QByteArray::number(100000 + i) + "^^^HOSP||"
                   + (name.isEmpty() ? QByteArray(i % 100 == 7 ? "KELLER^ANNA" : Names[i % 5]) : name)
                   + "||19700101|F|||1 MAIN ST^^SPRINGFIELD^IL^62701\rPV1|1|I|WARD^101^A\r";
    while (m.size() < 1000)
        m += "OBX|" + QByteArray::number(m.size()) + "|TX|NOTE||routine observation text|||N\r";
    m.truncate(1000);
    return m + "\r\x1c\r";
}

void timeFind(const MessageStore &store, const char *what, const QString &text, bool matchCase)
{
    const FindRequest request = TextFind::requestFor(text, matchCase, Charsets::Setting());
    FindProgress progress;
    const auto start = Clock::now();
    const double cpu = threadSeconds();
    const FindResult r = findMessage(store.reader(), request, progress);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("find %-40s match case %-3s: found %lld in %.2f s (%.2f s of processor time), %lld byte texts to sift with\n",
                what, matchCase ? "on" : "off", r.row + 1, seconds, threadSeconds() - cpu,
                qint64((request.text.isEmpty() ? 0 : 1) + request.alsoTexts.size()));
}
void timeDecode(const char *what, const QByteArray &bytes, const QByteArray &set)
{
    const auto start = Clock::now();
    qsizetype sum = 0;
    int rounds = 0;
    for (; rounds < 1000 && std::chrono::duration<double>(Clock::now() - start).count() < 1; ++rounds)
        sum += Charsets::decode(bytes, set).size();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count() / rounds;
    std::printf("decode %-44s %8.1f MB/s (%lld characters)\n", what, bytes.size() / seconds / 1e6,
                qint64(sum / rounds));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000000;
    {
        QByteArray ascii, utf8, gb18030, broken;
        while (ascii.size() < (1 << 20)) {
            ascii += messageOf(ascii.size(), {});
            utf8 += messageOf(utf8.size(), "M\xc3\xbcller^Zo\xc3\xab");
            gb18030 += messageOf(gb18030.size(), "\xd5\xc5\xc8\xfd");
            broken += messageOf(broken.size(), "\xd5\xc5\xff\xfd");
        }
        timeDecode("1 MB of ASCII messages, as UTF-8", ascii, "UTF-8");
        timeDecode("1 MB of UTF-8 messages", utf8, "UTF-8");
        timeDecode("1 MB of UTF-8 messages, as ISO-8859-1", utf8, "ISO-8859-1");
        timeDecode("1 MB of UTF-8 messages, as windows-1252", utf8, "windows-1252");
        timeDecode("1 MB of GB18030 messages", gb18030, "GB18030");
        timeDecode("1 MB of GB18030, a bad byte a message (walked)", broken, "GB18030");
    }
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    const auto start = Clock::now();
    for (qint64 i = 0; i < count; ++i) {
        store.append(messageOf(i, i == count - 1 ? "M\xc3\xbcller^Zo\xc3\xab^NEEDLE42" : QByteArray()));
        store.spillIfDue();
    }
    std::printf("%lld messages of %lld bytes in all, filled in %.2f s\n", count, store.totalBytes(),
                std::chrono::duration<double>(Clock::now() - start).count());
    timeFind(store, "\"needle42\" (ASCII; goal 2 s)", QStringLiteral("needle42"), false);
    timeFind(store, "\"m\u00fcller\" (sifted by \"ller\"; goal 3 s)", QStringLiteral("m\u00fcller"), false);
    timeFind(store, "\"M\u00fcller\"", QStringLiteral("M\u00fcller"), true);
    timeFind(store, "\"zo\u00cb\" (no ASCII run of 3)", QStringLiteral("zo\u00cb"), false);
    timeFind(store, "\"Zo\u00eb\" (no ASCII run of 3)", QStringLiteral("Zo\u00eb"), true);
    return 0;
}
