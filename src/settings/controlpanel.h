#pragma once

#include "app/navigation.h"

namespace kvr {

class ControlPanel : public ChildForm<ControlPanel>
{
    Q_OBJECT
public:
    ControlPanel();
};

} // namespace kvr
