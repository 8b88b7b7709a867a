#include "installer/combolist.h"

#include "app/logging.h"

#include <QLineEdit>
#include <QWheelEvent>

namespace kvr {

DropDownCombo::DropDownCombo(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(20);
    // A slot changes only by a deliberate choice: passing the wheel over the box must not even
    // give it the keyboard focus.
    setFocusPolicy(Qt::StrongFocus);
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

void DropDownCombo::wheelEvent(QWheelEvent* event)
{
    // A combo box takes the wheel on hover, without focus, and each notch would be a choice that
    // deletes the slot's files and installs another skin. The open list scrolls in its own view.
    qCInfo(lcInstall) << "Wheel over" << objectName() << "ignored: the wheel chooses no skin";
    event->ignore();
}

void DropDownCombo::showPopup()
{
    Q_EMIT DropDown();
    QComboBox::showPopup();
}

} // namespace kvr
