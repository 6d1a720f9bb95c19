// Administrator mode: the window runs as its user, and a small collector
// with root rights and no display (started through pkexec, or kept from a
// start as root on a user's behalf) answers each refresh with every owner.
// Nothing on the original platform.
#pragma once

#include <string>

namespace ombrel::platform {

enum class AdministratorMode {
    Off,         // the window sees what its user sees (or is root's own)
    Starting,    // the collector was started and pkexec has not yet let it run
    Collecting,  // the collector answered the last refresh
    Unavailable, // asked for, but the collector is missing, refused or gone, or
                 // could not answer the last refresh (Incomplete)
};

// Why the mode is unavailable. Incomplete alone keeps the collector: it
// said it could not read every owner this time, and is asked again.
enum class CollectorFailure {
    None,
    NotFound,
    NotAuthorised,
    Gone,
    WrongAnswer,
    Silent,
    Incomplete
};

AdministratorMode CurrentAdministratorMode();
CollectorFailure LastCollectorFailure();

// The collector's program: the copy beside the program for a build that is
// not installed, else the installed one at the package's place (root's
// alone); the real path, empty when there is none.
std::string CollectorPath();

// For a window run by its user: starts the collector through pkexec and
// waits for the authentication's outcome. False when the mode is thereby
// unavailable (no collector, the password refused, pkexec missing).
bool StartCollectorThroughPkexec();

// The same without waiting, for a window already open (the way back after
// the collector was lost): the mode is Starting until PollCollectorStart
// finds the outcome. A collector still there is kept. False when it could
// not even be started.
bool BeginCollectorStart();
// The mode, once more of a start under way is known.
AdministratorMode PollCollectorStart();

// Closes the collector's input, which ends it, and waits for it.
void StopCollector();

// A start as root on another user's behalf (PKEXEC_UID or SUDO_UID naming a
// user other than root, or a set-id start): the collector is started with
// root's rights and everything else of the process becomes that user for
// good (uid, gid, groups, home, the session's variables), before any window
// exists. Own: not such a start, nothing done. ForUser: now that user, in
// administrator mode when the collector started. Refused: the user cannot
// be become; message says why in one line.
enum class StartRights { Own, ForUser, Refused };
StartRights LeaveRootForTheUser(std::string& message);

// The collector the layer starts, for the life of the object (tests).
class CollectorPathOverride {
public:
    explicit CollectorPathOverride(std::string path);
    ~CollectorPathOverride();
    CollectorPathOverride(const CollectorPathOverride&) = delete;
    CollectorPathOverride& operator=(const CollectorPathOverride&) = delete;

private:
    std::string saved_;
    bool saved_overridden_ = false;
};

} // namespace ombrel::platform
