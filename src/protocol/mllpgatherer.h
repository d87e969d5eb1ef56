#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// Cuts a connection's arrivals into MLLP blocks, from 0x0B to the first
// 0x1C 0x0D after it, framing included, and the bytes outside any block.
// A UTF-8 byte order mark right before a 0x0B, in the same arrival, is the
// start of its block: some senders write one before each message.
// Bytes are handed on as they come, never gathered here: a block of any
// size costs one byte of state between arrivals.
//
// Outside the blocks, a run of an arrival made of CR, LF and NUL alone is
// padding, which many senders put after each block; a run holding any other
// byte is handed on whole as outside bytes.
class MllpGatherer
{
public:
    // What the gatherer finds, in the order of the bytes. Views are valid
    // only during the call.
    class Receiver
    {
    public:
        virtual ~Receiver() = default;
        // Bytes before a 0x0B, or between blocks, of one arrival, with at
        // least one that is not CR, LF or NUL.
        virtual void outside(QByteArrayView bytes) = 0;
        // Bytes there that are all CR, LF or NUL.
        virtual void padding(QByteArrayView bytes) = 0;
        // A 0x0B has begun a block; its bytes follow, 0x0B (or the byte
        // order mark before it) first.
        virtual void blockBegins() = 0;
        // The block's bytes of one arrival, in order.
        virtual void blockBytes(QByteArrayView bytes) = 0;
        // Its 0x1C 0x0D has been handed on: the block is whole.
        virtual void blockEnds() = 0;
        // The connection ended with the block still open (finish()).
        virtual void blockIncomplete() = 0;
    };

    // One arrival, scanned once.
    void feed(QByteArrayView arrival, Receiver &receiver);
    // The connection has ended: an open block is reported incomplete, and
    // the gatherer is ready for a new connection.
    void finish(Receiver &receiver);

    bool inBlock() const { return m_state != State::Outside; }

private:
    enum class State : quint8 { Outside, InBlock, AfterFileSeparator };
    State m_state = State::Outside;
};
