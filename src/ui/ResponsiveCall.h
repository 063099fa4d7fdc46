#pragma once

#include <QEventLoop>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace ui {

// Runs a blocking call (a connection check, a test mail) on a thread of its
// own while the calling GUI thread keeps its event loop turning, so the
// window goes on painting and showing backup progress. Returns the call's
// result, or nothing when the event loop was told to quit first (the program
// is ending); the call then finishes on its own and its result is dropped.
// The call must own everything it uses (capture by value).
template <typename T>
std::optional<T> RunResponsive(std::function<T()> call)
{
    struct Shared {
        std::mutex mutex; // guards everything below
        bool done = false;
        std::optional<T> result;
        QEventLoop* loop = nullptr;
    };
    auto shared = std::make_shared<Shared>();
    QEventLoop loop;
    {
        std::lock_guard lock(shared->mutex);
        shared->loop = &loop;
    }
    std::thread([shared, call = std::move(call)]() mutable {
        T value = call();
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(value);
        shared->done = true;
        if (shared->loop)
            QMetaObject::invokeMethod(shared->loop, &QEventLoop::quit, Qt::QueuedConnection);
    }).detach();

    bool done = false;
    {
        std::lock_guard lock(shared->mutex);
        done = shared->done;
    }
    if (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    std::lock_guard lock(shared->mutex);
    shared->loop = nullptr;
    if (!shared->done)
        return std::nullopt;
    return std::move(shared->result);
}

} // namespace ui
