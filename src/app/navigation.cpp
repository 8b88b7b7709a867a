#include "navigation.h"

#include "installer/principal.h"

namespace kvr {

void withdrawMain()
{
    Principal::instance().setEnabled(false);
}

void giveMainBack()
{
    Principal::instance().setEnabled(true);
}

} // namespace kvr
