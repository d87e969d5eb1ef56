#pragma once

#include <QObject>

#include "protocol/charsets.h"

#include <QByteArray>

#include <memory>
#include <optional>

class FindWindow;
class MessageStore;
class MessageViewer;
class QAction;
class ReceivedListView;
class Windowing;

// View, Copy and Save As... for a row of the received-message list: a
// double-click or Enter views the row, Ctrl+C copies it, and the row's
// context menu offers all three. Each reads its message from the store when
// it runs; nothing here is touched by an arriving message.
class MessageCommands : public QObject
{
    Q_OBJECT

public:
    MessageCommands(ReceivedListView &list, const MessageStore &store, Windowing &windowing);
    ~MessageCommands() override;

    void view(int row);
    void copy(int row) const;
    void saveAs(int row);

    // The one viewer, once a message has been viewed; it goes with these commands.
    MessageViewer *viewer() const { return m_viewer.get(); }
    // The character set messages are viewed and copied in ([Text]).
    void setTextSetting(const Charsets::Setting &setting);

    QAction *mnuView = nullptr;
    QAction *mnuCopy = nullptr;
    QAction *mnuSaveAs = nullptr;
    QAction *mnuFind = nullptr;

    // The find window (Ctrl+F, "Find..."), made with these commands.
    FindWindow &findWindow() const { return *m_find; }

    // Cancels the search and the Copy and Save As jobs, and waits for their
    // threads: before the store is cleared.
    void stopReading();

private:
    bool holds(int row) const;
    // The row's message, or a notice of why it could not be read.
    std::optional<QByteArray> read(int row) const;

    ReceivedListView &m_list;
    const MessageStore &m_store;
    Windowing &m_windowing;
    std::unique_ptr<MessageViewer> m_viewer;
    std::unique_ptr<FindWindow> m_find;
    Charsets::Setting m_textSetting;
};
