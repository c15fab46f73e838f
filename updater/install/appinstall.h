// Installing application packages through the systemd installer unit
// "install@<package>", with the display prepared for the platform's own
// application package.
#pragma once

// Service actions of doInstall_ControlServices.
inline constexpr int kServiceStop = 0;
inline constexpr int kServiceRestart = 1;

// Installs a package: the platform's main application package (package name
// equal to the platform name on kv2-touch, korvel-sr and korvel-r) with the
// screen saver woken, the application services stopped and the splash screen
// showing a message; every other package silently. Removes the install lock
// before the installer unit is started. In simulation mode the unit is not
// started; display and service steps still run.
void doInstall_execStartAppInstall(const char* package, const char* platform, int simulate);

// Removes the work folder's GZ files and the install lock, then starts the
// installer unit (in simulation mode only logs what it would start).
void doInstall_silentInstall(const char* package, int simulate);

// Stops (0) or restarts (1) the platform's application services, in order;
// any other action does nothing.
void doInstall_ControlServices(const char* platform, int action);

// Writes "8" to the backlight brightness file; nothing when it cannot be opened.
void doInstall_SetBacklight();
