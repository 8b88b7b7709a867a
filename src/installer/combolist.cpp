#include "combolist.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace kvr {

DropDownCombo::DropDownCombo(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    // Typing records and installs nothing: only a choice from the list acts.
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(20);
    // Return in the text field would report the typed text as a choice.
    lineEdit()->installEventFilter(this);
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (index >= 0)
            Q_EMIT Click();
    });
}

bool DropDownCombo::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == lineEdit() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            return true;
    }
    return QComboBox::eventFilter(watched, event);
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
