// The help window: the text of readme.txt from the program folder, read afresh at each opening.
#pragma once

#include "app/navigation.h"

class QLabel;
class QPlainTextEdit;

namespace kvr {

class Ayuda : public ChildForm<Ayuda>
{
    Q_OBJECT
public:
    Ayuda();

protected:
    void Form_Load() override;

private:
    QLabel* Image1 = nullptr;
    QPlainTextEdit* Text1 = nullptr;
};

} // namespace kvr
