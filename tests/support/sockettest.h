#pragma once

// What the tests of the socket layer share: a listener on a free port, a
// connection taken from it, the events a connection raises, and the
// process's sockets and descriptors.

#include "testbase.h"

#include "sockets/connection.h"
#include "sockets/listener.h"
#include "sockets/retiringpool.h"

#include <QStringList>

#include <memory>
#include <vector>

// Sockets this process holds; other descriptors (event loop, files) are not ours to count.
int openSocketCount();

// Listens at a port the system picks. Returns the port, or 0.
quint16 listenOnFreePort(Listener &listener);

// Connects peer to the listener and takes the connection accepted for it;
// null when none came.
std::unique_ptr<Connection> connectAndTake(Listener &listener, LoopbackClient &peer);

// A connection's events in the order raised, its data taken as it arrives:
// "data", "settled", "closed", "error <errno>".
struct EventLog
{
    QStringList events;
    QByteArray data;

    explicit EventLog(Connection &connection);
    QStringList endings() const; // the events but "data" and "settled"
};

// A listener on a free port, a peer connected to it and the connection
// taken for that peer, with its events; connection and log are null when
// none came.
struct TakenConnection
{
    Listener listener;
    quint16 port = listenOnFreePort(listener);
    LoopbackClient peer;
    std::unique_ptr<Connection> connection = connectAndTake(listener, peer);
    std::unique_ptr<EventLog> log = connection ? std::make_unique<EventLog>(*connection) : nullptr;
};

// Takes every descriptor under a limit lowered to at most 256 but `left`;
// the descriptors are given back and the limit restored when it goes.
class DescriptorShortage
{
public:
    explicit DescriptorShortage(int left);
    ~DescriptorShortage();
    DescriptorShortage(const DescriptorShortage &) = delete;
    DescriptorShortage &operator=(const DescriptorShortage &) = delete;

    // True when the limit was reached (and `left` given back).
    bool reached() const { return m_reached; }
    // Gives back one more descriptor.
    void giveBackOne();

private:
    std::vector<int> m_fillers;
    bool m_reached = false;
    unsigned long m_savedLimit = 0;
};
