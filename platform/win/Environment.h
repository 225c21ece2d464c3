// The process's place in the stand-in machine: which user directory it runs
// for and where the install directory (the add-in's and its helpers' modules)
// lies on the host.
//
// A user directory holds that user's registry hives (registry/), the tree of
// drive C (drive_c/) and the mail profiles. Both locations are read once from
// the environment (QUILLMERE_USER_DIR, QUILLMERE_INSTALL_DIR); tests and the
// host may set them explicitly before the first use of any file, path or
// registry call. Thread-safe.
#pragma once

#include <string>

namespace win {

// Host path of the user directory, without trailing slash. Default: the value
// of QUILLMERE_USER_DIR, else "$HOME/.quillmere/user".
std::string UserDirectory();
void SetUserDirectory(const std::string& hostPath);

// Host path of the install directory: QUILLMERE_INSTALL_DIR, else the
// directory that holds libQuillmereWin.so (the build's bin/ directory).
std::string InstallDirectory();
void SetInstallDirectory(const std::string& hostPath);

// Listeners re-read their state (drive map, registry hives) when the user
// directory changes. Registered once per subsystem; called under no lock.
using EnvironmentListener = void (*)();
void AddEnvironmentListener(EnvironmentListener listener);

}  // namespace win
