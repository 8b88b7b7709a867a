// What an unpack into the game folder tells the change it belongs to: each name it is about to
// replace, creates or has placed, so the files it replaces are kept first and those it creates
// are known. The extraction knows only this interface; whoever records the change implements it.
#pragma once

#include <QByteArray>

namespace kvr {

class UnpackObserver
{
public:
    virtual ~UnpackObserver() = default;
    // The file of this name is about to be replaced by a member; false: it must not be.
    virtual bool keepBeforeReplace(const QByteArray& name) = 0;
    // The unpack writes this name, which was not there.
    virtual void noteCreated(const QByteArray& name) = 0;
    // A member now stands under this name.
    virtual void notePlaced(const QByteArray& name) = 0;

    // The observer of the unpacks run on this thread; null when none.
    static UnpackObserver* active();
    // Makes `observer` (or none) the one of this thread and gives back the one it replaces.
    static UnpackObserver* setActive(UnpackObserver* observer);
};

} // namespace kvr
