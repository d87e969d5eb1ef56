#pragma once

#include "protocol/charsets.h"
#include "store/messagefinder.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class MessageStore;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QThread;
class ReceivedListView;

// The find window: a small window beside the main one, never modal, that
// finds a text among all the run's messages from the selected row on and
// selects the row found. The search runs on a thread of its own over the
// store (with a reader of its own), so answering goes on; its progress shows after a moment and it can
// be cancelled. Ctrl+F on the list (and on any window attach() is given)
// opens it; F3 and Shift+F3 find the next and the previous one.
class FindWindow : public QWidget
{
    Q_OBJECT

public:
    FindWindow(ReceivedListView &list, const MessageStore &store);
    ~FindWindow() override;

    // Ctrl+F, F3 and Shift+F3 on this widget too.
    void attach(QWidget *widget);
    void open();
    void findNext() { find(false); }
    void findPrevious() { find(true); }
    void cancel();
    // Cancels a search and waits for its thread: before the store is cleared.
    void stop();
    bool searching() const { return m_thread != nullptr; }
    // [Text] as it stands when a search starts: the text is found as the
    // messages show it, each in its own character set.
    std::function<Charsets::Setting()> textSetting = [] { return Charsets::Setting(); };

    QLineEdit *txtFind = nullptr;
    QCheckBox *chkMatchCase = nullptr;
    QPushButton *cmdFindNext = nullptr;
    QPushButton *cmdFindPrevious = nullptr;
    QPushButton *cmdCancel = nullptr;
    QLabel *lblFindStatus = nullptr;

signals:
    // A search has ended, found or not (its words are in lblFindStatus).
    void searchEnded();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void find(bool backward);
    void searchDone();

    ReceivedListView &m_list;
    const MessageStore &m_store;
    QThread *m_thread = nullptr;
    std::unique_ptr<FindProgress> m_progress;
    FindResult m_result;
    FindRequest m_request;
    QString m_text; // as it was looked for
    QTimer m_progressTimer;
};
