// The received-message store at a million messages: the memory that a
// million messages of 1 KB with their details and answers take, and the time
// to find a text that only the last one holds while messages go on arriving.
//
//   cmake --build build --target bench_store && build/bench/bench_store [count]

#include "store/messagefinder.h"
#include "store/messagestore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>
#include <time.h>

namespace {
using Clock = std::chrono::steady_clock;

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

QByteArray messageOf(qint64 i, qsizetype size)
{
    QByteArray m = "\x0bMSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|20260101||ADT^A01|MSG" + QByteArray::number(i) + "|P|2.3\r";
    m.append(QByteArray(size - m.size() - 2, 'x'));
    return m + "\x1c\r";
}

double threadSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000000;
    QTemporaryDir spill;
    const QByteArray answer = "\x0bMSH|||||202601010000||ACK|||||||||\rMSA|AA||||||\r\x1c\r";

    // Memory: messages of 1 KB, each with its details and answer.
    {
        const long before = residentKiB();
        MessageStore store({spill.path()});
        const auto start = Clock::now();
        for (qint64 i = 0; i < count; ++i) {
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            store.append(messageOf(i, 1024), {now, now, 1, MessageInfo::Kind::Block});
            store.setAnswer(i, answer, now);
            store.spillIfDue();
        }
        const long after = residentKiB();
        std::printf("memory: %lld messages of 1 KB with details and answers: resident +%.1f MB "
                    "(goal at most 64 MB), filled in %.2f s\n",
                    count, (after - before) / 1024.0, secondsSince(start));
        // Reading details costs the same at the first and the last.
        for (const qint64 from : {qint64(0), count / 2, count - 1000}) {
            const auto t = Clock::now();
            qint64 sum = 0;
            for (qint64 i = from; i < from + 1000; ++i) {
                QByteArray bytes;
                qint64 sent = 0;
                sum += store.info(i).arrivedMs + store.answer(i, &bytes, &sent) + bytes.size();
            }
            std::printf("details of messages %lld..%lld: %.2f us each (%lld)\n", from, from + 999,
                        secondsSince(t) * 1e6 / 1000, sum % 10);
        }
    }

    // Find: the text only in the last of the messages of 1,000 bytes.
    MessageStore store({spill.path()});
    double longestAlone = 0;
    for (qint64 i = 0; i < count; ++i) {
        QByteArray m = messageOf(i, 1000);
        if (i == count - 1)
            m.replace(500, 8, "NEEDLE42");
        const auto t = Clock::now();
        store.append(m);
        store.spillIfDue();
        longestAlone = std::max(longestAlone, secondsSince(t));
    }
    std::printf("filling without a search: the longest append %.2f ms (a spill's write to the disk)\n",
                longestAlone * 1e3);
    {
        // Reading alone, as a measure of what the search adds.
        std::vector<char> buffer(4 << 20);
        const auto t = Clock::now();
        const double cpu = threadSeconds();
        for (qint64 at = 0; at < store.totalBytes(); at += qint64(buffer.size()))
            store.reader().readBytes(at, std::min(store.totalBytes(), at + qint64(buffer.size())), buffer.data());
        std::printf("reading %lld bytes: %.2f s (%.2f s of processor time)\n", store.totalBytes(),
                    secondsSince(t), threadSeconds() - cpu);
    }
    {
        // Alone first, as a measure of the search itself.
        FindProgress alone;
        const auto t = Clock::now();
        const double cpu = threadSeconds();
        const FindResult r = findMessage(store.reader(), {"needle42", false, false, -1}, alone);
        std::printf("find alone: found %lld in %.2f s (%.2f s of processor time)\n", r.row + 1,
                    secondsSince(t), threadSeconds() - cpu);
    }
    FindProgress progress;
    FindResult result;
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    double findSeconds = 0;
    double findCpu = 0;
    std::thread finder([&, reader = store.reader()] {
        const double cpu = threadSeconds();
        result = findMessage(reader, {"needle42", false, false, -1}, progress);
        findSeconds = secondsSince(start);
        findCpu = threadSeconds() - cpu;
        done = true;
    });
    // A sender at full speed meanwhile: the longest a message waits for the store.
    double longest = 0;
    qint64 arrived = 0;
    while (!done) {
        const auto t = Clock::now();
        store.append(messageOf(count + arrived++, 1000));
        store.spillIfDue();
        longest = std::max(longest, secondsSince(t));
    }
    finder.join();
    std::printf("find: text only in message %lld of %lld (1,000 bytes each): found %lld in %.2f s (%.2f s of processor time) "
                "(goal within 2 s); %lld messages appended meanwhile, the longest append %.2f ms\n",
                count, count, result.row + 1, findSeconds, findCpu, arrived, longest * 1e3);
    return result.row == count - 1 ? 0 : 1;
}
