// A value one thread may set while others read it: the program's hooks (the message box, the
// lock wait, a test's file services). Every read takes a copy under the lock, so a reader on the
// pool never sees a hook half-replaced by the window's thread.
#pragma once

#include <mutex>
#include <utility>

namespace kvr {

template <typename T> class Guarded
{
public:
    T get() const
    {
        const std::lock_guard lock(m_mutex);
        return m_value;
    }
    // Sets the value and hands back the one before.
    T exchange(T value)
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_value, std::move(value));
    }

private:
    mutable std::mutex m_mutex;
    T m_value{};
};

} // namespace kvr
