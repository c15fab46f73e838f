// The record of a road that stopped the application services, and what
// start-up does about one it finds.
//
// The platform's application install and the OS image update stop the
// application services and put up the splash screen. Before they do, they
// write a record in the work folder (durably, statefile_Write) naming the
// road and the current boot; they remove it once the services are someone
// else's again: the installer unit has been started, the services were
// restarted after a failed update, or the machine restarts (the boot brings
// them up). A record that survives means the daemon was killed in between.
#pragma once

// Name of the record in the work folder.
inline constexpr const char* kRoadRecordName = "kvupdaterd.road";

// Writes the record for the road ("application install of kv2-touch", "OS
// image update") before it stops the services.
void doInstall_BeginServiceRoad(const char* road);

// Removes the record: the road no longer holds the services.
void doInstall_EndServiceRoad();

// At start-up. Without a record, does nothing. With a record of an earlier
// boot, removes it: the restart of the machine brought the services up. With
// a record of this boot (or when the boot cannot be told), restarts the
// platform's application services, closes the splash screen, logs one line
// naming the interrupted road and removes the record.
void doInstall_RecoverServiceRoad(const char* platform);
