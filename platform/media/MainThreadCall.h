#pragma once
// Hands a call to the thread of a Qt object (the main thread here) through
// Qt's event queue, without waiting for it. Qt's queue orders the call for
// real, but its lock is invisible to ThreadSanitizer; the lock taken here
// around the posting, and again before the call reads what it carries,
// states that order.

#include <QObject>

#include <mutex>
#include <utility>

namespace th::media {

inline std::mutex& MainThreadHandOver()
{
    static std::mutex lock;
    return lock;
}

template <class Fn>
bool PostToThreadOf(QObject* context, Fn fn)
{
    std::lock_guard<std::mutex> lock(MainThreadHandOver());
    return QMetaObject::invokeMethod(
        context,
        [fn = std::move(fn)]() mutable {
            { std::lock_guard<std::mutex> delivered(MainThreadHandOver()); }
            fn();
        },
        Qt::QueuedConnection);
}

} // namespace th::media
