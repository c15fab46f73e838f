// Installing application packages through the systemd installer unit
// "install@<package>", with the display prepared for the platform's own
// application package.
#pragma once

#include <chrono>

// Service actions of doInstall_ControlServices.
inline constexpr int kServiceStop = 0;
inline constexpr int kServiceRestart = 1;

// Installs a package: the platform's main application package (package name
// equal to the platform name on kv2-touch, korvel-sr and korvel-r) with the
// screen saver woken, the application services stopped and the splash screen
// showing a message; every other package silently. Removes the install lock
// before the installer unit is started. In simulation mode the unit is not
// started; display and service steps still run. An installer unit that fails
// is logged as an error ("<caller>, installer unit install@<package> failed
// (status <n>), not installed"), recorded in the update log ("<package>,
// installation failed") and in the progress record (error
// kInstallFailedError); for the main application the services are then
// restarted and the splash screen closed, since the unit that would have
// brought them back did not.
void doInstall_execStartAppInstall(const char* package, const char* platform, int simulate);

// How long "systemctl start install@<package>" may wait for the installer
// unit: the environment variable's whole number of seconds, or 30 minutes
// when it is unset or not a positive number. Meanwhile the watchdog is fed;
// at the deadline the daemon stops waiting (the unit's job goes on) and logs
// one error line.
inline constexpr const char* kInstallDeadlineEnvironment = "KVUPDATER_INSTALL_DEADLINE";
inline constexpr std::chrono::seconds kInstallDeadlineDefault{30 * 60};
std::chrono::seconds doInstall_InstallDeadline();

// The package file (in the work folder) of an installer unit that was left
// running at its deadline in this run: the unit may still read it, so the
// clean-up of the work folder leaves it. Empty when there is none.
const char* doInstall_PackageInUse();

// Error number of the progress record for an installer unit that failed
// (beside the image update's 200).
inline constexpr int kInstallFailedError = 201;

// Removes the work folder's GZ files and the install lock, then starts the
// installer unit and waits for it (doInstall_InstallDeadline; in simulation
// mode only logs what it would start).
void doInstall_silentInstall(const char* package, int simulate);

// Stops (0) or restarts (1) the platform's application services, in order;
// any other action does nothing.
void doInstall_ControlServices(const char* platform, int action);

// Writes "8" to the backlight brightness file; nothing when it cannot be opened.
void doInstall_SetBacklight();
