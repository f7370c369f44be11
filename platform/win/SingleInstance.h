#pragma once
// One running instance of a program per session. Every instance registers its
// process in a list that all instances of the session share: a lock file in
// the session folder (THARVEST_REGISTRY_DIR when set, else
// $XDG_CONFIG_HOME/tharvest, else ~/.config/tharvest) whose lines name each
// living instance's process id, its start time (so that a reused process id is
// not taken for a living instance) and the local socket on which it listens.
// Entries of processes that have ended are dropped whenever the list is read.
//
// A later instance asks the first registered one, through its local socket, to
// bring its main window to the front. Registering and asking need no Qt
// application, so that a second start can end before it makes one; listening
// needs the application's event loop.

#include <QString>

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace th::win {

// The folder the instances of one session share; made when missing.
std::string InstanceFolder();

class SingleInstance {
public:
    // Registers this process under Program ("tharvest"). When the list cannot
    // be read or written the process counts as the first, so that a broken
    // folder never keeps the program from starting.
    explicit SingleInstance(const QString& Program);
    // Removes this process from the list and stops listening.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another living instance had registered before this one.
    bool IsSecond() const { return !FFirstSocket.empty(); }
    // Asks the first instance to come to the front; true when it confirmed
    // within TimeoutMs. An instance that has registered but not yet started
    // listening is waited for within the same time.
    bool ActivateFirst(int TimeoutMs = 5000) const;
    // Starts answering requests of later instances; OnActivate runs on the
    // main thread for each. Needs the Qt application. False when the socket
    // cannot be made.
    bool Listen(std::function<void()> OnActivate);
    // Stops answering; call before the Qt application goes.
    void StopListening();

    // The socket this instance listens on (for tests).
    const std::string& SocketPath() const { return FSocketPath; }

private:
    std::string FListFile;
    std::string FSocketPath;
    std::string FFirstSocket;
    bool FRegistered = false;
    std::unique_ptr<QLocalServer> FServer;
    std::function<void()> FOnActivate;
};

} // namespace th::win
