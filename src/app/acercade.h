// The About window: the program's title, credit, release date and a note. Everything is fixed.
#pragma once

#include "app/navigation.h"

class QLabel;

namespace kvr {

class Acercade : public ChildForm<Acercade>
{
    Q_OBJECT
public:
    Acercade();

private:
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
};

} // namespace kvr
