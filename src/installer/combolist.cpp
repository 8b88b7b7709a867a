#include "installer/combolist.h"

#include <QLineEdit>

namespace kvr {

DropDownCombo::DropDownCombo(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(20);
    // Typing records and installs nothing: a combo box otherwise takes typed text that matches
    // an entry as a choice when Return is pressed or the field is left.
    disconnect(lineEdit(), &QLineEdit::returnPressed, this, nullptr);
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (index >= 0)
            Q_EMIT Click();
    });
}

void DropDownCombo::Clear()
{
    clear();
    clearEditText();
}

void DropDownCombo::setItems(const QStringList& items)
{
    const QSignalBlocker blocker(this);
    clear();
    addItems(items);
    setCurrentIndex(-1);
    clearEditText();
}

void DropDownCombo::setText(const QString& text)
{
    const QSignalBlocker blocker(this);
    setEditText(text);
}

void DropDownCombo::showPopup()
{
    Q_EMIT DropDown();
    QComboBox::showPopup();
}

} // namespace kvr
