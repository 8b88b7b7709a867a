#pragma once

#include "app/navigation.h"

namespace kvr {

class Ayuda : public ChildForm<Ayuda>
{
    Q_OBJECT
public:
    Ayuda();
};

} // namespace kvr
