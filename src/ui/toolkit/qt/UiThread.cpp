#include "ui/toolkit/qt/UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <memory>
#include <mutex>

namespace ui {

namespace {

// Qt hands a queued call to the UI thread under a lock inside its own
// library, which is built without ThreadSanitizer's instrumentation: the
// sanitizer cannot see that hand-off and takes the UI thread's first read of
// the call for a race with its construction on the posting thread. A lock of
// ours, held across the post and taken by the UI thread before it reads the
// call, shows the order. Recursive, because Qt destroys moved-from copies
// while the posting thread holds it. The UI thread waits on it only while
// another thread posts, and posting never waits for the UI thread: Qt
// delivers and deletes posted calls with its own lock released.
std::recursive_mutex g_postLock;

void waitForPosts() {
    std::lock_guard lock(g_postLock);
}

// Travels with the queued call. Qt destroys a queued call unrun when its
// context object goes away; the destructor then tells the waiting caller, so
// a send to a destroyed window fails at once instead of waiting for `stop`.
class QueuedCall {
public:
    QueuedCall(std::shared_ptr<PendingCall> call, std::function<intptr_t()> work)
        : m_call(std::move(call)), m_work(std::move(work)) {}
    QueuedCall(QueuedCall&& other) noexcept = default;
    QueuedCall(const QueuedCall&) = delete;
    QueuedCall& operator=(const QueuedCall&) = delete;
    QueuedCall& operator=(QueuedCall&&) = delete;
    // May run on either thread (Qt frees the call where its last reference
    // goes); drop() takes the call's lock, which also orders the release of
    // `m_work` after its run on the UI thread.
    ~QueuedCall() {
        waitForPosts();
        if (m_call) m_call->drop();
    }

    void operator()() {
        waitForPosts();
        m_call->run(m_work);
    }

private:
    std::shared_ptr<PendingCall> m_call;
    std::function<intptr_t()> m_work;
};

}  // namespace

CallResult callOnUiThread(QObject* context, std::function<intptr_t()> work, std::stop_token stop, intptr_t* out) {
    if (context == nullptr || QCoreApplication::instance() == nullptr) return CallResult::Gone;
    if (QThread::currentThread() == context->thread()) {
        const intptr_t result = work();
        if (out != nullptr) *out = result;
        return CallResult::Done;
    }
    auto call = std::make_shared<PendingCall>();
    {
        std::lock_guard post(g_postLock);
        QMetaObject::invokeMethod(context, QueuedCall(call, std::move(work)), Qt::QueuedConnection);
    }
    return call->wait(std::move(stop), out);
}

}  // namespace ui
