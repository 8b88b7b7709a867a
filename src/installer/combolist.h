// A slot's combo box: an editable drop-down that raises DropDown before its list opens, so the
// list can be rebuilt from the current packages each time.
#pragma once

#include <QComboBox>

namespace kvr {

class DropDownCombo : public QComboBox
{
    Q_OBJECT
public:
    explicit DropDownCombo(QWidget* parent = nullptr);

    // Empties the list and the text field.
    void Clear();
    // Replaces the list in one go, leaving the text field empty.
    void setItems(const QStringList& items);

    QString Text() const { return currentText(); }
    // Sets the text field; raises no event.
    void setText(const QString& text);

    void showPopup() override;

protected:
    // The wheel over a closed box chooses nothing: only a pick in the open list or the keyboard does.
    void wheelEvent(QWheelEvent* event) override;

Q_SIGNALS:
    // The list is about to open: items added now show in it.
    void DropDown();
    // The user chose an entry; it is already in the text field.
    void Click();
};

} // namespace kvr
