#pragma once

#include "app/navigation.h"

namespace kvr {

class Visor : public ChildForm<Visor>
{
    Q_OBJECT
public:
    Visor();
};

} // namespace kvr
