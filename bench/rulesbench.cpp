// What answer rules cost a message: the time to decide which rule holds, for
// the messages bench_sender sends (ADT^A01 with EVN, PID and a filler NTE).
// bench/run.sh runs it with the rules of RULES=none20 or adt-ae.
//
//   build/bench/bench_rules RULESFILE [size]

#include "message.h"
#include "protocol/answerrules.h"

#include <QFile>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_rules RULESFILE [size]\n");
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_rules: %s cannot be read\n", argv[1]);
        return 1;
    }
    AnswerRules::Reading reading = AnswerRules::read(QString::fromUtf8(file.readAll()));
    const std::size_t ruleCount = reading.rules.size();
    AnswerRules::Book book(std::move(reading.rules), 1);
    const int size = argc > 2 ? std::atoi(argv[2]) : 400;

    QList<QByteArray> messages;
    for (long id = 1; id <= 1000; ++id)
        messages.append(QByteArray::fromStdString(message(id, size)));
    constexpr int Count = 1000000;
    int met = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < Count; ++i)
        met += book.decide(messages[i % messages.size()]) != nullptr;
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    std::printf("deciding: %zu rules (%lld lines not read), %d of %d messages of %d bytes met a rule, %.0f ns a message\n",
                ruleCount, qlonglong(reading.problems.size()), met, Count, size, ns / Count);
    return 0;
}
