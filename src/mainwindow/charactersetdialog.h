#pragma once

#include "settings/options.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

// Options > Character Set...: the set messages are shown in when they do not
// name theirs (Automatic, or one of the sets this system decodes), and
// whether a message's MSH-18 names its set first. A plain front end like the
// connections dialog: it shows the options it is given and tells what the
// operator chose; its owner keeps them. The bytes never change, only how
// the list, the viewer and Copy read them.
class CharacterSetDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CharacterSetDialog(const Options &options, QWidget *parent = nullptr);

    // `options` with the [Text] values as the fields say them now.
    Options appliedTo(Options options) const;

    // Editable: typing keeps to the names that hold what is typed.
    QComboBox *cboCharacterSet = nullptr;
    QCheckBox *chkUseMsh18 = nullptr;
    QLabel *lblCharacterSetNote = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

private:
    // The name as the list has it, or empty when the box names no set.
    QString chosenName() const;
};
