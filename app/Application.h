#pragma once
// TApplication: the program's application object. Its notify is the message
// loop's last line: an exception that leaves an event, a timer or a slot ends
// that event there and goes to the exception handler (the main window's
// ApplicationEventsException), and the loop runs on. System requests that a
// Windows program would see in its message queue (the screen saver's and the
// monitor's power requests) reach the message hook, which may swallow them.
// Main thread only.

#include "platform/win/Windows.h"

#include <QApplication>
#include <QString>
#include <QStringList>

#include <exception>
#include <functional>
#include <memory>

namespace th::win {
class ScreenSaverService;
}

class TApplication : public QApplication {
public:
    using TExceptionHandler = std::function<void(const std::exception&)>;
    // True when the message is swallowed.
    using TMessageHook = std::function<bool(TMessage&)>;

    TApplication(int& argc, char** argv);
    ~TApplication() override;

    void SetOnException(TExceptionHandler Handler) { FOnException = std::move(Handler); }
    void SetOnMessage(TMessageHook Hook) { FOnMessage = std::move(Hook); }

    // Hands an exception to the handler; without one it is written to stderr.
    void HandleException(const std::exception& E);
    // Offers a system message to the hook; true when the hook swallowed it.
    // An exception from the hook goes to the handler and lets the message pass.
    bool OfferMessage(TMessage& Msg);

    bool notify(QObject* Receiver, QEvent* Event) override;

    th::win::ScreenSaverService* ScreenSaver() const { return FScreenSaver; }

private:
    TExceptionHandler FOnException;
    TMessageHook FOnMessage;
    th::win::ScreenSaverService* FScreenSaver = nullptr;
};

// The program's command-line parameter Index (0 is the program itself); ""
// beyond the last.
QString ParamStr(int Index);
// Test seam: the parameters ParamStr answers from now on (the program first);
// an empty list returns to the real command line.
void SetParamsForTest(const QStringList& Params);
