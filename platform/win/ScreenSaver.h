#pragma once
// The screen saver and the monitor's power saving, as a program keeps them off
// by swallowing the system's requests. Every few seconds the service offers
// the two requests, WM_SYSCOMMAND with SC_SCREENSAVE and with SC_MONITORPOWER,
// to the application's message hook; while the hook swallows either, the
// service holds an inhibition through the desktop's org.freedesktop.ScreenSaver
// interface on the session bus, and it releases the inhibition once the hook
// lets both pass. Without a session bus (or without a screen saver on it) the
// service does nothing, silently. Main thread only.

#include "platform/win/Windows.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QDBusConnection;
class QTimer;

inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr WPARAM SC_SCREENSAVE = 0xF140;
inline constexpr WPARAM SC_MONITORPOWER = 0xF170;

namespace th::win {

// What keeps the desktop from blanking the screen.
class ScreenSaverInhibitor {
public:
    virtual ~ScreenSaverInhibitor() = default;
    // True with a cookie when the desktop accepted the inhibition.
    virtual bool Inhibit(std::uint32_t& Cookie) = 0;
    virtual void UnInhibit(std::uint32_t Cookie) = 0;
};

// org.freedesktop.ScreenSaver on Bus; null when the bus is not connected.
std::unique_ptr<ScreenSaverInhibitor> MakeDBusScreenSaverInhibitor(const QDBusConnection& Bus,
                                                                   const QString& Application,
                                                                   const QString& Reason);
// The same on the session bus, for Application.
std::unique_ptr<ScreenSaverInhibitor> MakeSessionScreenSaverInhibitor(const QString& Application);

class ScreenSaverService : public QObject {
public:
    // Offer hands a message to the application's hook and answers whether it
    // was swallowed. A null Inhibitor makes the service idle.
    using TOffer = std::function<bool(TMessage&)>;
    ScreenSaverService(TOffer Offer, std::unique_ptr<ScreenSaverInhibitor> Inhibitor, int IntervalMs = 5000,
                       QObject* Parent = nullptr);
    // Releases a held inhibition.
    ~ScreenSaverService() override;

    // Offers both requests now and takes or releases the inhibition.
    void Poll();
    bool Inhibited() const { return FInhibited; }
    bool Idle() const { return !FInhibitor; }

private:
    void Release();

    TOffer FOffer;
    std::unique_ptr<ScreenSaverInhibitor> FInhibitor;
    QTimer* FTimer = nullptr;
    bool FInhibited = false;
    std::uint32_t FCookie = 0;
};

} // namespace th::win
