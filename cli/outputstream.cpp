#include "cli/outputstream.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace
{
// A reader this far behind is not coming back for it.
constexpr qint64 MaxQueuedBytes = 64 << 20;
} // namespace

struct OutputStream::State {
    int fd;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    qint64 queued = 0;
    bool writing = false;
    bool closing = false;
    int error = 0;

    void giveUp(int why)
    {
        error = why;
        queue.clear();
        queued = 0;
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return closing || !queue.empty(); });
            if (queue.empty())
                return;
            const QByteArray bytes = queue.front();
            queue.pop_front();
            writing = true;
            lock.unlock();
            qint64 done = 0;
            int failure = 0;
            while (done < bytes.size()) {
                const ssize_t n =
                    ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    failure = n < 0 ? errno : EIO;
                    break;
                }
                done += n;
            }
            lock.lock();
            writing = false;
            queued -= bytes.size();
            if (failure != 0)
                giveUp(failure);
            changed.notify_all();
        }
    }
};

OutputStream::OutputStream(int fd) : state(std::make_shared<State>())
{
    state->fd = fd;
    std::thread([state = state] { state->run(); }).detach();
}

OutputStream::~OutputStream()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->closing = true;
    state->changed.notify_all();
}

void OutputStream::write(const QByteArray &bytes)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->error != 0 || bytes.isEmpty())
        return;
    if (state->queued + bytes.size() > MaxQueuedBytes) {
        state->giveUp(EAGAIN);
        return;
    }
    state->queue.push_back(bytes);
    state->queued += bytes.size();
    state->changed.notify_all();
}

bool OutputStream::idle() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->queue.empty() && !state->writing;
}

int OutputStream::error() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->error;
}

bool OutputStream::drain(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return state->queue.empty() && !state->writing; });
}
