#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace platform {
namespace {

// Qt's event queue orders a post before its delivery with locks the thread sanitizer cannot
// see; this release/acquire pair states the same order in terms it can check.
std::atomic<uint64_t> handOff{0};
void PublishHandOff() {
    handOff.fetch_add(1, std::memory_order_release);
}
void ReceiveHandOff() {
    (void)handOff.load(std::memory_order_acquire);
}

struct PendingCall {
    std::function<void()> call;
    std::exception_ptr error;
    bool done = false;
};

// Synchronised calls waiting for the main thread. The main thread takes them from the event
// loop (a wake-up event) or from a wait that serves them (TMMEvent::WaitFor).
struct CallQueue {
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<std::shared_ptr<PendingCall>> calls;
};

CallQueue& Queue() {
    static CallQueue queue;
    return queue;
}

std::mutex handlerMutex;
std::function<void(const std::string&)> exceptionHandler;

const QEvent::Type wakeEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the main thread; a posted wake-up makes the event loop serve the call queue.
class Waker : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == wakeEventType) {
            ServeSynchronizedCalls();
            return true;
        }
        return QObject::event(event);
    }
};

// The waker of the running application, created on its thread at the first synchronised call.
QObject* MainWaker() {
    static std::mutex mutex;
    static QPointer<QObject> waker;
    static QCoreApplication* owner = nullptr;
    std::lock_guard lock(mutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return nullptr;
    if (waker.isNull() || owner != app) {
        auto* created = new Waker();
        created->moveToThread(app->thread());
        created->setParent(app); // destroyed with the application
        waker = created;
        owner = app;
    }
    return waker.data();
}

} // namespace

bool HasMainThread() {
    return QCoreApplication::instance() != nullptr;
}

bool IsMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void Synchronize(const std::function<void()>& call) {
    if (!HasMainThread() || IsMainThread()) {
        call();
        return;
    }
    auto pending = std::make_shared<PendingCall>();
    pending->call = call;
    CallQueue& queue = Queue();
    {
        std::lock_guard lock(queue.mutex);
        queue.calls.push_back(pending);
    }
    if (QObject* waker = MainWaker())
        QCoreApplication::postEvent(waker, new QEvent(wakeEventType));
    std::unique_lock lock(queue.mutex);
    queue.finished.wait(lock, [&] { return pending->done; });
    if (pending->error)
        std::rethrow_exception(pending->error);
}

void ServeSynchronizedCalls() {
    if (!IsMainThread())
        return;
    CallQueue& queue = Queue();
    for (;;) {
        std::shared_ptr<PendingCall> pending;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.calls.empty())
                return;
            pending = queue.calls.front();
            queue.calls.pop_front();
        }
        try {
            pending->call();
        } catch (...) {
            pending->error = std::current_exception();
        }
        {
            // Let go of the call while the caller still waits: the caller then frees it, and
            // with it the exception it rethrows, on its own thread.
            std::lock_guard lock(queue.mutex);
            pending->done = true;
            pending.reset();
        }
        queue.finished.notify_all();
    }
}

void ProcessMessages() {
    if (!IsMainThread())
        return;
    ServeSynchronizedCalls();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "Unknown exception";
}

void SetExceptionHandler(std::function<void(const std::string& message)> handler) {
    std::lock_guard lock(handlerMutex);
    exceptionHandler = std::move(handler);
}

namespace {
void ShowOnThisThread(const std::string& message) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = exceptionHandler;
    }
    if (handler)
        handler(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}
} // namespace

void HandleException(std::exception_ptr error) {
    std::string message = ExceptionMessage(error);
    if (!HasMainThread() || IsMainThread()) {
        ShowOnThisThread(message);
        return;
    }
    // Handed over without waiting: the failing thread may be one the main thread waits for.
    QObject* waker = MainWaker();
    if (waker == nullptr) {
        ShowOnThisThread(message);
        return;
    }
    PublishHandOff();
    QMetaObject::invokeMethod(
        waker,
        [message] {
            ReceiveHandOff();
            ShowOnThisThread(message);
        },
        Qt::QueuedConnection);
}

namespace {
std::mutex boxMutex;
std::function<void(const std::string&, const std::string&)> boxHandler;
std::function<void(bool)> busyHandler;
} // namespace

void SetMessageBoxHandler(
    std::function<void(const std::string& text, const std::string& caption)> handler) {
    std::lock_guard lock(boxMutex);
    boxHandler = std::move(handler);
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
    std::function<void(const std::string&, const std::string&)> handler;
    {
        std::lock_guard lock(boxMutex);
        handler = boxHandler;
    }
    auto show = [handler, text, caption] {
        ReceiveHandOff();
        if (handler)
            handler(text, caption);
        else
            std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    };
    QObject* waker = (!HasMainThread() || IsMainThread()) ? nullptr : MainWaker();
    if (waker == nullptr)
        show();
    else {
        PublishHandOff();
        QMetaObject::invokeMethod(waker, show, Qt::QueuedConnection);
    }
}

void SetBusyCursorHandler(std::function<void(bool busy)> handler) {
    std::lock_guard lock(boxMutex);
    busyHandler = std::move(handler);
}

void SetBusyCursor(bool busy) {
    std::function<void(bool)> handler;
    {
        std::lock_guard lock(boxMutex);
        handler = busyHandler;
    }
    if (handler && IsMainThread())
        handler(busy);
}

} // namespace platform

// ---- TMessageWindow -------------------------------------------------------------------------

namespace {

// One registered event type per message number, so that pending messages of one number can be
// removed without touching the others.
QEvent::Type EventTypeFor(uint32_t message) {
    static std::mutex mutex;
    static std::map<uint32_t, QEvent::Type> types;
    std::lock_guard lock(mutex);
    auto found = types.find(message);
    if (found != types.end())
        return found->second;
    const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    types.emplace(message, type);
    return type;
}

class MessageEvent : public QEvent {
public:
    MessageEvent(QEvent::Type type, uint32_t message, intptr_t wParam, intptr_t lParam)
        : QEvent(type), message_(message), wParam_(wParam), lParam_(lParam) {}
    uint32_t message_;
    intptr_t wParam_;
    intptr_t lParam_;
};

} // namespace

TMessageWindow::TMessageWindow(Handler handler) : handler_(std::move(handler)) {}

TMessageWindow::~TMessageWindow() = default;

void TMessageWindow::PostMessage(uint32_t message, intptr_t wParam, intptr_t lParam) {
    auto* event = new MessageEvent(EventTypeFor(message), message, wParam, lParam);
    platform::PublishHandOff();
    QCoreApplication::postEvent(this, event);
}

void TMessageWindow::RemovePendingMessages(uint32_t message) {
    QCoreApplication::removePostedEvents(this, EventTypeFor(message));
}

bool TMessageWindow::event(QEvent* event) {
    if (auto* posted = dynamic_cast<MessageEvent*>(event)) {
        platform::ReceiveHandOff();
        try {
            if (handler_)
                handler_(posted->message_, posted->wParam_, posted->lParam_);
        } catch (...) {
            platform::HandleException(std::current_exception());
        }
        return true;
    }
    return QObject::event(event);
}
