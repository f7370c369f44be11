#include "platform/win/ScreenSaver.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>
#include <QVariant>

namespace {

constexpr char kService[] = "org.freedesktop.ScreenSaver";
constexpr char kPath[] = "/org/freedesktop/ScreenSaver";
constexpr char kInterface[] = "org.freedesktop.ScreenSaver";
// The call blocks the main thread; a desktop that does not answer soon is taken as none.
constexpr int kCallTimeoutMs = 2000;

class DBusInhibitor final : public th::win::ScreenSaverInhibitor {
public:
    DBusInhibitor(const QDBusConnection& bus, QString application, QString reason)
        : bus_(bus), application_(std::move(application)), reason_(std::move(reason))
    {
    }

    bool Inhibit(std::uint32_t& Cookie) override
    {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Inhibit");
        call << application_ << reason_;
        const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return false;
        bool ok = false;
        Cookie = reply.arguments().first().toUInt(&ok);
        return ok;
    }

    void UnInhibit(std::uint32_t Cookie) override
    {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "UnInhibit");
        call << Cookie;
        bus_.call(call, QDBus::Block, kCallTimeoutMs);
    }

private:
    QDBusConnection bus_;
    QString application_;
    QString reason_;
};

} // namespace

namespace th::win {

std::unique_ptr<ScreenSaverInhibitor> MakeDBusScreenSaverInhibitor(const QDBusConnection& Bus,
                                                                   const QString& Application,
                                                                   const QString& Reason)
{
    if (!Bus.isConnected())
        return nullptr;
    return std::make_unique<DBusInhibitor>(Bus, Application, Reason);
}

std::unique_ptr<ScreenSaverInhibitor> MakeSessionScreenSaverInhibitor(const QString& Application)
{
    return MakeDBusScreenSaverInhibitor(QDBusConnection::sessionBus(), Application,
                                        QStringLiteral("A DV capture is running"));
}

ScreenSaverService::ScreenSaverService(TOffer Offer, std::unique_ptr<ScreenSaverInhibitor> Inhibitor,
                                       int IntervalMs, QObject* Parent)
    : QObject(Parent), FOffer(std::move(Offer)), FInhibitor(std::move(Inhibitor))
{
    if (!FInhibitor)
        return;
    FTimer = new QTimer(this);
    FTimer->setInterval(IntervalMs);
    connect(FTimer, &QTimer::timeout, this, &ScreenSaverService::Poll);
    FTimer->start();
}

ScreenSaverService::~ScreenSaverService()
{
    Release();
}

void ScreenSaverService::Poll()
{
    if (!FInhibitor || !FOffer)
        return;
    TMessage saver{WM_SYSCOMMAND, SC_SCREENSAVE, 0, 0};
    // lParam 2: the monitor is to be switched off.
    TMessage power{WM_SYSCOMMAND, SC_MONITORPOWER, 2, 0};
    const bool swallowSaver = FOffer(saver);
    const bool swallowPower = FOffer(power);
    if (swallowSaver || swallowPower) {
        // A refusal is tried again at the next poll.
        if (!FInhibited && FInhibitor->Inhibit(FCookie))
            FInhibited = true;
    } else {
        Release();
    }
}

void ScreenSaverService::Release()
{
    if (!FInhibited)
        return;
    FInhibited = false;
    FInhibitor->UnInhibit(FCookie);
}

} // namespace th::win
