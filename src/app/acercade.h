#pragma once

#include "app/navigation.h"

namespace kvr {

class Acercade : public ChildForm<Acercade>
{
    Q_OBJECT
public:
    Acercade();
};

} // namespace kvr
