#include "app/Application.h"

#include "platform/rtl/SysUtils.h"
#include "platform/win/ScreenSaver.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

QStringList& testParams()
{
    static QStringList params;
    return params;
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    FScreenSaver = new th::win::ScreenSaverService([this](TMessage& Msg) { return OfferMessage(Msg); },
                                                   th::win::MakeSessionScreenSaverInhibitor(
                                                       QStringLiteral("Tolmar TapeHarvest")),
                                                   5000, this);
}

TApplication::~TApplication()
{
    delete FScreenSaver;
    FScreenSaver = nullptr;
}

void TApplication::HandleException(const std::exception& E)
{
    if (FOnException) {
        // The handler shows a dialog; should that fail in its turn, the
        // program still must not unwind through Qt.
        try {
            FOnException(E);
            return;
        } catch (const std::exception& again) {
            std::fprintf(stderr, "tharvest: %s\n", again.what());
        } catch (...) {
        }
    }
    std::fprintf(stderr, "tharvest: %s\n", E.what());
}

bool TApplication::OfferMessage(TMessage& Msg)
{
    if (!FOnMessage)
        return false;
    try {
        return FOnMessage(Msg);
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception(QStringLiteral("Unknown exception")));
    }
    return false;
}

bool TApplication::notify(QObject* Receiver, QEvent* Event)
{
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception(QStringLiteral("Unknown exception")));
    }
    return false;
}

QString ParamStr(int Index)
{
    const QStringList params = testParams().isEmpty() ? QCoreApplication::arguments() : testParams();
    return Index >= 0 && Index < params.size() ? params[Index] : QString();
}

void SetParamsForTest(const QStringList& Params)
{
    testParams() = Params;
}
