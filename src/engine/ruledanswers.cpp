// Answers by rule: the first rule that holds for a message shapes its
// answer (code, text, id), its time, how it is written and whether the
// connection outlives it. Without rules none of this runs.

#include "engine/interfaceengine.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>

using AnswerRules::Actions;
using Outcome = MessageInfo::Outcome;

void InterfaceEngine::takeRules()
{
    const quint64 seed = m_fixedSeed ? *m_fixedSeed : QRandomGenerator::global()->generate64();
    m_book = AnswerRules::Book(m_settings.rules(), seed);
    m_ruleActions.clear();
    for (const AnswerRules::Rule &rule : m_book.rules())
        m_ruleActions.push_back(std::make_shared<const Actions>(rule.actions));
    m_loopTold = false;
}

bool InterfaceEngine::ruleOrAnswerable(Link *link, qint64 message, QByteArrayView whole, QByteArrayView head,
                                       const AnswerRules::Rule **rule)
{
    if (!m_book.rules().empty()) {
        *rule = m_book.decide(whole);
        if (*rule) {
            const Actions &actions = (*rule)->actions;
            const Outcome outcome = actions.never ? Outcome::Withheld
                                    : actions.reset ? Outcome::Reset
                                    : actions.close ? Outcome::AnsweredThenClosed
                                                    : Outcome::Answered;
            m_store.setOutcome(message, quint16(qBound(0, (*rule)->line, 0xffff)), outcome);
            return !actions.never;
        }
    }
    // Only the header's first fields are read.
    if (AckFields::MshHeader(head, 9).component(9, 1) != "ACK") {
        if (link)
            link->acksInARow = 0;
        return true;
    }
    // HL7 does not acknowledge an acknowledgement: an answer made of its
    // fields would be taken for one to a message the sender sent.
    const SettingsRecord &texts = m_settings.record();
    if (m_ackCache.takesFields(texts.strAckBeforeDate, texts.strAckAfterDate, texts.strMSASegment)) {
        m_store.setOutcome(message, 0, Outcome::AckNotAnswered);
        return false;
    }
    // The fixed answer goes as designed; a sender that acknowledges it
    // back loops with the probe, which the operator is told once.
    if (link && ++link->acksInARow == AcksInARowTold)
        tellAnswerNotice(m_loopTold,
                         QStringLiteral("The sender at %1 is acknowledging the answers (%2 acknowledgements in a "
                                        "row): a rule `{MSH-9.1} = ACK -> never` in ackprobe-rules.txt stops "
                                        "the loop.")
                                 .arg(link->description)
                                 .arg(AcksInARowTold));
    return true;
}

void InterfaceEngine::sendByRule(Link *link, qint64 message, const Actions &actions, qint64 nowMs)
{
    const QByteArray configured = m_lastAck;
    if (!actions.code.isEmpty() || actions.hasText || actions.wrongId)
        m_lastAck = AnswerRules::applyToAnswer(configured, actions, actions.code);
    // The store keeps the answer that went first.
    m_store.setAnswer(message, m_lastAck, nowMs);
    if (!link)
        return;
    link->lastActivityMs = nowMs;
    const quint64 serial = link->serial;
    const QByteArray stream = actions.twice ? m_lastAck + m_lastAck : m_lastAck;
    const int pieces = int(std::clamp<qsizetype>(actions.pieces, 1, qMax<qsizetype>(1, stream.size())));
    qint64 lastDue = nowMs;
    for (int i = 0; i < pieces; ++i) {
        const qsizetype from = stream.size() * i / pieces;
        const QByteArray piece = stream.mid(from, stream.size() * (i + 1) / pieces - from);
        lastDue = nowMs + qint64(i) * PieceGapMs;
        if (i == 0)
            link->connection->send(piece);
        else
            schedule(lastDue, {serial, Step::What::Send, piece});
    }
    if (!actions.thenCode.isEmpty()) {
        const QByteArray second = AnswerRules::applyToAnswer(configured, actions, actions.thenCode);
        const qint64 due = lastDue + actions.thenAfterMs;
        if (due <= nowMs)
            link->connection->send(second);
        else
            schedule(due, {serial, Step::What::Send, second});
        lastDue = due;
    }
    if (actions.close) {
        // Nothing after this answer is answered; the link goes once the
        // event loop has its turn, its answers left to the retiring pool.
        link->ending = true;
        schedule(lastDue, {serial, Step::What::Close, {}});
    }
}

void InterfaceEngine::schedule(qint64 dueMs, Step step)
{
    const auto placed = m_steps.emplace(std::make_pair(dueMs, ++m_stepsMade), std::move(step)).first;
    if (placed == m_steps.begin())
        m_stepTimer.start(int(qMax<qint64>(0, dueMs - QDateTime::currentMSecsSinceEpoch())));
}

void InterfaceEngine::runDueSteps()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    while (!m_steps.empty() && m_steps.begin()->first.first <= now) {
        const Step step = std::move(m_steps.begin()->second);
        m_steps.erase(m_steps.begin());
        // What was meant for a connection gone goes with it.
        Link *link = findLink(step.link);
        if (!link)
            continue;
        switch (step.what) {
        case Step::What::Send:
            link->connection->send(step.bytes);
            link->lastActivityMs = now;
            break;
        case Step::What::Close:
            endByRule(*link, false);
            break;
        case Step::What::Reset:
            endByRule(*link, true);
            break;
        }
    }
    if (!m_steps.empty())
        m_stepTimer.start(int(qMax<qint64>(0, m_steps.begin()->first.first - now)));
}

void InterfaceEngine::endByRule(Link &link, bool reset)
{
    const QString description = link.description;
    if (reset)
        link.connection->reset();
    removeLink(link);
    if (m_several)
        emit senderGone(description, reset ? QStringLiteral("was reset, as an answer rule says")
                                           : QStringLiteral("was closed after its answer, as an answer rule says"));
    afterLinkEnded(State::Listening);
}
