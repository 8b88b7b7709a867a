#include "app/mainwindow.h"

namespace kvr {

namespace {
// Filled before main() runs, by another file's static initialiser: a function's own static is
// made on first use, whichever file's initialiser comes first.
WindowLinks& links()
{
    static WindowLinks filled;
    return filled;
}
} // namespace

void setWindowLinks(WindowLinks filled)
{
    links() = std::move(filled);
}

const WindowLinks& windowLinks()
{
    return links();
}

} // namespace kvr
