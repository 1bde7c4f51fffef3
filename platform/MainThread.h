// The main thread: synchronised calls from other threads, hidden message windows with posted
// private messages, and the application's exception handler.
//
// The main thread is the thread of the QCoreApplication. Without an application there is no
// main thread: synchronised calls then run on the calling thread.
#pragma once

#include <QObject>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace platform {

bool HasMainThread();
bool IsMainThread();

// Runs call on the main thread while the caller waits, and rethrows what it threw. From the
// main thread (or without one) the call runs at once.
void Synchronize(const std::function<void()>& call);

// Runs the synchronised calls that are waiting. Main thread only; nothing elsewhere.
void ServeSynchronizedCalls();

// Processes pending events of the main thread, including synchronised calls.
void ProcessMessages();

// Shows an exception through the application's exception handler on the main thread; from
// another thread the exception is handed over and shown there.
void HandleException(std::exception_ptr error);
// The handler receives the exception's message. The default writes it to standard error.
void SetExceptionHandler(std::function<void(const std::string& message)> handler);

// A message box with a caption, shown on the main thread (the caller does not wait). The
// default writes "caption: text" to standard error; the application installs its dialog.
void ShowMessageBox(const std::string& text, const std::string& caption);
void SetMessageBoxHandler(
    std::function<void(const std::string& text, const std::string& caption)> handler);

// The busy cursor while a long operation runs on the main thread; nothing by default.
void SetBusyCursor(bool busy);
void SetBusyCursorHandler(std::function<void(bool busy)> handler);

// The message of an exception, or "Unknown exception".
std::string ExceptionMessage(std::exception_ptr error);

} // namespace platform

// A hidden message window: receives private messages posted from any thread on the main
// thread. Create and destroy it on the main thread.
class TMessageWindow : public QObject {
public:
    using Handler = std::function<void(uint32_t message, intptr_t wParam, intptr_t lParam)>;

    explicit TMessageWindow(Handler handler);
    ~TMessageWindow() override;

    // Thread-safe; the handler runs later on the main thread.
    void PostMessage(uint32_t message, intptr_t wParam = 0, intptr_t lParam = 0);
    // Removes the pending messages with that number.
    void RemovePendingMessages(uint32_t message);

protected:
    bool event(QEvent* event) override;

private:
    Handler handler_;
};
