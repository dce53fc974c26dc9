// The user the program works for, and that user's folders. Run through pkexec
// (PKEXEC_UID) or sudo (SUDO_UID, SUDO_USER) as root, that is the user who
// asked, not root: settings, log and downloads go to their folders, and what
// the program makes there is given to them.
#pragma once

#include <sys/types.h>

#include <string>

namespace fk::platform {

struct InvokingUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;  // without a trailing '/'; "" when unknown
  // Root working for another user: files made in that user's folders are
  // given to them.
  bool elevated = false;
};

// Read from the environment and the password database on every call.
InvokingUser GetInvokingUser();

// The user's XDG folders, without a trailing '/'. The XDG_* variables count
// only when they belong to that user (not elevated, or inside their home);
// else the defaults under the home: .config, .local/share.
std::string UserConfigDir();
std::string UserDataDir();

// Makes dir and its missing parents; each one it makes inside the user's home
// is given to the user. False with *error when dir is not a directory after.
bool MakeUserDirectories(const std::string& dir, std::string* error = nullptr);

// Gives a file or folder the program made to the user when running elevated
// for them and the path lies inside their home; nothing otherwise. False only
// when a change of owner was due and failed (logged by the caller).
bool GiveToUser(const std::string& path);

// The address of the user's D-Bus session bus when the environment has lost
// it (pkexec clears DBUS_SESSION_BUS_ADDRESS): "unix:path=<runDir>/<uid>/bus"
// when that socket exists; "" when the variable is set or there is no socket.
std::string UserSessionBusAddress(const std::string& runDir = "/run/user");

}  // namespace fk::platform
