// Bundles: the bundle folder, unpacking and the manifest.
#pragma once

// Creates the bundle folder: runs "mkdir -p \"%s%s\"" with the work folder
// and "bundle/" through cmd_Run.
void bundle_CreateFolder();
