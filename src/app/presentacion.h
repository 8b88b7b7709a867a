// The splash window: the title picture, shown for one second while the program starts.
#pragma once

#include "app/forms.h"

class QLabel;
class QTimer;

namespace kvr {

class Presentacion : public FormBase<Presentacion>
{
    Q_OBJECT
public:
    Presentacion();

    // Opens the main window, then closes the splash; the timer fires only once.
    void Timer1_Timer();

protected:
    void Form_Load() override;

private:
    QLabel* Picture = nullptr;
    QTimer* Timer1 = nullptr;
};

} // namespace kvr
