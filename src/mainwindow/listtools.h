#pragma once

#include "mainwindow/listcolumns.h"

#include <QObject>
#include <QString>

class ProbeSettings;
class QAction;
class QGroupBox;
class ReceivedListView;
class ReceivedModel;

// What the operator works the received list with beyond its designed form:
// the header's menu of optional columns (kept in the options file) and
// Alt+L, which takes the keyboard focus to the list without making it a
// tab stop.
class ListTools : public QObject
{
    Q_OBJECT

public:
    // The columns the settings hold are shown, now and whenever the options
    // are read again; the operator's choice goes back to the settings.
    ListTools(QGroupBox &frame, ReceivedListView &list, ReceivedModel &model, ProbeSettings &settings);

    // The header menu's item for a column.
    QAction *action(ListColumns::Column column) const;
    void setChosen(const QList<ListColumns::Column> &columns);

private:
    void show(const QList<ListColumns::Column> &columns);
    void chosenChanged();
    void showSettings();

    ReceivedListView &m_list;
    ReceivedModel &m_model;
    ProbeSettings &m_settings;
    QList<QAction *> m_actions;
};
